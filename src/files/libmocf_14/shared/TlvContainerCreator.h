// Writers of record containers, the counterpart of the parsers: a generic
// one and the MOCF one, which also seals the digest record.
#pragma once

#include "files/libmocf_14/shared/ByteVector.h"

#include <cstdint>

class CTlvContainerCreator {
public:
    CTlvContainerCreator() = default;
    virtual ~CTlvContainerCreator() = default;
    CTlvContainerCreator(const CTlvContainerCreator&) = delete;
    CTlvContainerCreator& operator=(const CTlvContainerCreator&) = delete;

    // The first u32 of the buffer; 0 while it is empty.
    virtual uint32_t GetContainerTag() const;

    // Starts over with an empty container of this tag.
    bool Begin(uint32_t tag);
    // Appends a record (header, payload, fill) and updates the container
    // length; starts a container with GetContainerTag() when none is begun.
    // False when memory runs out or the container would pass 4 GiB; the
    // buffer is then unchanged.
    bool AddRecord(uint32_t type, const void* payload, uint32_t length);

    const uint8_t* Data() const { return m_Buffer.Data(); }
    uint32_t Size() const { return uint32_t(m_Buffer.Size()); }

protected:
    ByteVector m_Buffer;
};

class CMocfCreator : public CTlvContainerCreator {
public:
    uint32_t GetContainerTag() const override;

    bool AddHeaderRecord(const void* payload, uint32_t length);
    // A digest record of 20 zero bytes, filled in by Seal().
    bool AddDigestRecord();
    // Object table: count, then the ids.
    bool AddObjectTable(const uint32_t* ids, uint32_t count);
    bool AddObject(uint32_t type, const void* payload, uint32_t length);

    // Writes the SHA-1 of the container into its digest record. True also
    // when there is no digest record; false when the records do not fill
    // the container.
    bool Seal();
};
