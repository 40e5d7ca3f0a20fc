// The control characters both protocols use.
#pragma once

#include <cstdint>

namespace sim {

constexpr uint8_t kStx = 0x02;
constexpr uint8_t kEtx = 0x03;
constexpr uint8_t kEnq = 0x05;
constexpr uint8_t kAck = 0x06;
constexpr uint8_t kCr = 0x0D;
constexpr uint8_t kDle = 0x10;
constexpr uint8_t kNak = 0x15;
constexpr uint8_t kSyn = 0x16;
constexpr uint8_t kCan = 0x18;
constexpr uint8_t kFs = 0x1C;

} // namespace sim
