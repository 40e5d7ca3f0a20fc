// The USB HID transport: the slots of FlashIoDevice for a HID device found
// by its identity.
#pragma once

#include "io/FlashIoDevice.h"
#include "io/UsbIdentity.h"

#include <cstdint>

// Installs the transport and test-opens the device once: 0, or -1 with
// nothing installed. The caller has torn the previous transport down.
int32_t BL_FlashIo_Setup_WIN32_USB(FlashIoDevice* io, const UsbIdentity* identity);
