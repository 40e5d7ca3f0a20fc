// Bringing the device into its bootloader before an object is written:
// NEWAP2 and the restart wait while the application still runs, then the
// bootloader's link parameters and its protocol version.
#include "flash/KIRO_FlashTool.h"

#include "io/FlashIo.h"
#include "io/UsbHid.h"
#include "log/Log.h"
#include "platform/Platform.h"

#include <string>

namespace {

constexpr int32_t kExpectedProtocol = 23;
constexpr uint32_t kSerialRestartPauseMs = 500;
constexpr uint32_t kUsbRestartPauseMs = 2000;
// The wait for another process's boot entry has no end of its own; it is
// cut into slices so that a cancel gets through.
constexpr uint32_t kMutexSliceMs = 500;

// Keeps other processes from sending a USB device of the same boot model
// into its bootloader while ours re-enumerates.
class BootModelMutex {
public:
    explicit BootModelMutex(KIRO_FlashTool& engine) : engine_(engine) {}
    ~BootModelMutex() { Release(); }
    BootModelMutex(const BootModelMutex&) = delete;
    BootModelMutex& operator=(const BootModelMutex&) = delete;

    // 0 once held; -1 when it cannot be made or the flash is cancelled.
    int32_t Acquire()
    {
        std::wstring name = L"Global\\ZOT_TAMRBIX01_";
        for (const char* p = engine_.pinfo.boot_m_name; *p; ++p)
            name += static_cast<wchar_t>(static_cast<unsigned char>(*p));
        bool existed = false;
        handle_ = platform::CreateNamedMutex(name.c_str(), &existed);
        auto shown = static_cast<uint32_t>(reinterpret_cast<uintptr_t>(handle_));
        if (!handle_) {
            engine_.LogMsg(LOG_ERROR, L"Failed to create mutex with name: %s,hMutex = 0x%08x\n", name.c_str(), shown);
            return -1;
        }
        engine_.LogMsg(LOG_INFO, L"Create mutex with name: %s, handle = 0x%08x.\n", name.c_str(), shown);
        if (existed)
            engine_.LogMsg(LOG_ERROR, L"Mutex with name: %s already exists\n", name.c_str());
        engine_.Stamp(LOG_INFO, L"Wait Mutex control");
        while (!platform::WaitNamedMutex(handle_, kMutexSliceMs)) {
            // The host's cancel reaches the engine only through a report.
            engine_.ReportStatus(HFS_app_goto_boot, 0, engine_.retryMax);
            if (engine_.Cancelled()) {
                Close();
                return -1;
            }
        }
        engine_.Stamp(LOG_INFO, L"Hold Mutex control");
        return 0;
    }

    void Release()
    {
        if (!handle_)
            return;
        engine_.Stamp(LOG_INFO, L"Release Mutex control to others");
        platform::ReleaseNamedMutex(handle_);
        Close();
    }

private:
    void Close()
    {
        platform::CloseNamedMutex(handle_);
        handle_ = nullptr;
    }

