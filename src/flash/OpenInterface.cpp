// Opening the device in the face it shows now: which transport, with which
// identity or line settings.
#include "flash/KIRO_FlashTool.h"

#include "io/FlashIo.h"
#include "io/IoRecorder.h"
#include "log/Log.h"

#include <string>

int32_t KIRO_FlashTool::ChooseCable(int32_t openmode, int32_t* cable, int32_t* state)
{
    const int32_t physical = pinfo.physical_cable_type;
    switch (openmode) {
    case OPEN_DEVICE:
        if (physical == '?' || physical == 'R') {
            *cable = static_cast<int32_t>(DefaultCableType);
        } else if (physical == 'U') {
            if (*state == '?' || *state == 'A') {
                *cable = static_cast<int32_t>(DefaultCableType);
            } else if (*state == 'B' || *state == 'b') {
                *cable = 'U';
            } else {
                LogMsg(LOG_OPEN, L"Unknown scanner state: %c\n", *state);
                return -1;
            }
        } else {
            LogMsg(LOG_OPEN, L"Unknown cable type: %c\n", physical);
            return -1;
        }
        return 0;
    case OPEN_BOOT:
        LogMsg(LOG_INFO, L"openmode = %c, pinfo.physical_cable_type = %c.\n", openmode, physical);
        *cable = physical == 'U' ? 'U' : static_cast<int32_t>(DefaultCableType);
        return 0;
    case OPEN_BOOT_EXPECTED:
        LogMsg(LOG_INFO, L"openmode = %c, We think it is in the bootloader, pinfo.physical_cable_type = %c.\n",
               openmode, physical);
        lastcable = '?';
        *state = 'B';
        *cable = physical == 'U' ? 'U' : 'R';
        return 0;
    default:
        LogMsg(LOG_ERROR, L"OpenInterface() Unknown: 0x%02x openmode\n", openmode);
        return -1;
    }
}

int32_t KIRO_FlashTool::RebuildTransport(int32_t openmode, int32_t cable, int32_t state)
{
    LogMsg(LOG_INFO, L"Destroy old one and re-init the flashio layer.\n");
    io->CloseDevice();
    if (FlashIoDevice* device = io->io) {
        device->purge = nullptr;
        device->open = nullptr;
        device->close = nullptr;
        device->writeBytes = nullptr;
        device->readBytes = nullptr;
    }
    if (cable == 'R') {
        if (static_cast<int32_t>(comPort) >= 1) {
            int32_t result =
                io->BL_FlashIo_Setup_WIN32_RS232(static_cast<int32_t>(comPort), static_cast<int32_t>(baudRate));
            IoRecordSerialSetup(io->io, (L"COM" + std::to_wstring(comPort)).c_str(), nullptr, result);
            return result;
        }
        if (openmode == OPEN_DEVICE)
            return SetupSerialTransport(&rs232_settings);
        LogMsg(LOG_INFO, L"RS232 Open BOOT Mode\n");
        // The bootloader always talks 8-N-1, whatever the application uses.
        rs232_boot_settings = rs232_settings;
        rs232_boot_settings.dcb.ByteSize = 8;
        rs232_boot_settings.dcb.Parity = NOPARITY;
        rs232_boot_settings.dcb.StopBits = ONESTOPBIT;
        return SetupSerialTransport(&rs232_boot_settings);
    }
    if (state == 'B') {
        LogMsg(LOG_INFO, L"USB Open BOOT Mode\n");
        return SetupUsbInterface(usbBootIds);
    }
    return SetupUsbInterface(usbIdentity);
}

int32_t KIRO_FlashTool::OpenInterface(int32_t openmode, int32_t type)
{
    if (interface_kept_open)
        return 0;
    ReportStatus(HFS_opening_interface);
    if (Cancelled()) {
        if (type != OPEN_EVEN_IF_CANCELLED) {
            LogMsg(LOG_ERROR, L"Cancel flag true: Do not open interface.\n");
            return -1;
        }
        LogMsg(LOG_ERROR, L"Cancel flag true: continue open the interface to send VISMN40 command.\n");
    }
    int32_t state = pinfo.scannerstate;
    LogMsg(LOG_OPEN, L"OpenInterface( openmode='%c', type=%d )\n", openmode, type);
    LogMsg(LOG_OPEN, L"lastcable: %c, defcbl: %c, phys cable: %c, scannerstate: %c\n", lastcable, DefaultCableType,
           pinfo.physical_cable_type, state);
    int32_t cable = 0;
    if (int32_t refused = ChooseCable(openmode, &cable, &state))
        return refused;
    LogMsg(LOG_OPEN, L"openmode: %c, scannerstate: %c, lastcabletype: %c, cableletter: %c\n", openmode, state,
           lastcable, cable);
    // A USB transport is kept while the cable stays the same; a serial one
    // is always set up anew, since the line settings may have changed.
    if (static_cast<uint32_t>(cable) != lastcable || cable == 'R') {
        if (int32_t result = RebuildTransport(openmode, cable, state))
            return result;
        lastcable = static_cast<uint32_t>(cable);
    }
    int32_t result = io->OpenDevice();
    if (result != 0)
        ReportStatus(type == OPEN_MAY_RETRY ? HFS_opening_may_retry : HFS_terminal_fail_no_open);
    return result;
}
