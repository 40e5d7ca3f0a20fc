// The serial record a host passes with CFS_WIN32_232_SETTINGS: 115200 baud,
// binary, and the frame it is given (8N1 unless a test says otherwise).
// Header only, for the fuzz targets too.
#pragma once

#include "tambrix01/FlashTool.h"

#include <cstdint>

namespace testing_support {

inline WIN32_232_SETTINGS SerialRecord(uint8_t byteSize = 8, uint8_t parity = NOPARITY, uint8_t stopBits = ONESTOPBIT)
{
    WIN32_232_SETTINGS serial{};
    serial.dcb.DCBlength = sizeof serial.dcb;
    serial.dcb.BaudRate = 115200;
    serial.dcb.fBinary = 1;
    serial.dcb.ByteSize = byteSize;
    serial.dcb.Parity = parity;
    serial.dcb.StopBits = stopBits;
    return serial;
}

} // namespace testing_support
