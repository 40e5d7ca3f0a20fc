// After the transfer, or after the flow stopped: the cradle leaves
// transparent mode and returns to server mode, the device restarts, gets
// its end-of-flash command and must answer again; the menu timeout and the
// caller's serial settings are given back on every path.
#include "flash/KIRO_FlashTool.h"

#include "io/FlashIo.h"
#include "log/Log.h"
#include "platform/Platform.h"

#include <cstdio>
#include <cstring>

void KIRO_FlashTool::RestoreMenuTimeout()
{
    if (!saved_menu_timeout)
        return;
    io->menuCommandTimeoutMs = saved_menu_timeout;
    LogMsg(LOG_INFO, L"Reset Menu Cmd timeout to default, Timeout Secs = %d.\n",
           static_cast<int>(saved_menu_timeout));
    // Given back once: a later flash must not take the raised value for
    // the original.
    saved_menu_timeout = 0;
}

void KIRO_FlashTool::RestoreCallerSerialSettings()
{
    if (rs232_backup_valid)
        rs232_settings = rs232_backup;
}

// A completion step could not reach the device: nothing more can be sent,
// but the flow's own changes to the engine are undone.
int32_t KIRO_FlashTool::EarlyReturn(int32_t r)
{
    RestoreMenuTimeout();
    RestoreCallerSerialSettings();
    return r;
}

int32_t KIRO_FlashTool::LeaveTransparentMode()
{
    LogMsg(LOG_INFO, L"FlashScanner(): Cradle is in transparent mode, send +++ to exit.\n");
    platform::SleepMs(600);
    // Even a cancelled flash must not leave the cradle transparent.
    if (int32_t opened = OpenInterface(OPEN_DEVICE, OPEN_EVEN_IF_CANCELLED))
        return opened;
    if (io->io)
        io->io->txCount = 0;
    io->FlushRx(0);
    static const uint8_t kEscape[] = {'+', '+', '+'};
    io->WriteBytes(kEscape, sizeof kEscape);
    io->FlushTx();
    platform::SleepMs(600);
    transparent_mode = 0;
    CloseInterface();
    LogMsg(LOG_INFO, L"FlashScanner(): wait 2s to let cradle exit transparent mode.\n");
    platform::SleepMs(2000);
    return 0;
}

int32_t KIRO_FlashTool::RestoreServerMode()
{
    if (int32_t opened = OpenInterface(OPEN_DEVICE, OPEN_EVEN_IF_CANCELLED))
        return opened;
    LogMsg(LOG_INFO, L"FlashScanner(): Send BASDNG1 command to make cradle enter server mode.\n");
    bool failed = false;
    for (uint64_t i = 0; i < retryMax; ++i) {
        failed = io->MNU_SetDecimal('M', "BASDNG", 1, '!') != 0;
        if (!failed)
            break;
        LogMsg(LOG_ERROR, L"FlashScanner(): failed to get response for BASDNG1 command, try: %d.\n",
               static_cast<int>(i));
        platform::SleepMs(50);
    }
    CloseInterface();
    if (failed) {
        LogMsg(LOG_ERROR, L"FlashScanner(): failed to make cradle enter server mode by BASDNG1 command.\n");
        return FLOW_NO_SERVER_MODE;
    }
    return 0;
}

int32_t KIRO_FlashTool::WaitForLink(int32_t r)
{
    if (r != 0)
        return r;
    Stamp(LOG_INFO, L"RF connection wait start");
    for (;;) {
        lastcable = '?';
        ClearDeviceRecord();
        r = FlashScanner_ResetWait(REBOOT_RF_LINK);
        Stamp(LOG_INFO, L"RF connection wait end");
        if (r >= 0 || !IsSerial() || target_device_type != 0)
            return r;
        if (!rs232_backup_valid) {
            LogMsg(LOG_INFO, L"RS232 default settings is 8-N-1 - No more retry available\n");
            LogMsg(LOG_ERROR, L"FlashScanner(): failed to re-establish RF connection.\n");
            rf_connection_existed = 0;
            return r;
        }
        RetryWithCallerSettings();
        platform::SleepMs(3000);
    }
}

int32_t KIRO_FlashTool::WaitForRestart(int32_t r)
{
    if (entry_state != 'A') {
        Stamp(LOG_INFO, L"Not from APP - assume success.");
        return r;
    }
    lastcable = '?';
    ClearDeviceRecord();
    for (;;) {
        Stamp(LOG_INFO, L"From APP - reset wait start");
        r = FlashScanner_ResetWait(REBOOT_AFTER_APP);
        Stamp(LOG_INFO, L"From APP - reset wait end");
        if (r >= 0 || !IsSerial() || target_device_type == 1)
            return r;
        if (!rs232_backup_valid) {
            LogMsg(LOG_INFO, L"RS232 default settings is 8-N-1 - No more retry available\n");
            return r;
        }
        RetryWithCallerSettings();
    }
}

int32_t KIRO_FlashTool::PostFlash(int32_t r)
{
    if (transparent_mode) {
        if (int32_t opened = LeaveTransparentMode())
            return EarlyReturn(opened);
    }
    if (rf_connection_existed && target_device_type == 1) {
        if (int32_t restored = RestoreServerMode())
            return EarlyReturn(restored);
    }
    if (rf_connection_existed)
        r = WaitForLink(r);
    else if (r == 0)
        r = WaitForRestart(r);
    return CompleteFlash(r);
}

