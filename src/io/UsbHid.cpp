// Placeholder until the HID backends land: no USB device can be opened.
#include "io/UsbHid.h"

#include "io/FlashIo.h"

int32_t BL_FlashIo_Setup_WIN32_USB(FlashIoDevice* io, const UsbIdentity* identity)
{
    (void)identity;
    IoLog(io, 4, L"USB HID transport not available in this build\n");
    return -1;
}