    KIRO_FlashTool& engine_;
    platform::NamedMutex* handle_ = nullptr;
};

// NEWAP2 to the restart wait. A serial device may still answer as its
// application for a moment, so its pause stays in the fast profile; a USB
// bootloader enumerates under its own ids and cannot be taken for the
// application, so the fast profile looks at once.
uint32_t RestartPause(const KIRO_FlashTool& engine)
{
    if (engine.pinfo.physical_cable_type == 'R')
        return kSerialRestartPauseMs;
    return engine.io->pacing.Fast() ? 0 : kUsbRestartPauseMs;
}

// NEWAP2 until the device answers from its bootloader, within the reset
// timeout. 0, or the failure with the interface closed.
int32_t EnterBootloader(KIRO_FlashTool& engine)
{
    BootModelMutex mutex(engine);
    if (engine.pinfo.physical_cable_type == 'U') {
        if (mutex.Acquire() != 0)
            return -1;
        // Before the device changes to the bootloader's ids, so that no other
        // process takes it for its own while it has them.
        UsbMarkIdsInUse(engine.io->io, engine.usbBootIds.vendorId, engine.usbBootIds.productId);
    }
    uint32_t start = platform::TickCount();
    int tries = 0;
    do {
        if (engine.OpenInterface(OPEN_DEVICE, OPEN_FINAL) != 0) {
            engine.ReportStatus(HFS_terminal_fail_no_open);
            return -1;
        }
        uint32_t spent = platform::TickCount() - start;
        if (spent >= engine.resetTimeoutMs) {
            engine.LogMsg(LOG_ERROR, L"GotoFlash mode TIMEOUT time spent: %u\n", spent);
            engine.ReportStatus(HFS_terminal_fail_timeout);
            engine.CloseInterface();
            return -1;
        }
        ++tries;
        engine.LogMsg(LOG_INFO, L"ToBootMode: Try %d\n", tries);
        engine.ReportStatus(HFS_app_goto_boot, static_cast<uint64_t>(tries), engine.retryMax);
        if (engine.Cancelled()) {
            engine.CloseInterface();
            return -1;
        }
        // The device restarts instead of finishing its answer at times.
        uint8_t reply[32];
        engine.io->MNU_Query('Y', "NEWAP2", 6, "", reply, sizeof reply);
        platform::SleepMs(RestartPause(engine));
        engine.CloseInterface();
        engine.pinfo.scannerstate = '?';
        int32_t r = engine.FlashScanner_ResetWait(REBOOT_INTO_BOOT);
        if (r < 0)
            return r;
    } while (engine.pinfo.scannerstate != 'B');
    return 0;
}

} // namespace

int32_t KIRO_FlashTool::GotoFlashMode(int32_t* state)
{
    if (state)
        *state = pinfo.scannerstate;
    switch (pinfo.scannerstate) {
    case 'B':
        LogMsg(LOG_INFO, L"Scanner State: [cached] B!\n");
        break;
    case 'A': {
        LogMsg(LOG_INFO, L"Scanner State: [cached] A!\n");
        int32_t r = EnterBootloader(*this);
        if (r != 0)
            return r;
        break;
    }
    default:
        LogMsg(LOG_ERROR, L"Scanner State: Unknown! (0x%02x, %c)\n", pinfo.scannerstate, pinfo.scannerstate);
        return -1;
    }
    if (state)
        *state = 'B';

    LogMsg(LOG_DETAIL, L"Scanner in BOOT mode\n");
    int32_t r = OpenInterface(OPEN_BOOT, OPEN_FINAL);
    if (r != 0) {
        LogMsg(LOG_ERROR, L"FAIL COM: Line: %d\n", 2633);
        ReportStatus(HFS_terminal_fail_no_open);
        return r;
    }
    r = Scanner_BTL_SetAll();
    if (r != 0) {
        LogMsg(LOG_ERROR, L"Scanner_BTL_SetAll, FAIL COM: Line: %d\n", 2641);
        CloseInterface();
        ReportStatus(HFS_terminal_fail_no_com);
        return r;
    }
    r = Scanner_BTL_GetAll();
    if (r != 0) {
        LogMsg(LOG_ERROR, L"Scanner_BTL_GetAll, FAIL COM: Line: %d\n", 2649);
        CloseInterface();
        ReportStatus(HFS_terminal_fail_no_com);
        return r;
    }
    if (io->MNU_SetDecimal('Y', "BTLPRO", 1, '.') != 0) {
        LogMsg(LOG_ERROR, L"Send BTLPRO, FAIL COM: Line: %d\n", 2658);
        CloseInterface();
        return -1;
    }
    if (io->GetVersion() != 0) {
        LogMsg(LOG_ERROR, L"Cannot get protocol version\n");
        CloseInterface();
        return -1;
    }
    if (io->bootloaderVersion != kExpectedProtocol)
        LogMsg(LOG_WARN, L"ScannerFlash Protocol mismatch: Expect: %d, got %d - Assuming it will work!\n",
               kExpectedProtocol, io->bootloaderVersion);
    return 0;
}
