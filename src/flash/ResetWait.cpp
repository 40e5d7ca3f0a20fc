// Waiting for a device to restart, finding it again (under a new port name
// when the host gives one) and reading what it is now.
#include "flash/KIRO_FlashTool.h"

#include "io/FlashIo.h"
#include "log/Log.h"
#include "platform/Platform.h"

#include <algorithm>
#include <cstdlib>

namespace {

constexpr uint32_t kAssistCapacity = 512;
constexpr int32_t kUnknownCableLine = 2127;
constexpr uint64_t kMinimumIntervalMs = 1000;

bool DeadlinePassed(uint32_t start, uint64_t limitMs)
{
    // Elapsed time against the limit, so a limit past 2^31 ms is not spent at once.
    return limitMs < UINT32_MAX && platform::TickCount() - start >= limitMs;
}

int32_t ReopenMode(int32_t rebootType, int32_t cable)
{
    switch (rebootType) {
    case REBOOT_INTO_BOOT:
        return cable == 'U' ? OPEN_BOOT_EXPECTED : OPEN_BOOT;
    case REBOOT_AFTER_BOOT:
        return OPEN_BOOT;
    default:
        return OPEN_DEVICE;
    }
}

} // namespace

int32_t KIRO_FlashTool::WakeUpDevice()
{
    if (io->io)
        io->io->txCount = 0;
    io->FlushRx(0);
    static const uint8_t kWake[] = {0x16, 'C', 0x0D};
    io->WriteBytes(kWake, sizeof kWake);
    io->FlushTx();
    uint8_t reply[4] = {};
    int32_t count = io->ReadDevice(reply, sizeof reply, io->shortReplyTimeoutMs);
    if (count >= 1) {
        LogMsg(LOG_ERROR, L"Get response length is %d, 0x%02x.\n", count, reply[0]);
        return 0;
    }
    LogMsg(LOG_ERROR, L"Can not get any response of SYN + C command. \n");
    return -1;
}

int32_t KIRO_FlashTool::WakeUpWithRetries()
{
    for (uint64_t i = 0; i < retryMax; ++i) {
        LogMsg(LOG_INFO, L"Wakeup device with SYN+C command.\n");
        int32_t answered = WakeUpDevice();
        platform::SleepMs(static_cast<uint32_t>(wake_pause_ms));
        if (answered == 0)
            return 0;
    }
    return -1;
}

// Asks the host for the port name the device came back under: 0 when it
// gave one, FLOW_NO_PORT_NAME otherwise.
int32_t KIRO_FlashTool::AskAssistForPortName()
{
    // One character more than the host may fill, so the name always ends.
    auto* buffer = static_cast<wchar_t*>(calloc(kAssistCapacity + 1, sizeof(wchar_t)));
    if (!buffer) {
        LogMsg(LOG_ERROR, L"No Memory\n");
        return -1;
    }
    Stamp(LOG_DETAIL, L"assist callback start");
    int32_t answer = assistAdapter(assistAdapterContext, assistId, buffer, kAssistCapacity);
    int32_t result = FLOW_NO_PORT_NAME;
    if (answer != 0) {
        LogMsg(LOG_ERROR, L"Failed: client can not provided new port string, error code = %d.\n", answer);
    } else if (buffer[0] == 0) {
        LogMsg(LOG_ERROR, L"New port string is empty.\n");
    } else if (DefaultCableType == 'U' || DefaultCableType == 'R') {
        if (SetDeviceName(buffer) != 0) {
            LogMsg(LOG_ERROR, L"No Memory\n");
        } else {
            if (DefaultCableType == 'U')
                usbIdentity.devicePath = deviceName;
            // The transport still points at the old name.
            lastcable = '?';
            LogMsg(LOG_INFO, L"DefaultCableType = %c, device name: %s\n", DefaultCableType, deviceName);
            result = 0;
        }
    } else {
        result = 0;
    }
    free(buffer);
    return result;
}

