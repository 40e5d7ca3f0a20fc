// The bootloader's numbered commands, one packet transaction each.
#include "io/FlashIo.h"

#include "log/Log.h"
#include "platform/Platform.h"

namespace {

constexpr uint32_t kResetMagic = 0xDEADBEEF;
constexpr uint32_t kHardResetKey = 0xABADBABE;
// The first bootloader protocol that knows the soft reset.
constexpr int32_t kSoftResetVersion = 23;

} // namespace

int32_t FlashIo::GetVersion()
{
    LogMsg(LOG_INFO, L"ACTIVITY: GetVersion\n");
    int32_t result = SendPacket(BL_CMD_VERSION, 0, 0, 0, nullptr, 0);
    if (result != 0)
        return result;
    uint32_t version = ReplyGetU16();
    version += 65536u * ReplyGetU16();
    uint32_t size = ReplyGetU16();
    size += 65536u * ReplyGetU16();
    result = ReplyCheckEnd();
    if (result != 0) {
        bootloaderVersion = -1;
        packetSize = 256;
        return result;
    }
    bootloaderVersion = static_cast<int32_t>(version);
    packetSize = size;
    LogMsg(LOG_INFO, L"RESULT: GetVer() Ver=%d, PacketSize: %d\n", bootloaderVersion, static_cast<int>(packetSize));
    return 0;
}

int32_t FlashIo::AreaOpen(int32_t area)
{
    areaInfoValid = 0;
    int32_t result = SendPacket(BL_CMD_AREA_OPEN, 1, static_cast<uint64_t>(static_cast<int64_t>(area)), 0, nullptr, 0);
    if (result != 0)
        return result;
    auto u32 = [this] {
        uint32_t low = ReplyGetU16();
        return static_cast<uint64_t>(low + 65536u * ReplyGetU16());
    };
    auto u64 = [this] {
        uint64_t value = 0;
        for (int shift = 0; shift < 64; shift += 8)
            value |= static_cast<uint64_t>(ReplyGetU8()) << shift;
        return value;
    };
    areaInfo.handle = u32();
    areaInfo.secondWord = u32();
    for (uint32_t i = 0; i < kAreaNameSize; ++i)
        areaInfo.name[i] = static_cast<char>(ReplyGetU8());
    areaInfo.name[kAreaNameSize] = 0;
    areaInfo.word0 = u32();
    areaInfo.word1 = u32();
    areaInfo.writeMultiple = u32();
    areaInfo.word3 = u32();
    areaInfo.word4 = u32();
    areaInfo.value0 = u64();
    areaInfo.value1 = u64();
    result = ReplyCheckEnd();
    if (result == 0)
        areaInfoValid = 1;
    return result;
}

int32_t FlashIo::UpdateBegin()
{
    int32_t result = SendPacket(BL_CMD_UPDATE_BEGIN, 1, areaInfo.handle, 0, nullptr, 0);
    return result != 0 ? result : ReplyCheckEnd();
}

int32_t FlashIo::AreaEnd()
{
    int32_t result = SendPacket(BL_CMD_AREA_END, 1, areaInfo.handle, 0, nullptr, 0);
    return result != 0 ? result : ReplyCheckEnd();
}

int32_t FlashIo::EraseAll()
{
    int32_t result = SendPacket(BL_CMD_ERASE_ALL, 0, 0, 0, nullptr, 0);
    return result != 0 ? result : ReplyCheckEnd();
}

int32_t FlashIo::WrBlock(uint64_t offset, const uint8_t* data, uint64_t size)
{
    if (packetSize == 0)
        return -1;
    if (size == 0) {
        LogMsg(LOG_ERROR, L"WrBlock: wr/verify zero size at offset: 0x%08x\n", static_cast<unsigned>(offset));
        return -1;
    }
    if (areaInfo.writeMultiple > 1 && size % areaInfo.writeMultiple != 0) {
        LogMsg(LOG_ERROR, L"WrBlock: invalid wr/verify size multiple: 0x%08x vrs 0x%08x",
               static_cast<unsigned>(size), static_cast<unsigned>(areaInfo.writeMultiple));
        return -1;
    }
    while (size > 0) {
        uint64_t chunk = size < packetSize ? size : packetSize;
        platform::SleepMs(Pacing::Ms(pacing.PacketPause()));
        int32_t result = SendPacket(BL_CMD_WRITE_BLOCK, 1, offset, 0, data, chunk);
        if (result != 0)
            return result;
        offset += chunk;
        data += chunk;
        size -= chunk;
    }
    // The caller checks the last reply with ReplyCheckEnd.
    return 0;
}

int32_t FlashIo::Reset(uint32_t mode)
{
    int32_t result;
    switch (mode) {
    case 0:
        return 0;
    case 2:
        if (bootloaderVersion >= kSoftResetVersion) {
            result = SendPacket(BL_CMD_RESET_SOFT, 2, kResetMagic, 0, nullptr, 0);
            return result != 0 ? result : ReplyCheckEnd();
        }
        LogMsg(LOG_DETAIL, L"ResetSOFT not supported, using ResetHARD\n");
        [[fallthrough]];
    case 1:
        result = SendPacket(BL_CMD_RESET_HARD, 2, kResetMagic, kHardResetKey, nullptr, 0);
        return result != 0 ? result : ReplyCheckEnd();
    default:
        return -1;
    }
}
