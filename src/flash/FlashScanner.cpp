// The flash request from the host's call to its result: the device is read,
// the target chosen (the device on the cable, or the scanner behind a
// cradle), the firmware written, and the completion run on every path.
#include "flash/FlashEntry.h"
#include "flash/KIRO_FlashTool.h"

#include "api/ToolContext.h"
#include "files/LibMOCF.h"
#include "io/FlashIo.h"
#include "io/UsbHid.h"
#include "log/Log.h"
#include "platform/Platform.h"

#include <cstdio>
#include <cstring>

namespace {

constexpr uint32_t kBootProgressBase = 0x50000;
constexpr uint32_t kAppProgressBase = 0x10100;

bool IsEightNOne(const WIN32_232_SETTINGS& settings)
{
    return settings.dcb.ByteSize == 8 && settings.dcb.Parity == NOPARITY && settings.dcb.StopBits == ONESTOPBIT;
}

bool IsFlashableType(int32_t type)
{
    return type == 'A' || type == 'B' || type == 'P';
}

uint32_t HostResult(int32_t internal, uint32_t entryState)
{
    switch (internal) {
    case 0:
        return entryState == 'B' ? FLASH_RESULT_OK_FROM_BOOT : FLASH_RESULT_OK;
    case FLOW_INCOMPATIBLE:
        return FLASH_RESULT_INCOMPATIBLE;
    case FLOW_NO_LINK:
        return FLASH_RESULT_NO_LINK;
    case FLOW_LOW_BATTERY:
        return FLASH_RESULT_LOW_BATTERY;
    case FLOW_NO_SERVER_MODE:
        return FLASH_RESULT_NO_SERVER_MODE;
    case FLOW_NO_SCANNER:
        return FLASH_RESULT_NO_SCANNER;
    case FLOW_NO_PORT_NAME:
        return FLASH_RESULT_NO_PORT_NAME;
    default:
        return FLASH_RESULT_FAILED;
    }
}

} // namespace

int32_t PrepareInterface(ToolContext* context)
{
    KIRO_FlashTool* engine = context->engine;
    switch (context->interfaceType) {
    case INTERFACE_RS232:
    case INTERFACE_RS232_NOWAKE:
        return engine->InitRs232V2(context->portName, &context->serialSettings);
    case INTERFACE_USB_HID:
        return engine->InitUsb(context->portName);
    default:
        return -1;
    }
}

namespace {

void BindCallbacks(ToolContext* context)
{
    KIRO_FlashTool* engine = context->engine;
    engine->cancelFlag = 0;
    context->cancelIo.store(0, std::memory_order_relaxed);
    engine->statusCallback = ToolStatusAdapter;
    engine->statusContext = context;
    if (context->assistRecord && context->assistCallback) {
        engine->assistAdapter = ToolAssistAdapter;
        engine->assistAdapterContext = context;
        engine->assistId = context->assistRecord->id;
    } else {
        engine->assistAdapter = nullptr;
        engine->assistAdapterContext = nullptr;
        engine->assistId = 0;
    }
}

// The code the host receives, in the log as well: the flow's own "Result"
// line above it is the internal outcome, which differs from it.
uint32_t LoggedHostResult(ToolContext* context, uint32_t result)
{
    context->LogMsg(LOG_SUMMARY, L"FlashScanner returns %d\n", static_cast<int32_t>(result));
    return result;
}

// The set-up or the file failed before the flow began: the device still
// gets its end-of-flash command when it can be opened.
uint32_t EarlyFailure(ToolContext* context, uint32_t result)
{
    KIRO_FlashTool* engine = context->engine;
    if (int32_t opened = engine->OpenInterface(OPEN_DEVICE, OPEN_FINAL)) {
        UsbForgetDevices(engine->io->io);
        return LoggedHostResult(context, static_cast<uint32_t>(opened));
    }
    engine->io->MNU_SetDecimal('M', "VISMN4", 0, '.');
    engine->CloseInterface();
    UsbForgetDevices(engine->io->io);
    engine->LogMsg(LOG_SUMMARY, L"Result: %d\n", static_cast<int>(result));
    engine->Stamp(LOG_SUMMARY, L"END:");
    return LoggedHostResult(context, result);
}

} // namespace

