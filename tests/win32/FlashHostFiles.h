// The files of the flash under Wine, made by the firmware builder of the
// library's internals. They are kept out of the host program, which must
// reach the library only through TAMBRIX01.dll.
#pragma once

// Writes firmware.mocf, expected-boot.bin and expected-app.bin into the
// current directory; false when one cannot be written.
bool WriteFlashHostFiles();
