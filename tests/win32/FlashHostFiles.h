// What the hosts under Wine take from the library's internals: the files
// of the flash, made by the firmware builder, and the name of a device's
// mutex. They are kept out of the host programs, which must reach the
// library only through TAMBRIX01.dll.
#pragma once

#include <string>

// Writes firmware.mocf, expected-boot.bin and expected-app.bin into the
// current directory; false when one cannot be written.
bool WriteFlashHostFiles();

// The name of the mutex that claims the HID device at path, as the library
// names it.
std::wstring DeviceMutexName(const wchar_t* path);
