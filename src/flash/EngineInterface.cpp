// Status reports and the preparation of the serial and USB interfaces.
#include "flash/KIRO_FlashTool.h"

#include "io/FlashIo.h"
#include "io/IoRecorder.h"
#include "io/UsbHid.h"
#include "log/Log.h"

#include <cstdlib>
#include <cstring>
#include <cwchar>

namespace {

constexpr const char* kStatusNames[] = {
    "HFS_idle_other",
    "HFS_xxx_get_info",
    "HFS_app_goto_boot",
    "HFS_old_bl_por_wait",
    "HFS_old_bl_get_info",
    "HFS_old_bl_flashing_x_of_y",
    "HFS_old_bl_complete",
    "HFS_new_bl_por_wait",
    "HFS_new_bl_get_info",
    "HFS_new_app_flashing_x_of_y",
    "HFS_new_app_complete",
    "HFS_new_app_por_wait",
    "HFS_canceling",
    "HFS_end_cleanup",
    "HFS_initialize_interface",
    "HFS_opening_interface",
    "HFS_opening_may_retry",
    "HFS_closing_interface",
    "HFS_terminal_bad_file",
    "HFS_terminal_canceled",
    "HFS_terminal_fail_no_open",
    "HFS_terminal_fail_no_com",
    "HFS_terminal_fail_retry",
    "HFS_terminal_fail_timeout",
    "HFS_terminal_success_ok",
    "HFS_terminal_success_assumed",
};

constexpr uint32_t kInterfaceSerial = 0x5202;
constexpr uint32_t kInterfaceUsb = 0x5500;
constexpr uint32_t kNoPortNumber = 0xFFFFFFFF;

} // namespace

const char* StatusName(uint64_t status)
{
    return status < sizeof kStatusNames / sizeof kStatusNames[0] ? kStatusNames[status] : "unknown";
}

void KIRO_FlashTool::ReportStatus(uint64_t status, uint64_t x, uint64_t y)
{
    int cancelledBefore = cancelFlag != 0;
    int32_t r = statusCallback ? statusCallback(statusContext, status, x, y) : 0;
    int cancelledAfter = cancelFlag != 0;
    LogMsg(LOG_INFO, L"Status callback: [%d], %hs, (%d of %d), cb4=%d, r=%d, caf=%d\n", static_cast<int>(status),
           StatusName(status), static_cast<int>(x), static_cast<int>(y), cancelledBefore, r, cancelledAfter);
    if (r < 0) {
        terminalStatus = HFS_terminal_canceled;
        cancelFlag = 1;
        statusCallback(statusContext, HFS_canceling, 0, 0);
    }
}

std::string KIRO_FlashTool::ReportText() const
{
    std::string text;
    int count = pinfo.itemCount < kPinfoMaxItems ? pinfo.itemCount : kPinfoMaxItems;
    for (int i = 0; i < count; ++i)
        text.append(pinfo.items[i].tag).append(": ").append(pinfo.items[i].value).append("\n");
    return text;
}

void KIRO_FlashTool::CloseInterface()
{
    if (m_BlueToothMode) {
        interface_kept_open = 1;
        return;
    }
    interface_kept_open = 0;
    ReportStatus(HFS_closing_interface);
    io->CloseDevice();
}

int32_t KIRO_FlashTool::SetDeviceName(const wchar_t* name)
{
    wchar_t* copy = nullptr;
    if (name) {
        size_t bytes = (wcslen(name) + 1) * sizeof(wchar_t);
        copy = static_cast<wchar_t*>(malloc(bytes));
        if (!copy)
            return -1;
        memcpy(copy, name, bytes);
    }
    free(deviceName);
    deviceName = copy;
    return 0;
}

int32_t KIRO_FlashTool::SetupSerialTransport(const WIN32_232_SETTINGS* settings)
{
    int32_t result = transportHooks.serial ? transportHooks.serial(transportHooks.context, io, deviceName, settings)
                                           : io->BL_FlashIo_Setup_WIN32_RS232_V2(deviceName, settings);
    IoRecordSerialSetup(io->io, deviceName, settings, result);
    return result;
}

int32_t KIRO_FlashTool::InitRs232V2(const wchar_t* portName, const WIN32_232_SETTINGS* settings)
{
    // A device left in Bluetooth mode by an earlier flash would keep the
    // port open through the close below, and the next open would open
    // nothing.
    m_BlueToothMode = 0;
    interface_kept_open = 0;
    // The settings may be our own rs232_settings: copy before anything moves.
    WIN32_232_SETTINGS wanted = *settings;
    if (SetDeviceName(portName) != 0) {
        LogMsg(LOG_ERROR, L"No memory (init rs232 v2)\n");
        return -1;
    }
    memset(&rs232_boot_settings, 0, sizeof rs232_boot_settings);
    memset(bt_address, 0, sizeof bt_address);
    CloseInterface();
    interfaceKind = kInterfaceSerial;
    ResetPinfo('R');
    lastcable = '?';
    DefaultCableType = 'R';
    baudRate = kNoPortNumber;
    comPort = kNoPortNumber;
    rs232_settings = wanted;
    usbIdentity = UsbIdentity{};
    usbBootIds = UsbIdentity{};
    return SetupSerialTransport(&rs232_settings);
}

int32_t KIRO_FlashTool::InitUsb(const wchar_t* name)
{
    m_BlueToothMode = 0;
    interface_kept_open = 0;
    CloseInterface();
    interfaceKind = kInterfaceUsb;
    memset(&rs232_settings, 0, sizeof rs232_settings);
    memset(&rs232_boot_settings, 0, sizeof rs232_boot_settings);
    memset(bt_address, 0, sizeof bt_address);
    ResetPinfo('U');
    DefaultCableType = 'U';
    baudRate = 0;
    comPort = 0;
    // Our own copy: the host may replace its port name while we use ours.
    if (SetDeviceName(name) != 0) {
        LogMsg(LOG_ERROR, L"No memory (init usb)\n");
        return -3;
    }
    usbIdentity = UsbIdentity{-1, -1, -1, -1, deviceName, nullptr};
    usbBootIds = UsbIdentity{};
    // What an earlier flash learnt of its devices is no guide to this one's.
    UsbForgetDevices(io->io);
    return SetupUsbInterface(usbIdentity);
}

int32_t KIRO_FlashTool::SetupUsbInterface(const UsbIdentity& identity)
{
    ReportStatus(HFS_initialize_interface);
    FlashIoDevice* device = io->io;
    if (device && device->destroy)
        device->destroy(device);
    // A P_INFO report without a valid usbvid leaves nothing to look for;
    // the old transport is gone all the same, as after any failed set-up.
    if (identity.vendorId < 0 && !identity.devicePath) {
        LogMsg(LOG_ERROR, L"USB Open BOOT Mode: the device reported no bootloader identity\n");
        return -3;
    }
    UsbIdentity wanted{identity.vendorId, identity.productId, identity.interfaceNumber, identity.interfaceId,
                       identity.devicePath, nullptr};
    int32_t result = transportHooks.usb ? transportHooks.usb(transportHooks.context, io, &wanted)
                                        : BL_FlashIo_Setup_WIN32_USB(device, &wanted);
    IoRecordUsbSetup(device, wanted, result);
    return result != 0 ? -3 : 0;
}