int32_t KIRO_FlashTool::FlashScanner_ResetWait(int32_t reboot_type)
{
    LogMsg(LOG_INFO, L"FlashScanner_ResetWait( %d )\n", reboot_type);
    const uint32_t start = platform::TickCount();
    const int32_t physical = pinfo.physical_cable_type;
    uint64_t interval = physical == 'R'   ? cableDelayRs232Ms
                        : physical == 'U' ? cableDelayUsbMs
                                          : std::max(cableDelayRs232Ms, cableDelayUsbMs);
    uint64_t limit = physical == 'R' ? resetTimeoutMs : resetTimeoutMs * 6;
    const Pacing& pacing = io->pacing;
    // The fast profile and an explicit first look replace the radio link's
    // own pause too: the deadline stays, so a device that takes its time is
    // still found, only looked for more often.
    const bool ownFirstLook = pacing.Fast() || pacing.firstLookMs != kPaceByCable;
    if (reboot_type == REBOOT_RF_LINK) {
        if (target_device_type == 1 || DefaultCableType == 'U') {
            if (!ownFirstLook) {
                LogMsg(LOG_INFO,
                       L"Wait 12s before re-establishing RF connection in wireless scanner flash or USB cable .\n");
                platform::SleepMs(12000);
            }
            interval = 6000, limit = 100000;
        } else if (DefaultCableType == 'R' && rs232_backup_valid) {
            if (!ownFirstLook) {
                LogMsg(LOG_INFO, L"Wait 6s before re-establishing RF connection in corded scanner flash with RS232 "
                                 L"and default is NOT 8-N-1.\n");
                platform::SleepMs(6000);
            }
            interval = 4000, limit = 18000;
        } else if (DefaultCableType == 'R') {
            if (!ownFirstLook) {
                LogMsg(LOG_INFO, L"Wait 12s before re-establishing RF connection in corded scanner flash with RS232 "
                                 L"and default is 8-N-1.\n");
                platform::SleepMs(12000);
            }
            interval = 6000, limit = 100000;
        }
    }
    interval = std::max(interval, kMinimumIntervalMs);
    uint64_t nextPause = interval;
    if (pacing.Fast()) {
        interval = nextPause = Pacing::kFastLookMs;
    } else {
        if (pacing.lookIntervalMs != kPaceByCable)
            interval = std::max(pacing.lookIntervalMs, Pacing::kLookFloorMs);
        nextPause = ownFirstLook ? std::max(pacing.firstLookMs, Pacing::kLookFloorMs) : interval;
    }
    LogMsg(LOG_INFO, L"Reset timeout val: %d.%03d Seconds, dw: %d Seconds.\n", static_cast<int>(limit / 1000),
           static_cast<int>(limit % 1000), static_cast<int>(interval / 1000));
    Stamp(LOG_DETAIL, L"Reset Loop Start");

    int32_t result = -1;
    for (;;) {
        Stamp(LOG_INFO, L"Reset Loop Top");
        if (DeadlinePassed(start, limit))
            break;
        if (Cancelled()) {
            LogMsg(LOG_INFO, L"Flash has been cancelled in FlashScanner_ResetWait.\n");
            return -1;
        }
        LogMsg(LOG_INFO, L"Wait %d Seconds inner Reset Loop.\n", static_cast<int>(nextPause / 1000));
        platform::SleepMs(Pacing::Ms(nextPause));
        nextPause = interval;
        LogMsg(LOG_INFO,
               L"Check if need to dispose dll callback assist, reboot_type = %d, device type = %d, "
               L"pinfo.physical_cable_type = %c.\n",
               reboot_type, target_device_type, pinfo.physical_cable_type);
        if ((reboot_type == REBOOT_AFTER_APP || reboot_type == REBOOT_RF_LINK) && target_device_type == 0 &&
            assistAdapter) {
            int32_t asked = AskAssistForPortName();
            if (asked == -1)
                return FLOW_NO_PORT_NAME;
            if (asked != 0) {
                result = asked;
                continue;
            }
        }
        // A report that names no cable we know leaves '?': the device is on
        // the configured cable, where every open so far has found it. The
        // open reads the record too (a USB bootloader is looked for on USB
        // only when the record says so); the next report sets it again.
        if (pinfo.physical_cable_type == '?')
            pinfo.physical_cable_type = static_cast<int32_t>(DefaultCableType);
        const int32_t cable = pinfo.physical_cable_type;
        if (cable == 'U') {
            if (int32_t opened = OpenInterface(ReopenMode(reboot_type, 'U'), OPEN_MAY_RETRY)) {
                result = opened;
                continue;
            }
        } else if (cable == 'R') {
            if (int32_t opened = OpenInterface(ReopenMode(reboot_type, 'R'), OPEN_FINAL))
                return opened;
        } else {
            LogMsg(LOG_ERROR, L"Internal: Unknown cable: 0x%02x (Line: %d)\n", cable, kUnknownCableLine);
            ReportStatus(HFS_terminal_fail_no_com);
            return -1;
        }
        if (reboot_type == REBOOT_AFTER_APP && cable == 'R' && low_power_mode && WakeUpWithRetries() != 0)
            LogMsg(LOG_ERROR, L"Fail to wakeup device with SYN+C command.\n");
        result = Scanner_GetPinfo("P_INFO");
        CloseInterface();
        if (result >= 0) {
            if (reboot_type != REBOOT_RF_LINK)
                return result;
            if (pinfo.physical_device_type == 2) {
                if (pinfo.hub_connections != 0)
                    return result;
                LogMsg(LOG_ERROR, L"FlashScanner_ResetWait(): the connection has not been setup.\n");
                result = FLOW_NO_SCANNER;
            } else {
                LogMsg(LOG_ERROR, L"FlashScanner_ResetWait(): the cradle is in trasparent mode.\n");
                result = -1;
            }
        } else if (result == -6) {
            LogMsg(LOG_ERROR, L"FlashScanner_ResetWait(): can not get pinfo string with timeout.\n");
        } else {
            LogMsg(LOG_ERROR, L"FlashScanner_ResetWait(): get invalid pinfo string.\n");
        }
    }
    Stamp(LOG_ERROR, L"FlashScanner_ResetWait TIMEOUT");
    ReportStatus(HFS_terminal_fail_timeout);
    return result;
}