// The end-of-flash command restarts the device into its new application.
// The fast profile looks for it every quarter second instead of sitting out
// the whole pause; a device that is not seen ready within the pause is
// checked as late as ever, so the check's verdict does not change. A device
// that sleeps needs its wake-ups first and gets the whole pause.
void KIRO_FlashTool::PauseBeforeReadiness()
{
    const Pacing& pacing = io->pacing;
    if (!pacing.Fast() || (IsSerial() && low_power_mode)) {
        platform::SleepMs(Pacing::Ms(pacing.readinessPauseMs));
        return;
    }
    const uint32_t start = platform::TickCount();
    while (!platform::TimeUp(start, pacing.readinessPauseMs)) {
        platform::SleepMs(static_cast<uint32_t>(Pacing::kFastLookMs));
        if (Cancelled())
            return;
        lastcable = '?';
        if (OpenInterface(OPEN_DEVICE, OPEN_MAY_RETRY) != 0)
            continue;
        ClearDeviceRecord();
        bool ready = Scanner_GetPinfo("P_INFO") == 0 && (!rf_connection_existed || pinfo.hub_connections != 0);
        CloseInterface();
        if (ready)
            return;
    }
}

// The device on the cable (and the scanner behind a linked cradle) answers
// its report again after the end-of-flash command. The interface is open.
int32_t KIRO_FlashTool::CheckReadiness(int32_t r)
{
    LogMsg(LOG_INFO, L"Try to get pinfo from corede device to ensure it is ready.\n");
    Stamp(LOG_DETAIL, L"Try Loop Start");
    for (uint64_t i = 0; i < retryMax; ++i) {
        ClearDeviceRecord();
        if (IsSerial() && low_power_mode) {
            LogMsg(LOG_INFO, L"Wakeup device with SYN+C command.\n");
            int32_t answered = WakeUpDevice();
            platform::SleepMs(static_cast<uint32_t>(wake_pause_ms));
            if (answered != 0) {
                // An unanswered wake-up is a failed try: a device silent on
                // every one has not come back.
                r = answered;
                continue;
            }
        }
        r = Scanner_GetPinfo("P_INFO");
        if (r == 0 && (!rf_connection_existed || pinfo.hub_connections != 0))
            break;
        if (r == 0) {
            LogMsg(LOG_ERROR, L"FlashScanner(): RF connection existed, but lost after flashing.\n");
            r = FLOW_NO_SCANNER;
        }
        platform::SleepMs(4000);
    }
    Stamp(LOG_DETAIL, L"Try Loop End");
    if (r < 0) {
        LogMsg(LOG_ERROR, L"FlashScanner(): can not get correct PINFO from corede device after VISMN4 command.\n");
        return r == FLOW_NO_SCANNER ? r : FLOW_NO_SERVER_MODE;
    }
    reportAfter = ReportText();
    if (pinfo.hub_connections != 1)
        return r;
    platform::SleepMs(1000);
    Stamp(LOG_DETAIL, L"Try Loop Start");
    LogMsg(LOG_INFO, L"One RF connection, try to get pinfo from scanner to ensure it is ready.\n");
    memcpy(bt_address, pinfo.scanner_bt_address, sizeof bt_address);
    bt_address[sizeof bt_address - 1] = 0;
    char command[64];
    snprintf(command, sizeof command, ":#%s:P_INFO", bt_address);
    for (uint64_t i = 0; i < retryMax; ++i) {
        ClearDeviceRecord();
        r = Scanner_GetPinfo(command);
        if (r == 0)
            break;
        platform::SleepMs(4000);
    }
    Stamp(LOG_DETAIL, L"Try Loop End");
    if (r != 0) {
        LogMsg(LOG_ERROR, L"FlashScanner(): can not get correct PINFO from wireless device after VISMN4 command.\n");
        return FLOW_NO_SERVER_MODE;
    }
    if (target_device_type == 1)
        reportAfter = ReportText();
    return r;
}

int32_t KIRO_FlashTool::CompleteFlash(int32_t r)
{
    m_BlueToothMode = 0;
    lastcable = '?';
    if (OpenInterface(OPEN_DEVICE, OPEN_EVEN_IF_CANCELLED) != 0)
        return EarlyReturn(r);
    if (saved_menu_timeout == 0)
        saved_menu_timeout = io->menuCommandTimeoutMs;
    io->menuCommandTimeoutMs = saved_menu_timeout * 3;
    LogMsg(LOG_INFO, L"Treble Menu Cmd timeout specially for VISMN40 command, Timeout Secs = %d.\n",
           static_cast<int>(io->menuCommandTimeoutMs));
    if (IsSerial() && low_power_mode && retryMax >= 1 && WakeUpWithRetries() != 0) {
        LogMsg(LOG_ERROR, L"Fail to wakeup device with SYN+C command.\n");
        // A failure the flow already named says more than this one.
        if (r == 0)
            r = -1;
    }
    io->MNU_SetDecimal('M', "VISMN4", 0, '.');
    CloseInterface();
    if (rs232_backup_valid) {
        LogMsg(LOG_INFO, L"Set Sdk RS232 settings to backup.\n");
        rs232_settings = rs232_backup;
    }
    if (r == 0 && entry_state != 'A')
        LogMsg(LOG_INFO, L"Not from APP - assume success, do not check.\n");
    if (r == 0 && entry_state == 'A') {
        PauseBeforeReadiness();
        lastcable = '?';
        if (int32_t opened = OpenInterface(OPEN_DEVICE, OPEN_EVEN_IF_CANCELLED)) {
            RestoreMenuTimeout();
            return opened;
        }
        r = CheckReadiness(r);
        m_BlueToothMode = 0;
        interface_kept_open = 0;
        ReportStatus(HFS_closing_interface);
        io->CloseDevice();
    }
    RestoreMenuTimeout();
    return r;
}
