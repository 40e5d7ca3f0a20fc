// Firmware files into the device: classifying a file, picking the boot and
// application objects of a container, and writing each into the bootloader
// block by block with bounded retries.
#include "flash/KIRO_FlashTool.h"

#include "files/LibMOCF.h"
#include "files/libmocf_14/shared/TlvContainerParser.h"
#include "flash/KiroAppTool.h"
#include "io/FlashIo.h"
#include "log/Log.h"
#include "platform/Platform.h"

#include <cstring>
#include <utility>

namespace {

// Object ids in search order; "JG3H" leads both lists, its header says which
// role it has.
constexpr uint32_t kBootIds[] = {0x4833474A, 0x0A000000, 0x0A000001, 0x0A000002, 0x0A000003, 0x0B400000, 0x0A001000};
constexpr uint32_t kAppIds[] = {0x4833474A, 0x0A000004, 0x0A000005, 0x0A000006, 0x0A000007, 0x0B400001, 0x0A001001};

constexpr uint32_t kOkWaitPauseMs = 5000;
constexpr uint32_t kOkRetryPauseMs = 1000;
constexpr uint32_t kAfterResetPauseMs = 500;

bool KnownObjectId(uint64_t id)
{
    for (uint32_t known : kBootIds)
        if (id == known)
            return true;
    for (uint32_t known : kAppIds)
        if (id == known)
            return true;
    return false;
}

template <size_t N>
MocfObject* FindFirst(KIRO_FlashTool& engine, const uint32_t (&ids)[N], uint8_t type, const wchar_t* role)
{
    for (uint32_t id : ids) {
        if (MocfObject* object = engine.FindObjectByCompat(id, type)) {
            engine.LogMsg(LOG_INFO, L"FindObject: [%s]: 0x%x\n", role, id);
            return object;
        }
    }
    return nullptr;
}

// Null when the image can be transferred, else why not. The length field
// decides how much is sent, so it must stay within the bytes held; a boot
// image is sent without its header, so one that is only a header would open
// and erase the area and then write nothing.
const char* ImageFault(int32_t imageType, const uint8_t* image, uint64_t imageSize)
{
    if (!image || imageSize < MOCF_HEADER_SIZE)
        return "image shorter than its header";
    uint64_t total = uint64_t(ReadLe32(image + 4)) + 8;
    if (total > imageSize)
        return "length field runs past the image";
    if (imageType == 'B' && total <= MOCF_HEADER_SIZE)
        return "boot image without a body";
    return nullptr;
}

// Seconds and milliseconds since start, for the transfer log lines.
struct Elapsed {
    explicit Elapsed(uint32_t start) : ms(platform::TickCount() - start) {}
    int Seconds() const { return static_cast<int>(ms / 1000); }
    int Millis() const { return static_cast<int>(ms % 1000); }
    uint32_t ms;
};

// Up to length bytes with the transport's own read; below 1 is no data.
int32_t ReadRaw(FlashIo& io, uint8_t* buffer, uint32_t length, uint64_t timeoutMs)
{
    if (!io.io || !io.io->readBytes)
        return -1;
    return io.io->readBytes(io.io, buffer, length, static_cast<uint32_t>(timeoutMs));
}

// The last progress report, the reset and the pause after it; false when a
// cancel came in between.
bool ResetAfterTransfer(KIRO_FlashTool& engine, int32_t imageType, uint32_t resetType, uint64_t status,
                        uint64_t position, uint64_t total)
{
    engine.ReportStatus(status, position, total);
    if (engine.Cancelled())
        return false;
    bool app = imageType == 'A';
    engine.LogMsg(LOG_INFO, app ? L"APP: Reseting device (%d)\n" : L"BOOT: Reseting device (%d)\n",
                  static_cast<int>(resetType));
    engine.ReportStatus(app ? HFS_new_app_por_wait : HFS_new_bl_por_wait);
    if (engine.Cancelled())
        return false;
    // The device may restart before it answers; the restart wait tells.
    engine.io->Reset(resetType);
    platform::SleepMs(kAfterResetPauseMs);
    return !engine.Cancelled();
}

} // namespace

int32_t KIRO_FlashTool::GetFileType(const wchar_t* fileName)
{
    fileCompatCount = 0;
    memset(fileCompat, 0, sizeof fileCompat);
    int32_t r = mocf->LoadFile(fileName);
    if (r < 0)
        return r;
    switch (mocf->kind) {
    case MOCF_KIND_CONTAINER:
        r = LoadFileCompatList();
        return r < 0 ? r : MOCF_KIND_CONTAINER;
    case MOCF_KIND_SINGLE: {
        MocfObject* object = mocf->objects;
        if (!object || !KnownObjectId(object->type))
            return MOCF_KIND_SINGLE;
        kiro_header header;
        if (appTool->UnpackObjectHeader(object, &header) != 0)
            return -1;
        return header.type;
    }
    default:
        return MOCF_KIND_NONE;
    }
}

