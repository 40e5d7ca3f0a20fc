// Walks a tagged, length-prefixed record container held in memory:
//   u32 tag, u32 length (bytes that follow), then records of
//   u32 type, u32 payload length, payload, fill up to a multiple of 4.
// All integers are little-endian. Every walk stays inside both the length
// field and the buffer it was handed, whatever the length fields say.
#pragma once

#include <cstdint>

// A walk position: the current record and the container length still ahead
// of it (the record itself included).
struct TlvObjectFind {
    const uint8_t* pRecord;
    int32_t remaining;
};

class CTlvContainerParser {
public:
    CTlvContainerParser();
    CTlvContainerParser(const void* container, uint32_t size);

    void SetContainer(const void* container, uint32_t size);

    uint32_t ContainerTag() const;
    uint32_t ContainerLength() const;
    // The tag, length and every byte the length field claims lie in the buffer.
    bool ContainerInside() const;

    // The first record sits right after the container header; a further one
    // follows only while the container length still ahead is larger than the
    // current record's step and its own 8-byte header fits.
    bool FirstRecord(TlvObjectFind& cursor) const;
    bool NextRecord(TlvObjectFind& cursor) const;
    // Record at a 1-based position.
    bool RecordAt(uint32_t position, TlvObjectFind& cursor) const;
    // The record's payload lies inside the container (fill may be missing at
    // the very end).
    bool PayloadInside(const uint8_t* record) const;

    // First record of the type, with its 1-based position. The find cursor
    // is left as it was.
    bool FindRecord(uint32_t type, const uint8_t** record, uint32_t* position);

    static uint32_t RecordType(const uint8_t* record);
    static uint32_t RecordLength(const uint8_t* record);
    // Header, payload and fill: the distance to the next record.
    static uint64_t RecordStep(const uint8_t* record);

    const uint8_t* m_pTlvContainer;
    TlvObjectFind m_ObjectFind;
    uint32_t m_ContainerSize;   // bytes of the buffer behind m_pTlvContainer

protected:
    // Offset of the container's end: 8 + length, cut to the buffer.
    uint64_t ContainerEnd() const;
};

inline uint32_t ReadLe32(const uint8_t* p)
{
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

inline void WriteLe32(uint8_t* p, uint32_t value)
{
    p[0] = uint8_t(value);
    p[1] = uint8_t(value >> 8);
    p[2] = uint8_t(value >> 16);
    p[3] = uint8_t(value >> 24);
}
