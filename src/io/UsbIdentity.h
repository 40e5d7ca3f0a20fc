#pragma once

#include <cstdint>

// Which USB HID device to open: by vendor, product and interface number, or
// by path when the vendor id is negative.
struct UsbIdentity {
    int32_t vendorId;
    int32_t productId;
    int32_t interfaceNumber;   // matched as "mi_%02x"; 0 also accepts paths without one
    int32_t interfaceId;       // only printed
    wchar_t* devicePath;
    wchar_t* preservedPath;    // found earlier; opened directly when set
};