int32_t ToolStatusAdapter(void* contextIn, uint64_t status, uint64_t x, uint64_t y)
{
    auto* context = static_cast<ToolContext*>(contextIn);
    if (context->statusReports)
        context->statusReports(context->statusReportsContext, static_cast<uint32_t>(status), x, y);
    if (status == HFS_old_bl_flashing_x_of_y || status == HFS_new_app_flashing_x_of_y) {
        uint64_t base = status == HFS_old_bl_flashing_x_of_y ? 0 : kAppProgressBase;
        uint64_t position = x + base;
        uint64_t total = y + (status == HFS_old_bl_flashing_x_of_y ? kBootProgressBase : kAppProgressBase);
        // The host takes position == total as the end of the whole flash.
        if (position >= total)
            position = total - 1;
        if (context->fwCallback)
            context->fwCallback(context->hostContext, 0, position, total);
    }
    if (context->cancelIo.load(std::memory_order_relaxed) != 0) {
        context->engine->cancelFlag = 1;
        context->LogMsg(LOG_SUMMARY, L"CancelIO TRUE\n");
        return -1;
    }
    return 0;
}

int32_t ToolAssistAdapter(void* contextIn, uint32_t id, wchar_t* buffer, uint32_t capacity)
{
    auto* context = static_cast<ToolContext*>(contextIn);
    if (!context->assistCallback)
        return 0;
    return context->assistCallback(context->assistContext, id, buffer, capacity);
}

uint32_t FlashScanner(ToolContext* context, const wchar_t* fileName)
{
    KIRO_FlashTool* engine = context->engine;
    BindCallbacks(context);
    engine->reportBefore.clear();
    engine->reportAfter.clear();
    engine->io->pacing.StartFlash();
    engine->Stamp(LOG_SUMMARY, L"START:");
    context->log->PrintCwd(LOG_SUMMARY);
    context->LogMsg(LOG_SUMMARY, L"FLASH file: %s\n", fileName);
    context->LogMsg(LOG_SUMMARY, L"Device: %s\n", context->portName);

    if (PrepareInterface(context) != 0)
        return EarlyFailure(context, FLASH_RESULT_FAILED);
    int32_t fileType = engine->GetFileType(fileName);
    engine->UnloadFile();
    if (!IsFlashableType(fileType))
        return EarlyFailure(context, FLASH_RESULT_BAD_FILE);

    int32_t internal = engine->FlashScanner_Internal(fileType, fileName);
    engine->UnloadFile();
    UsbForgetDevices(engine->io->io);
    context->LogMsg(LOG_SUMMARY, L"Result: %d\n", internal);
    engine->Stamp(LOG_SUMMARY, L"END:");
    if (context->cancelIo.load(std::memory_order_relaxed) != 0)
        return LoggedHostResult(context, FLASH_RESULT_CANCELLED);
    return LoggedHostResult(context, HostResult(internal, engine->entry_state));
}

void KIRO_FlashTool::NormaliseSerialLine()
{
    if (IsEightNOne(rs232_settings)) {
        LogMsg(LOG_INFO, L"SDK RS232 is using 8-N-1 - No need to backup it.\n");
        return;
    }
    LogMsg(LOG_INFO, L"SDK RS232 is not using 8-N-1 - backup it and set to 8-N-1.\n");
    rs232_backup = rs232_settings;
    rs232_backup_valid = 1;
    WIN32_232_SETTINGS eightNOne = rs232_settings;
    eightNOne.dcb.Parity = NOPARITY;
    eightNOne.dcb.StopBits = ONESTOPBIT;
    eightNOne.dcb.ByteSize = 8;
    InitRs232V2(deviceName, &eightNOne);
}

// Puts the caller's own line settings back in use once: true when there
// were any to try.
bool KIRO_FlashTool::FallBackToCallerSettings()
{
    if (!rs232_backup_valid) {
        LogMsg(LOG_INFO, L"RS232 backup settings is 8-N-1 - No more retry available\n");
        return false;
    }
    RetryWithCallerSettings();
    return true;
}

void KIRO_FlashTool::RetryWithCallerSettings()
{
    LogMsg(LOG_INFO, L"RS232 backup settings is not 8-N-1 - retry with backup.\n");
    rs232_settings = rs232_backup;
    rs232_backup_valid = 0;
    InitRs232V2(deviceName, &rs232_settings);
}

void KIRO_FlashTool::ProbeLowPower()
{
    for (uint64_t i = 0; i < retryMax; ++i) {
        LogMsg(LOG_INFO, L"Wakeup device with SYN+C command.\n");
        int32_t answered = WakeUpDevice();
        platform::SleepMs(static_cast<uint32_t>(wake_pause_ms));
        if (answered != 0)
            continue;
        uint8_t reply[32] = {};
        if (io->MNU_Query('M', "PWRMOD", 6, "?", reply, sizeof reply) >= 0) {
            LogMsg(LOG_INFO, L"this device supports low power mode.\n");
            low_power_mode = 1;
            return;
        }
        low_power_mode = 0;
    }
}

