// The cradle link: a wireless scanner's bootloader is reached through its
// cradle. The scanner is sent into its bootloader (its radio link drops), the
// cradle connects to it again by address, then passes every byte through.
#include "flash/KIRO_FlashTool.h"

#include "io/FlashIo.h"
#include "log/Log.h"
#include "platform/Platform.h"

namespace {

constexpr uint32_t kBootCommandSettleMs = 2000;   // the scanner restarts and the link drops
constexpr uint32_t kLinkStayedPauseMs = 3000;
constexpr uint32_t kConnectCommandPauseMs = 50;
constexpr uint32_t kConnectSettleMs = 2000;
constexpr uint32_t kConnectLimitMs = 25000;
constexpr uint32_t kTransparentSettleMs = 1000;
constexpr uint32_t kPollPauseMs = 1000;

uint32_t Since(uint32_t start)
{
    return platform::TickCount() - start;
}

} // namespace

int32_t KIRO_FlashTool::SetupCradleLink()
{
    switch (entry_state) {
    case 'A':
        LogMsg(LOG_INFO, L"Scanner Mode: A!\n");
        if (ScannerToBootViaCradle() != 0) {
            LogMsg(LOG_ERROR, L"Can not put scanner in boot mode.\n");
            return -1;
        }
        break;
    case 'B':
        LogMsg(LOG_INFO, L"Scanner Mode: B!\n");
        break;
    default:
        LogMsg(LOG_ERROR, L"Scanner Mode: Unknown! (%c)\n", static_cast<int>(entry_state));
        return -1;
    }

    if (int32_t r = OpenInterface(OPEN_DEVICE, OPEN_FINAL))
        return r;
    if (ConnectCradleToScanner() != 0) {
        LogMsg(LOG_ERROR, L"FAILED: Can not set up connection between scanner and cradle.\n");
        CloseInterface();
        return -1;
    }
    if (EnterTransparentMode() != 0) {
        LogMsg(LOG_ERROR, L"FAILED: Can not put cradle in transparent mode.\n");
        CloseInterface();
        return -1;
    }
    CloseInterface();
    return 0;
}

// Success only on a report that was read and shows no link: a link still up
// (or a device that reports none, like a corded scanner) means the scanner
// never left its application. The interface is closed on every return after
// the open, so a failure leaves no port behind.
int32_t KIRO_FlashTool::ScannerToBootViaCradle()
{
    if (int32_t r = OpenInterface(OPEN_DEVICE, OPEN_FINAL)) {
        ReportStatus(HFS_terminal_fail_no_open);
        return r;
    }

    int32_t r = -1;
    bool linkDropped = false;
    for (uint64_t attempt = 0; attempt < retryMax; ++attempt) {
        ReportStatus(HFS_app_goto_boot, attempt, retryMax);
        if (Cancelled()) {
            ReportStatus(HFS_terminal_canceled);
            CloseInterface();
            return -1;
        }
        LogMsg(LOG_INFO, L"TRY %d, send :*:NEWAP2 command to put scanner to boot mode.\n", static_cast<int>(attempt));
        // The scanner restarts instead of answering reliably; its answer means nothing.
        io->MNU_Query('Y', ":*:NEWAP2", 9, nullptr, nullptr, 0);
        platform::SleepMs(kBootCommandSettleMs);
        r = Scanner_GetPinfo("P_INFO");
        if (r != 0)
            LogMsg(LOG_ERROR, L"Can not get p_info from cradle after send :*:NEWAP2 command.\n");
        if (r == 0 && pinfo.hub_connections == 0) {
            LogMsg(LOG_INFO, L"Scanner has enter bootloader, pinfo.hub_connections = %d.\n", pinfo.hub_connections);
            linkDropped = true;
            break;
        }
        LogMsg(LOG_INFO, L"Scanner not enter bootloader, pinfo.hub_connections = %d.\n", pinfo.hub_connections);
        platform::SleepMs(kLinkStayedPauseMs);
    }
    CloseInterface();

    if (linkDropped)
        return 0;
    LogMsg(LOG_INFO, L"Scanner not enter bootloader, pinfo.hub_connections = %d.\n", pinfo.hub_connections);
    return r != 0 ? r : -1;
}

