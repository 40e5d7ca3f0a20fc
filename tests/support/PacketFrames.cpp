#include "support/PacketFrames.h"

namespace testing_support {

const Bytes kFrameStart = {0x20, 0x20, 0x10, 0x02};
const Bytes kPoll = {0x20, 0x20, 0x10, 0x05};
const Bytes kAckReply = {0x20, 0x20, 0x10, 0x06};
const Bytes kNakReply = {0x20, 0x20, 0x10, 0x15};

Bytes BlAck() { return {0x10, 0x06}; }
Bytes BlNak() { return {0x10, 0x15}; }
Bytes BlCan() { return {0x10, 0x18}; }

uint16_t ReferenceCrc(const Bytes& data)
{
    uint16_t crc = 0;
    for (uint8_t byte : data) {
        uint16_t term = static_cast<uint16_t>(((crc ^ byte) & 0xFF) << 8);
        for (int bit = 0; bit < 8; ++bit)
            term = static_cast<uint16_t>(term & 0x8000 ? (term << 1) ^ 0x1021 : term << 1);
        crc = static_cast<uint16_t>(term ^ (crc >> 8));
    }
    return crc;
}

namespace {

// Data bytes: counted by the CRC, DLE doubled on the wire.
class FrameWriter {
public:
    void Raw(std::initializer_list<uint8_t> bytes) { out.insert(out.end(), bytes); }
    void Data(uint8_t byte)
    {
        unstuffed.push_back(byte);
        out.push_back(byte);
        if (byte == 0x10)
            out.push_back(byte);
    }
    void Data32(uint32_t value)
    {
        for (int shift = 0; shift < 32; shift += 8)
            Data(static_cast<uint8_t>(value >> shift));
    }
    void Fields(uint8_t packetNumber, uint8_t cmd, const std::vector<uint32_t>& params, const Bytes& payload)
    {
        Data(packetNumber);
        Data(cmd);
        Data(static_cast<uint8_t>(params.size()));
        for (uint32_t param : params)
            Data32(param);
        Raw({0x10, 0x1C});
        Data32(static_cast<uint32_t>(payload.size()));
        Raw({0x10, 0x1C});
        for (uint8_t byte : payload)
            Data(byte);
        Raw({0x10, 0x1C});
    }
    void End()
    {
        uint16_t crc = ReferenceCrc(unstuffed);
        Data(static_cast<uint8_t>(crc));
        Data(static_cast<uint8_t>(crc >> 8));
        Raw({0x10, 0x03});
    }
    Bytes out;
    Bytes unstuffed;
};

} // namespace

Bytes CommandFrame(uint8_t packetNumber, uint8_t cmd, const std::vector<uint32_t>& params, const Bytes& payload)
{
    FrameWriter frame;
    frame.Raw({0x20, 0x20, 0x10, 0x02});
    frame.Fields(packetNumber, cmd, params, payload);
    frame.End();
    return frame.out;
}

Bytes ReplyFrame(uint8_t packetNumber, uint8_t cmd, const std::vector<uint32_t>& params, const Bytes& payload)
{
    FrameWriter frame;
    frame.Raw({0x10, 0x02});
    frame.Data(1);
    frame.Raw({0x10, 0x1C});
    frame.Fields(packetNumber, cmd, params, payload);
    frame.End();
    return frame.out;
}

Bytes ReplyTo(uint8_t packetNumber, uint8_t cmd, const Bytes& payload)
{
    return ReplyFrame(static_cast<uint8_t>(~packetNumber), static_cast<uint8_t>(~cmd), {}, payload);
}

Bytes EmptyReply() { return {0x10, 0x02, 0x00, 0x10, 0x1C, 0x00, 0x00, 0x10, 0x03}; }

void ScriptTransaction(ScriptedTransport& transport, uint8_t packetNumber, uint8_t cmd, const Bytes& payload)
{
    transport.When(kFrameStart, {BlAck()});
    transport.When(kPoll, {ReplyTo(packetNumber, cmd, payload)});
}

} // namespace testing_support
