// The bootloader's side of the packet link: it decodes the host's command
// frames, polls and acknowledgements, and encodes its own reply frames.
#pragma once

#include "sim/Ascii.h"
#include "sim/Environment.h"

#include <cstdint>
#include <string>
#include <vector>

namespace sim {

constexpr size_t kMaxPayload = 16384;
constexpr size_t kMaxParams = 5;

struct CommandFrame {
    uint8_t packetNumber = 0;
    uint8_t command = 0;
    std::vector<uint32_t> params;
    std::vector<uint8_t> payload;
};

class FrameDecoder {
public:
    enum class Event { None, Frame, BadFrame, Poll, HostAck, HostNak };

    // Neither inside a frame nor after a DLE: a byte now is not the link's.
    bool Idle() const { return !inFrame_ && !afterDle_; }
    // A frame left half-way for longer than the bootloader's inter-character
    // timeout is given up.
    bool Expired(Time now, uint32_t icdMs) const { return inFrame_ && now - lastByte_ > icdMs; }
    Event Feed(uint8_t byte, Time now);
    void Reset();

    const CommandFrame& Frame() const { return frame_; }
    const std::string& Problem() const { return problem_; }

private:
    Event Control(uint8_t symbol);
    Event Data(uint8_t byte);
    Event Finish();
    Event Bad(const std::string& why);

    bool inFrame_ = false;
    bool afterDle_ = false;
    Time lastByte_ = 0;
    size_t total_ = 0;
    std::vector<std::vector<uint8_t>> fields_;
    CommandFrame frame_;
    std::string problem_;
};

// DLE followed by a control character.
std::string ControlSymbol(uint8_t symbol);
// The reply to a command: packet number and command complemented, with a
// wrong frame check when corruptCrc is set.
std::string EncodeReply(const CommandFrame& to, const std::vector<uint32_t>& params,
                        const std::vector<uint8_t>& payload, bool corruptCrc);
// "No reply yet": DLE STX 00 DLE FS, CRC, DLE ETX.
std::string EncodeEmptyReply();

} // namespace sim
