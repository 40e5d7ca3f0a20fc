#include "sim/PacketLink.h"

#include "sim/Crc16.h"

#include <cstdio>

namespace sim {

namespace {

uint32_t Le32(const std::vector<uint8_t>& bytes, size_t at)
{
    return bytes[at] | (bytes[at + 1] << 8) | (bytes[at + 2] << 16) | (static_cast<uint32_t>(bytes[at + 3]) << 24);
}

// Data bytes with their frame check; a data DLE goes out twice.
class ReplyWriter {
public:
    void Raw(uint8_t symbol)
    {
        out_ += static_cast<char>(kDle);
        out_ += static_cast<char>(symbol);
    }
    void Byte(uint8_t byte)
    {
        crc_ = Crc16Update(crc_, byte);
        Stuffed(byte);
    }
    void U32(uint32_t value)
    {
        for (int shift = 0; shift < 32; shift += 8)
            Byte(static_cast<uint8_t>(value >> shift));
    }
    void Check(bool corrupt)
    {
        uint16_t crc = corrupt ? static_cast<uint16_t>(crc_ ^ 0x5A5A) : crc_;
        Stuffed(static_cast<uint8_t>(crc & 0xFF));
        Stuffed(static_cast<uint8_t>(crc >> 8));
    }
    std::string Take() { return std::move(out_); }

private:
    void Stuffed(uint8_t byte)
    {
        out_ += static_cast<char>(byte);
        if (byte == kDle)
            out_ += static_cast<char>(kDle);
    }
    std::string out_;
    uint16_t crc_ = 0;
};

} // namespace

void FrameDecoder::Reset()
{
    inFrame_ = false;
    afterDle_ = false;
    total_ = 0;
    fields_.clear();
}

FrameDecoder::Event FrameDecoder::Feed(uint8_t byte, Time now)
{
    lastByte_ = now;
    if (afterDle_) {
        afterDle_ = false;
        return byte == kDle ? Data(byte) : Control(byte);
    }
    if (byte == kDle) {
        afterDle_ = true;
        return Event::None;
    }
    return Data(byte);
}

FrameDecoder::Event FrameDecoder::Data(uint8_t byte)
{
    // Outside a frame: the preamble's spaces and line noise.
    if (!inFrame_)
        return Event::None;
    // The largest legal frame: header, five parameters, length, payload, check.
    if (++total_ > 3 + 4 * kMaxParams + 4 + kMaxPayload + 2)
        return Bad("frame too long");
    fields_.back().push_back(byte);
    return Event::None;
}

FrameDecoder::Event FrameDecoder::Control(uint8_t symbol)
{
    switch (symbol) {
    case kStx:
        inFrame_ = true;
        total_ = 0;
        fields_.assign(1, {});
        return Event::None;
    case kFs:
        if (!inFrame_)
            return Event::None;
        if (fields_.size() == 4)
            return Bad("too many separators");
        fields_.emplace_back();
        return Event::None;
    case kEtx:
        return inFrame_ ? Finish() : Event::None;
    default:
        break;
    }
    if (inFrame_)
        return Bad("control symbol inside a frame");
    switch (symbol) {
    case kEnq:
        return Event::Poll;
    case kAck:
        return Event::HostAck;
    case kNak:
        return Event::HostNak;
    default:
        return Event::None;
    }
}

FrameDecoder::Event FrameDecoder::Bad(const std::string& why)
{
    problem_ = why;
    Reset();
    return Event::BadFrame;
}

FrameDecoder::Event FrameDecoder::Finish()
{
    if (fields_.size() != 4)
        return Bad("expected 4 fields, got " + std::to_string(fields_.size()));
    const auto& head = fields_[0];
    const auto& length = fields_[1];
    const auto& payload = fields_[2];
    const auto& check = fields_[3];
    if (head.size() < 3 || head[2] > kMaxParams || head.size() != 3 + 4u * head[2])
        return Bad("bad header field of " + std::to_string(head.size()) + " bytes");
    if (length.size() != 4 || Le32(length, 0) != payload.size())
        return Bad("payload length does not match the payload");
    if (check.size() != 2)
        return Bad("frame check of " + std::to_string(check.size()) + " bytes");
    uint16_t crc = Crc16(head.data(), head.size());
    crc = Crc16(length.data(), length.size(), crc);
    crc = Crc16(payload.data(), payload.size(), crc);
    uint16_t sent = static_cast<uint16_t>(check[0] | (check[1] << 8));
    if (crc != sent) {
        char text[64];
        std::snprintf(text, sizeof text, "frame check %04x, computed %04x", sent, crc);
        return Bad(text);
    }
    frame_.packetNumber = head[0];
    frame_.command = head[1];
    frame_.params.clear();
    for (size_t i = 0; i < head[2]; ++i)
        frame_.params.push_back(Le32(head, 3 + 4 * i));
    frame_.payload = payload;
    Reset();
    return Event::Frame;
}

std::string ControlSymbol(uint8_t symbol)
{
    return std::string{static_cast<char>(kDle), static_cast<char>(symbol)};
}

std::string EncodeReply(const CommandFrame& to, const std::vector<uint32_t>& params,
                        const std::vector<uint8_t>& payload, bool corruptCrc)
{
    ReplyWriter w;
    w.Raw(kStx);
    w.Byte(1);
    w.Raw(kFs);
    w.Byte(static_cast<uint8_t>(~to.packetNumber));
    w.Byte(static_cast<uint8_t>(~to.command));
    w.Byte(static_cast<uint8_t>(params.size()));
    for (uint32_t param : params)
        w.U32(param);
    w.Raw(kFs);
    w.U32(static_cast<uint32_t>(payload.size()));
    w.Raw(kFs);
    for (uint8_t byte : payload)
        w.Byte(byte);
    w.Raw(kFs);
    w.Check(corruptCrc);
    w.Raw(kEtx);
    return w.Take();
}

std::string EncodeEmptyReply()
{
    ReplyWriter w;
    w.Raw(kStx);
    w.Byte(0);
    w.Raw(kFs);
    w.Check(false);
    w.Raw(kEtx);
    return w.Take();
}

} // namespace sim
