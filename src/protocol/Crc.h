// The bootloader frame check: the MSB-first table of 0x1021 driven with a
// shift-right update, initial value 0, no final inversion. The usual CRC-16
// variants give other values; the bootloader computes exactly this one.
#pragma once

#include <cstddef>
#include <cstdint>

uint16_t CrcUpdate(uint16_t crc, uint8_t byte);
uint16_t Crc16(const uint8_t* data, size_t length);
