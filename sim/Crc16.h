// The bootloader's frame check: the MSB-first 0x1021 table driven by a
// right-shifting update, initial value 0, no final inversion. Written on the
// device side on purpose, so that the simulator and the library do not share
// one reading of the frame format.
#pragma once

#include <cstddef>
#include <cstdint>

namespace sim {

uint16_t Crc16Update(uint16_t crc, uint8_t byte);
uint16_t Crc16(const uint8_t* data, size_t length, uint16_t crc = 0);

} // namespace sim