// Up to retryMax reads of the report, a low-power device woken before each:
// the last read's result, 0 when none was read, -1 when cancelled.
int32_t KIRO_FlashTool::ReadPinfoWithRetries(const char* command, bool wake)
{
    int32_t r = 0;
    for (uint64_t i = 0; i < retryMax; ++i) {
        if (wake && low_power_mode) {
            LogMsg(LOG_INFO, L"Wakeup device with SYN+C command.\n");
            int32_t answered = WakeUpDevice();
            platform::SleepMs(static_cast<uint32_t>(wake_pause_ms));
            if (answered != 0)
                continue;
        }
        r = Scanner_GetPinfo(command);
        if (Cancelled()) {
            ReportStatus(HFS_terminal_canceled);
            return -1;
        }
        if (r == 0)
            return 0;
        platform::SleepMs(1000);
    }
    return r;
}

// The device's report, on 8-N-1 first and then once more on the caller's
// own line settings.
int32_t KIRO_FlashTool::ReadDeviceInformation()
{
    for (;;) {
        if (int32_t opened = OpenInterface(OPEN_DEVICE, OPEN_FINAL))
            return opened;
        if (IsSerial())
            ProbeLowPower();
        int32_t r = ReadPinfoWithRetries("P_INFO", IsSerial());
        CloseInterface();
        if (r >= 0)
            return r;
        if (!IsSerial() || !FallBackToCallerSettings()) {
            ReportStatus(HFS_terminal_fail_retry);
            return -1;
        }
        ClearDeviceRecord();
        ReportStatus(HFS_xxx_get_info);
        if (Cancelled())
            return -1;
    }
}

int32_t KIRO_FlashTool::ReadScannerBehindCradle()
{
    LogMsg(LOG_INFO, L"Has one bluetooth connection, get pinfo from scanner.\n");
    int32_t inCradle = pinfo.scanner_in_cradle_state;
    entry_state = 'A';
    memcpy(bt_address, pinfo.scanner_bt_address, sizeof bt_address);
    bt_address[sizeof bt_address - 1] = 0;
    char command[64];
    snprintf(command, sizeof command, ":#%s:P_INFO", bt_address);
    if (int32_t opened = OpenInterface(OPEN_DEVICE, OPEN_FINAL))
        return opened;
    ClearDeviceRecord();
    int32_t r = ReadPinfoWithRetries(command, false);
    CloseInterface();
    // The routed report is the scanner's; where it sits is the cradle's word.
    pinfo.scanner_in_cradle_state = inCradle;
    if (r < 0) {
        LogMsg(LOG_ERROR, L"Cannot get pinfo from scanner.\n");
        ReportStatus(HFS_terminal_fail_retry);
        return -1;
    }
    reportBefore = ReportText();
    return 0;
}

int32_t KIRO_FlashTool::ChooseTarget(const wchar_t* fileName, bool* postFlash)
{
    int32_t classified = GetFileType(fileName);
    CompatVerdict verdict = CheckAttachedDevice(classified);
    if (verdict != CompatVerdict::NotCompatible) {
        target_device_type = 0;
        return 0;
    }
    if (pinfo.physical_device_type != 2)
        return FLOW_INCOMPATIBLE;
    LogMsg(LOG_INFO, L"Firmware is not comatible with cradle, try to check if any scanner connected with cralde.\n");
    if (entry_state == 'B') {
        LogMsg(LOG_ERROR, L"Cradle is in boot mode, there is no scanner connected with cradle.\n");
        return FLOW_NO_SCANNER;
    }
    if (pinfo.bt_mode != 1) {
        LogMsg(LOG_ERROR, L"Cradle is not in server mode, there is no scanner connected with cradle.\n");
        return FLOW_NO_SCANNER;
    }
    if (pinfo.hub_connections == 0 && pinfo.scanner_in_cradle_state == 0) {
        LogMsg(LOG_INFO, L"No bluethooth connection and scanner is not on cradle.\n");
        return FLOW_NO_LINK;
    }
    if (pinfo.hub_connections == 0) {
        LogMsg(LOG_INFO,
               L"No bluetooth connection, and scanner is on cradle. Try to set up connection via one wire.\n");
        if (pinfo.pair_mode != 'B') {
            LogMsg(LOG_ERROR,
                   L"Cannot flash scanner: Invalid status %c. When set up connection via one wire, the scanner "
                   L"SHOULD be in boot mode.\n",
                   pinfo.pair_mode);
            return -1;
        }
        entry_state = 'B';
        memcpy(bt_address, pinfo.pair_address, sizeof bt_address);
        bt_address[sizeof bt_address - 1] = 0;
        // From here the cradle is being changed for the scanner: a failure
        // must still bring it back to server mode.
        target_device_type = 1;
        if (SetupCradleLink() != 0) {
            *postFlash = true;
            return -1;
        }
    } else if (int32_t r = ReadScannerBehindCradle()) {
        return r;
    }
    if (CheckScannerBehindCradle() != 0) {
        *postFlash = true;
        return FLOW_INCOMPATIBLE;
    }
    return 0;
}