int32_t KIRO_FlashTool::ConnectCradleToScanner()
{
    LogMsg(LOG_INFO, L"Send BASADR and BASDNG command to let the cradle re-connection with scanner.\n");
    int32_t r = -1;
    for (uint64_t attempt = 0; attempt < retryMax; ++attempt) {
        r = io->MNU_Command('M', "BASADR", 6, bt_address, 0, '.');
        if (r >= 0) {
            r = io->MNU_SetDecimal('M', "BASDNG", 0, '!');
            if (r == 0) {
                rf_connection_existed = 1;
                break;
            }
        }
        platform::SleepMs(kConnectCommandPauseMs);
    }
    if (r < 0) {
        LogMsg(LOG_ERROR, L"FAIL: Send BASADR and BASDNG command ERROR.\n");
        return -1;
    }

    LogMsg(LOG_INFO, L"Wait 2000 msec for connection.\n");
    platform::SleepMs(kConnectSettleMs);
    uint32_t start = platform::TickCount();
    while (Since(start) < kConnectLimitMs) {
        Stamp(LOG_DETAIL, L"Setup Connection");
        if (Cancelled()) {
            ReportStatus(HFS_terminal_canceled);
            return -1;
        }
        platform::SleepMs(kPollPauseMs);
        ClearDeviceRecord();
        r = Scanner_GetPinfo("P_INFO");
        if (r == 0 && pinfo.hub_connections != 0) {
            LogMsg(LOG_ERROR, L"Connection has been setup after BASDNG command.\n");
            return r;
        }
        LogMsg(LOG_ERROR, r != 0 ? L"Can not get correct pinfo from cradle,again.\n"
                                 : L"Connection has not been setup after BASDNG command, again.\n");
    }
    LogMsg(LOG_ERROR, L"FAIL: Setup the connection between cradle and scanner TIMEOUT, time spent: %u.\n", Since(start));
    ReportStatus(HFS_terminal_fail_timeout);
    return -1;
}

int32_t KIRO_FlashTool::EnterTransparentMode()
{
    // A radio link behind USB answers more slowly than one behind a serial line.
    uint64_t limit = resetTimeoutMs;
    if (pinfo.physical_cable_type != 'R') {
        limit *= 3;
        LogMsg(LOG_INFO, L"Tripple the timeout value if not RS232 interface. physical_cable_type = %c, timeout = %d.\n",
               static_cast<int>(pinfo.physical_cable_type), static_cast<int>(limit));
    }
    if (io->MNU_SetDecimal('M', "BASPAS", 1, '.') != 0) {
        LogMsg(LOG_ERROR, L"FAIL: Send BASPAS command ERROR.\n");
        return -1;
    }
    transparent_mode = 1;
    platform::SleepMs(kTransparentSettleMs);
    uint32_t start = platform::TickCount();
    LogMsg(LOG_INFO, L"Assume cradle has in TRANSPARENT MODE, Send pinfo to get info of scanner.\n");

    while (Since(start) < limit) {
        Stamp(LOG_DETAIL, L"In transparent mode");
        if (Cancelled()) {
            ReportStatus(HFS_terminal_canceled);
            return -1;
        }
        platform::SleepMs(kPollPauseMs);
        ClearDeviceRecord();
        int32_t r = Scanner_GetPinfo("P_INFO");
        if (r == 0 && pinfo.physical_device_type == 1 && pinfo.scannerstate == 'B') {
            LogMsg(LOG_INFO, L"Cradle is already in transparent mode.\n");
            return r;
        }
        if (r != 0)
            LogMsg(LOG_ERROR, L"Can not get correct pinfo from scanner, again.\n");
        else if (pinfo.physical_device_type == 1)
            LogMsg(LOG_ERROR, L"Scanner is NOT in boot mode, again.\n");
        else
            LogMsg(LOG_ERROR, L"Cradle is NOT in transparent mode, again.\n");
    }
    LogMsg(LOG_ERROR, L"FAIL: Put cradle in transparentmode again TIMEOUT, time spent: %u.\n", Since(start));
    ReportStatus(HFS_terminal_fail_timeout);
    return -1;
}