void KIRO_FlashTool::UnloadFile()
{
    fileCompatCount = 0;
    memset(fileCompat, 0, sizeof fileCompat);
    mocf->Clear();
}

int32_t KIRO_FlashTool::CountObjects()
{
    return mocf->ObjectCount();
}

int32_t KIRO_FlashTool::FlashByType(int32_t fileType, const wchar_t* fileName)
{
    int32_t type = GetFileType(fileName);
    UnloadFile();
    if (type < 0 || type != fileType) {
        LogMsg(LOG_ERROR, L"FLASH: Wrong type: Got 0x%02x, Want: 0x%02x\n", type, fileType);
        ReportStatus(HFS_terminal_bad_file);
        return -1;
    }
    switch (type) {
    case 'A':
    case 'B':
        LogMsg(LOG_ERROR, L"FLASH: not support RAW app and boot flash.\n");
        return -1;
    case MOCF_KIND_CONTAINER:
        return FlashMocf(fileName);
    default:
        return -1;
    }
}

int32_t KIRO_FlashTool::FlashMocf(const wchar_t* fileName)
{
    if (GetFileType(fileName) != MOCF_KIND_CONTAINER) {
        UnloadFile();
        ReportStatus(HFS_terminal_bad_file);
        return -1;
    }
    MocfObject* boot = FindFirst(*this, kBootIds, 'B', L"BOOT");
    MocfObject* app = FindFirst(*this, kAppIds, 'A', L"APP");
    if (!boot && !app) {
        LogMsg(LOG_ERROR, L"File: %s - No BOOT, No APP?\n", fileName);
        ReportStatus(HFS_terminal_bad_file);
        return -1;
    }
    // Both objects are judged before either is written: a broken
    // application must not cost the device its bootloader first.
    for (auto [object, type] : {std::pair{boot, 'B'}, std::pair{app, 'A'}}) {
        if (!object)
            continue;
        if (const char* fault = ImageFault(type, object->data, object->size)) {
            LogMsg(LOG_ERROR, L"File: %s - %c object refused: %hs\n", fileName, type, fault);
            ReportStatus(HFS_terminal_bad_file);
            return -1;
        }
    }

    int32_t r = 0;
    if (boot) {
        // No try made is no bootloader written.
        r = -1;
        for (uint64_t attempt = 0; attempt < retryMax; ++attempt) {
            LogMsg(LOG_INFO, L"Flash: [BOOT] %s, Try: %d of %d\n", fileName, static_cast<int>(attempt),
                   static_cast<int>(retryMax));
            r = FlashRawInternal('B', 1, boot->data, boot->size);
            if (r == 0)
                break;
            LogMsg(LOG_DETAIL, L"Flash: [BOOT] Failed: %d,Try: %d.\n", r, static_cast<int>(attempt));
        }
        if (r != 0) {
            LogMsg(LOG_DETAIL, L"Flash: [BOOT] Failed: %d, After retry %d times. %s\n", r, static_cast<int>(retryMax),
                   fileName);
            return r;
        }
        if (!transparent_mode) {
            ClearDeviceRecord();
            r = FlashScanner_ResetWait(REBOOT_AFTER_BOOT);
            if (r < 0)
                return r;
        } else {
            r = WaitForScannerAfterBoot();
            if (r < 0)
                return r;
        }
    }

    if (Cancelled())
        return -1;
    if (!app)
        return r;
    r = -1;
    for (uint64_t attempt = 0; attempt < retryMax; ++attempt) {
        LogMsg(LOG_INFO, L"Flash: [app] %s Try: %d of %d\n", fileName, static_cast<int>(attempt),
               static_cast<int>(retryMax));
        r = FlashRawInternal('A', 2, app->data, app->size);
        if (r == 0)
            break;
        LogMsg(LOG_DETAIL, L"Flash: [APP] Failed: %d %s\n", r, fileName);
    }
    return r;
}

