// Bootloader frames as the wire carries them, built independently of the
// library's framing code, for scripting a device and checking what the host
// sent.
#pragma once

#include "support/ScriptedTransport.h"

#include <cstdint>
#include <vector>

namespace testing_support {

// What the host sends: every message begins with two spaces and DLE c.
extern const Bytes kFrameStart;   // 20 20 10 02: a command frame
extern const Bytes kPoll;         // 20 20 10 05
extern const Bytes kAckReply;     // 20 20 10 06: reply accepted
extern const Bytes kNakReply;     // 20 20 10 15: reply rejected

// The bootloader's answers to a command frame.
Bytes BlAck();   // 10 06
Bytes BlNak();   // 10 15
Bytes BlCan();   // 10 18

// Bit-by-bit CRC of the bootloader (MSB-first 0x1021 with a shift-right
// update), for checking the library's table-driven one.
uint16_t ReferenceCrc(const Bytes& data);

// The command frame the host should send.
Bytes CommandFrame(uint8_t packetNumber, uint8_t cmd, const std::vector<uint32_t>& params, const Bytes& payload);
// A reply frame with the fields exactly as given (the caller complements
// packet number and command as the bootloader does).
Bytes ReplyFrame(uint8_t packetNumber, uint8_t cmd, const std::vector<uint32_t>& params, const Bytes& payload);
// The proper reply to command cmd sent as packetNumber.
Bytes ReplyTo(uint8_t packetNumber, uint8_t cmd, const Bytes& payload = {});
// "No reply yet": 10 02 00 10 1C 00 00 10 03.
Bytes EmptyReply();

// A bootloader that takes the frame and answers the first poll: the
// scripting of one good transaction.
void ScriptTransaction(ScriptedTransport& transport, uint8_t packetNumber, uint8_t cmd, const Bytes& payload = {});

} // namespace testing_support