int32_t KIRO_FlashTool::PrepareWirelessTarget(bool* postFlash)
{
    if (target_device_type != 1 || entry_state != 'A')
        return 0;
    if (pinfo.scanner_in_cradle_state == 0) {
        LogMsg(LOG_INFO, L"Has one bluetooth connection, and scanner is not in cradle, check scanner battery.\n");
        int32_t battery = Scanner_GetBT_FLS();
        if (battery < 0)
            return -1;
        if (battery == 1) {
            LogMsg(LOG_ERROR, L"Cannot flash scanner: scanner is low battery.\n");
            return FLOW_LOW_BATTERY;
        }
    } else {
        LogMsg(LOG_INFO, L"Scanner is in cradle, no need to check scanner battery.\n");
    }
    if (SetupCradleLink() != 0) {
        *postFlash = true;
        return -1;
    }
    return 0;
}

int32_t KIRO_FlashTool::FlashScanner_Internal(int32_t fileType, const wchar_t* fileName)
{
    transparent_mode = 0;
    rf_connection_existed = 0;
    m_BlueToothMode = 0;
    interface_kept_open = 0;
    target_device_type = 0;
    rs232_backup_valid = 0;
    memset(&rs232_backup, 0, sizeof rs232_backup);
    saved_menu_timeout = 0;
    // A flag an earlier device left would make this one look asleep.
    low_power_mode = 0;
    Stamp(LOG_INFO, L"START: ");
    LogMsg(LOG_INFO, L"FlashScanner: (%02x) %s\n", fileType, fileName);
    LogMsg(LOG_INFO, L"Cable: %c, Comport: %d, Baud: %d, USB: %04x/%04x/%d/%d\n", DefaultCableType,
           static_cast<int32_t>(comPort), static_cast<int32_t>(baudRate), usbIdentity.vendorId,
           usbIdentity.productId, usbIdentity.interfaceNumber, usbIdentity.interfaceId);
    if (!deviceName) {
        LogMsg(LOG_INFO, L"Device: %s\n", L"not specified this way");
        return CompleteFlash(-1);
    }
    LogMsg(LOG_INFO, L"Device: %s\n", deviceName);
    log->PrintCwd(LOG_INFO);
    if (IsSerial())
        NormaliseSerialLine();
    ClearDeviceRecord();
    ReportStatus(HFS_xxx_get_info);
    if (Cancelled())
        return CompleteFlash(-1);

    int32_t r = ReadDeviceInformation();
    if (r < 0)
        return CompleteFlash(r);
    reportBefore = ReportText();
    entry_state = static_cast<uint32_t>(pinfo.scannerstate);
    if (entry_state != 'A' && entry_state != 'B') {
        LogMsg(LOG_INFO, L"Cannot flash scanner: Unknown state: 0x%02x\n", entry_state);
        return CompleteFlash(-1);
    }
    if (pinfo.physical_device_type == 2) {
        if (pinfo.hub_connections == 1)
            rf_connection_existed = 1;
        saved_menu_timeout = io->menuCommandTimeoutMs;
        io->menuCommandTimeoutMs = saved_menu_timeout * 2;
        LogMsg(LOG_INFO, L"Double Menu Cmd timeout for charge cradle device type, Timeout Secs = %d.\n",
               static_cast<int>(io->menuCommandTimeoutMs));
    }

    bool postFlash = false;
    r = ChooseTarget(fileName, &postFlash);
    if (r == 0)
        r = PrepareWirelessTarget(&postFlash);
    if (r != 0)
        return postFlash ? PostFlash(r) : CompleteFlash(r);

    r = FlashByType(fileType, fileName);
    Stamp(LOG_INFO, L"FlashScanner_Internal() Complete: ");
    LogMsg(LOG_INFO, L"Flash Scanner [r=%d] (%c) %s\n", r, fileType, fileName);
    return PostFlash(r);
}
