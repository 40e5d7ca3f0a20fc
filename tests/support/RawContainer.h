// Hand-made record containers for tests that need files the builder would
// never write: wrong lengths, missing fill, records out of order.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace testing_support {

class RawContainer {
public:
    explicit RawContainer(uint32_t tag = 0x46434f4d) { Put32(tag); Put32(0); }

    // Appends a record; the stated length may differ from the payload given.
    RawContainer& Record(uint32_t type, const std::vector<uint8_t>& payload, bool fill = true)
    {
        return RecordWithLength(type, uint32_t(payload.size()), payload, fill);
    }
    RawContainer& RecordWithLength(uint32_t type, uint32_t statedLength, const std::vector<uint8_t>& payload,
                                   bool fill = true)
    {
        Put32(type);
        Put32(statedLength);
        bytes.insert(bytes.end(), payload.begin(), payload.end());
        if (fill)
            bytes.resize(bytes.size() + (4 - payload.size() % 4) % 4, 0);
        return *this;
    }
    RawContainer& Raw(const std::vector<uint8_t>& more)
    {
        bytes.insert(bytes.end(), more.begin(), more.end());
        return *this;
    }
    // Sets the length field to the bytes that follow it, plus extra.
    RawContainer& Close(int64_t extra = 0)
    {
        SetLength(uint32_t(int64_t(bytes.size()) - 8 + extra));
        return *this;
    }
    RawContainer& SetLength(uint32_t length)
    {
        Write32(4, length);
        return *this;
    }
    void Write32(size_t at, uint32_t value)
    {
        for (int i = 0; i < 4; ++i)
            bytes[at + i] = uint8_t(value >> 8 * i);
    }
    std::string Text() const { return std::string(bytes.begin(), bytes.end()); }

    std::vector<uint8_t> bytes;

private:
    void Put32(uint32_t value)
    {
        for (int i = 0; i < 4; ++i)
            bytes.push_back(uint8_t(value >> 8 * i));
    }
};

inline std::vector<uint8_t> Bytes(const std::string& text)
{
    return std::vector<uint8_t>(text.begin(), text.end());
}

} // namespace testing_support
