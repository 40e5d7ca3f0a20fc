// Records of the bootloader packet protocol, kept in FlashIo.
#pragma once

#include <cstdint>

constexpr uint32_t kPacketPayloadMax = 16384;
constexpr int32_t kPacketParamsMax = 5;
constexpr uint32_t kAreaNameSize = 128;

// A command being sent or the last reply received.
struct BlPacket {
    uint32_t packet_number;   // only the low byte travels
    uint32_t Cmd;
    int32_t n_params;
    uint64_t params[kPacketParamsMax];   // the low 32 bits travel
    uint64_t payload_len;
    uint8_t payload[kPacketPayloadMax];
};

// The reply of the area-open command; only handle and write multiple are
// used, the rest is kept for the trace.
struct AreaInfo {
    uint64_t handle;
    uint64_t secondWord;
    char name[kAreaNameSize + 1];
    uint64_t word0;
    uint64_t word1;
    uint64_t writeMultiple;   // above 1: every block size must be a multiple
    uint64_t word3;
    uint64_t word4;
    uint64_t value0;
    uint64_t value1;
};

// Size of the area-open reply on the wire.
constexpr uint32_t kAreaInfoWireSize = 172;

// Symbols as RxSymbol returns them: 0x00..0xFF data, 0x1000 + c the
// control pair DLE c.
enum : int32_t {
    ASCII_STX = 0x02,
    ASCII_ETX = 0x03,
    ASCII_ENQ = 0x05,
    ASCII_ACK = 0x06,
    ASCII_DLE = 0x10,
    ASCII_NAK = 0x15,
    ASCII_SYN = 0x16,
    ASCII_CAN = 0x18,
    ASCII_FS = 0x1C,
    SYMBOL_CONTROL = 0x1000,
};

// Bootloader command codes.
enum : uint32_t {
    BL_CMD_VERSION = 1,
    BL_CMD_RESET_HARD = 3,
    BL_CMD_AREA_OPEN = 4,
    BL_CMD_UPDATE_BEGIN = 7,
    BL_CMD_AREA_END = 8,
    BL_CMD_ERASE_ALL = 9,
    BL_CMD_WRITE_BLOCK = 16,
    BL_CMD_RESET_SOFT = 22,
};

constexpr uint32_t kMenuBufferSize = 1024;