// Through a transparent cradle the scanner's restart into its new
// bootloader shows only as the cradle's "OK" when the link comes back.
int32_t KIRO_FlashTool::WaitForScannerAfterBoot()
{
    LogMsg(LOG_INFO, L"Wait 5 seconds for re-connection after flash boot.\n");
    platform::SleepMs(kOkWaitPauseMs);
    Stamp(LOG_INFO, L"Get OK response START");
    int32_t r = OpenInterface(OPEN_DEVICE, OPEN_FINAL);
    if (r != 0)
        return r;
    uint64_t limit = resetTimeoutMs * 2;
    if (pinfo.physical_cable_type != 'R')
        limit *= 3;
    LogMsg(LOG_INFO, L"Re-connected TIMEOUT to_val %d.\n", static_cast<int>(limit));

    uint8_t reply[3];
    int32_t got = 0;
    uint32_t start = platform::TickCount();
    while (platform::TickCount() - start < limit) {
        memset(reply, 0, sizeof reply);
        got = ReadRaw(*io, reply, sizeof reply, io->replyTimeoutMs);
        if (got == sizeof reply)
            break;
        LogMsg(LOG_ERROR, L"Can not get any response or less than three data bytes. \n");
        platform::SleepMs(kOkRetryPauseMs);
    }
    if (got != sizeof reply) {
        Stamp(LOG_INFO, L"Get OK response TIMEOUT");
        LogMsg(LOG_INFO, L"Assume the scanner has been connected after TIMEOUT and move forward.\n");
    } else {
        LogMsg(LOG_ERROR, L"Get response, Data bytes is 0x%02x,0x%02x,0x%02x.\n", reply[0], reply[1], reply[2]);
        if (reply[0] != 'O' || reply[1] != 'K') {
            LogMsg(LOG_ERROR, L"FAIL: Get response, but not OK as expected, scanner has not been connected.\n");
            CloseInterface();
            return -1;
        }
        Stamp(LOG_INFO, L"Get OK response as expected");
    }

    LogMsg(LOG_INFO, L"Update pinfo.\n");
    ClearDeviceRecord();
    r = -1;
    for (uint64_t attempt = 0; attempt < retryMax && r != 0; ++attempt)
        r = Scanner_GetPinfo("P_INFO");
    CloseInterface();
    if (r < 0)
        return r;
    LogMsg(LOG_INFO, L"Check if cradle is still in transparent mode.\n");
    if (pinfo.physical_device_type != 1) {
        LogMsg(LOG_ERROR, L"FAIL: cradle is NOT in transparent mode.\n");
        transparent_mode = 0;
        return -1;
    }
    return 0;
}

int32_t KIRO_FlashTool::FlashRawInternal(int32_t imageType, uint32_t resetType, const uint8_t* image,
                                         uint64_t imageSize)
{
    if (Cancelled()) {
        LogMsg(LOG_INFO, L"Flash has been cancelled prior flash raw file.\n");
        return -1;
    }
    // Judged before the bootloader is entered, so nothing is erased for it.
    if (const char* fault = ImageFault(imageType, image, imageSize)) {
        LogMsg(LOG_ERROR, L"Flash Raw Internal: %c image refused: %hs (%d bytes)\n", imageType, fault,
               static_cast<int>(imageSize));
        ReportStatus(HFS_terminal_bad_file);
        return -1;
    }
    int32_t state = 0;
    int32_t r = GotoFlashMode(&state);
    if (r != 0) {
        LogMsg(LOG_ERROR, L"Flash Raw Internal: Put scanner in flash mode failed. Scanner not present (%d)\n", r);
        return -1;
    }

    uint32_t start = platform::TickCount();
    uint64_t total = uint64_t(ReadLe32(image + 4)) + 8;
    uint64_t status = HFS_new_app_flashing_x_of_y;
    int32_t area = 1;
    uint64_t position = 0;
    if (imageType == 'A') {
        ReportStatus(status, 0, total);
    } else if (imageType == 'B') {
        // The bootloader keeps its own header: only the body is sent.
        status = HFS_old_bl_flashing_x_of_y;
        area = 0;
        ReportStatus(status, 0, total);
        position = MOCF_HEADER_SIZE;
        if (!Cancelled())
            ReportStatus(status, position, total);
    } else {
        LogMsg(LOG_ERROR, L"Unknown type: 0x%02x\n", imageType);
        cancelFlag = 1;
        ReportStatus(HFS_terminal_bad_file);
    }

    const char* failure = nullptr;
    bool cancelled = Cancelled();
    if (!cancelled) {
        if (io->AreaOpen(area) != 0)
            failure = "AreaOpen fails";
        else if (io->UpdateBegin() != 0)
            failure = "update begin fails";
        else if (io->EraseAll() != 0)
            failure = "erase all fails";
    }
    for (uint64_t address = 0; !cancelled && !failure && position < total;) {
        ReportStatus(status, position, total);
        if ((cancelled = Cancelled()))
            break;
        uint64_t length = total - position < io->packetSize ? total - position : io->packetSize;
        r = io->WrBlock(address, image + position, length);
        if (r == 0)
            r = io->ReplyCheckEnd();
        if (r != 0) {
            failure = "wr failed";
            break;
        }
        position += length;
        address += length;
    }
    if (!cancelled && !failure && io->AreaEnd() != 0)
        failure = "area end failed";
    if (!cancelled && !failure)
        cancelled = !ResetAfterTransfer(*this, imageType, resetType, status, position, total);

    Elapsed used(start);
    if (failure) {
        LogMsg(LOG_INFO | LOG_ERROR, L"FAIL: %hs, tused: %d.%03d\n", failure, used.Seconds(), used.Millis());
        CloseInterface();
        return -1;
    }
    if (cancelled) {
        LogMsg(LOG_INFO, L"Cancelled, tused: %d.%03d seconds\n", used.Seconds(), used.Millis());
        CloseInterface();
        return -1;
    }
    CloseInterface();
    double rate = double(total) / double(used.ms ? used.ms : 1) * 1000.0 / 1024.0;
    LogMsg(LOG_INFO, L"Transfer complete: %d.%03d Seconds, Roughly %f kbs\n", used.Seconds(), used.Millis(), rate);
    return 0;
}
