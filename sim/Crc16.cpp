#include "sim/Crc16.h"

#include <array>

namespace sim {

namespace {

constexpr std::array<uint16_t, 256> MakeTable()
{
    std::array<uint16_t, 256> table{};
    for (unsigned i = 0; i < 256; ++i) {
        uint16_t value = static_cast<uint16_t>(i << 8);
        for (int bit = 0; bit < 8; ++bit)
            value = static_cast<uint16_t>((value & 0x8000) ? (value << 1) ^ 0x1021 : value << 1);
        table[i] = value;
    }
    return table;
}

constexpr std::array<uint16_t, 256> kTable = MakeTable();
static_assert(kTable[1] == 0x1021 && kTable[2] == 0x2042);

} // namespace

uint16_t Crc16Update(uint16_t crc, uint8_t byte)
{
    return static_cast<uint16_t>(kTable[(crc ^ byte) & 0xFF] ^ (crc >> 8));
}

uint16_t Crc16(const uint8_t* data, size_t length, uint16_t crc)
{
    for (size_t i = 0; i < length; ++i)
        crc = Crc16Update(crc, data[i]);
    return crc;
}

} // namespace sim
