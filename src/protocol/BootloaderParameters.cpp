// The bootloader's own link parameters, written and read back with menu
// commands before the packet link starts, and the battery query a wireless
// scanner answers through its cradle.
#include "flash/KIRO_FlashTool.h"

#include "io/FlashIo.h"
#include "log/Log.h"
#include "platform/Platform.h"

namespace {

struct BtlEntry {
    const char* name;
    uint64_t KIRO_FlashTool::*member;
};

// Null for anything but the four parameters.
const BtlEntry* FindBtl(BtlParameter which)
{
    static const BtlEntry kEntries[] = {
        {"BTLMAX", &KIRO_FlashTool::btlMaxPayload},
        {"BTLTOC", &KIRO_FlashTool::btlTimeoutIcd},
        {"BTLTOR", &KIRO_FlashTool::btlTimeoutReply},
        {"BTLRTY", &KIRO_FlashTool::btlRetryMax},
    };
    switch (which) {
    case BtlParameter::MaxPayload: return &kEntries[0];
    case BtlParameter::TimeoutIcd: return &kEntries[1];
    case BtlParameter::TimeoutReply: return &kEntries[2];
    case BtlParameter::RetryMax: return &kEntries[3];
    }
    return nullptr;
}

constexpr char kBatteryCommand[] = ":*:BT_FLS";
constexpr uint32_t kBatteryRetryPauseMs = 1000;

} // namespace

int32_t KIRO_FlashTool::Scanner_BTL_Set(BtlParameter which)
{
    const BtlEntry* entry = FindBtl(which);
    if (!entry)
        return -1;
    // The bootloader takes the low 32 bits as a signed number.
    auto value = static_cast<int32_t>(static_cast<uint32_t>(this->*entry->member));
    return io->MNU_SetDecimal('Y', entry->name, value, '!');
}

int32_t KIRO_FlashTool::Scanner_BTL_Get(BtlParameter which)
{
    const BtlEntry* entry = FindBtl(which);
    if (!entry)
        return -1;
    int32_t value = 0;
    int32_t r = io->MNU_GetDecimal(entry->name, &value);
    if (r != 0)
        return r;
    this->*entry->member = static_cast<uint64_t>(static_cast<int64_t>(value));
    return 0;
}

int32_t KIRO_FlashTool::Scanner_BTL_SetAll()
{
    static const struct {
        BtlParameter which;
        const wchar_t* failure;
    } kOrder[] = {
        {BtlParameter::TimeoutReply, L"Set BTLTOR FAIL, return code = %d.\n"},
        {BtlParameter::TimeoutIcd, L"Set BTLTOC FAIL, return code = %d.\n"},
        {BtlParameter::RetryMax, L"Set BTLRTY FAIL, return code = %d.\n"},
    };
    for (const auto& step : kOrder) {
        int32_t r = Scanner_BTL_Set(step.which);
        if (r != 0) {
            LogMsg(LOG_ERROR, step.failure, r);
            return r;
        }
    }
    return 0;
}

int32_t KIRO_FlashTool::Scanner_BTL_GetAll()
{
    static const struct {
        BtlParameter which;
        const wchar_t* failure;
    } kOrder[] = {
        {BtlParameter::MaxPayload, L"Get BTLMAX FAIL, return code = %d.\n"},
        {BtlParameter::TimeoutIcd, L"Get BTLTOC FAIL, return code = %d.\n"},
        {BtlParameter::TimeoutReply, L"Get BTLTOR FAIL, return code = %d.\n"},
        {BtlParameter::RetryMax, L"Get BTLRTY FAIL, return code = %d.\n"},
    };
    for (const auto& step : kOrder) {
        int32_t r = Scanner_BTL_Get(step.which);
        if (r != 0) {
            LogMsg(LOG_ERROR, step.failure, r);
            return r;
        }
    }
    return 0;
}

int32_t KIRO_FlashTool::Scanner_GetBT_FLS()
{
    int32_t r = OpenInterface(OPEN_DEVICE, OPEN_FINAL);
    if (r != 0)
        return r;
    io->FlushRx(0);
    uint8_t reply[32] = {};
    r = -6;   // no answer, also when no attempt is made
    for (uint64_t attempt = 0; attempt < retryMax; ++attempt) {
        r = io->MNU_Query('M', kBatteryCommand, sizeof kBatteryCommand - 1, "", reply, sizeof reply);
        LogMsg(LOG_INFO, L"Scanner BT_FLS Menu Command, get return value: %d.\n", r);
        if (r == 1 || r == -2 || r == -1)
            break;
        if (attempt + 1 < retryMax)
            platform::SleepMs(kBatteryRetryPauseMs);
    }
    CloseInterface();
    if (r == 1)
        return reply[0] - '0';
    if (r == -2 || r == -1) {
        LogMsg(LOG_ERROR, L"The firmware in scanner does not support BT_FLS command yet.\n");
        return 0;
    }
    LogMsg(LOG_ERROR, L"Can not get BT_FLS command.\n");
    return -1;
}
