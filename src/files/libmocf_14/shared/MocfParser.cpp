#include "files/libmocf_14/shared/MocfParser.h"

#include <cstring>

bool CMocfParser::IsValid()
{
    if (!m_pTlvContainer || ContainerTag() != MOCF_TAG)
        return false;
    // Nothing below may look past the buffer, whatever the length says.
    if (!ContainerInside())
        return false;

    const uint8_t* record = nullptr;
    uint32_t position = 0;
    if (!FindRecord(MOCF_RECORD_HEADER, &record, &position) || position != 1)
        return false;
    if (RecordLength(record) < 1 || !PayloadInside(record) || record[8] != 0)
        return false;

    if (FindRecord(MOCF_RECORD_DIGEST, &record, &position)) {
        if (position != 2 || RecordLength(record) != SHA1HashSize || !PayloadInside(record))
            return false;
        uint8_t digest[SHA1HashSize];
        if (!ComputeDigest(digest) || memcmp(digest, record + 8, SHA1HashSize) != 0)
            return false;
    }

    if (FindRecord(MOCF_RECORD_TABLE, &record, &position)) {
        uint32_t length = RecordLength(record);
        if (length < 4 || !PayloadInside(record))
            return false;
        if (uint64_t(length) != 4 * (uint64_t(ReadLe32(record + 8)) + 1))
            return false;
    }

    // Without a digest the length field is not checked against the records;
    // still, no record may claim bytes beyond the container.
    TlvObjectFind cursor;
    for (bool more = FirstRecord(cursor); more; more = NextRecord(cursor))
        if (!PayloadInside(cursor.pRecord))
            return false;
    return true;
}

bool CMocfParser::ComputeDigest(uint8_t* digest)
{
    if (!m_pTlvContainer || m_ContainerSize < 8)
        return false;
    m_Sha1.Reset();
    m_Sha1.Input(m_pTlvContainer, 8);

    int64_t remaining = static_cast<int32_t>(ContainerLength());
    uint64_t offset = 8;
    while (remaining > 0) {
        // A record that does not fit the bytes left ends the walk short:
        // hashing it would read past the container.
        if (offset + 8 > m_ContainerSize)
            break;
        const uint8_t* record = m_pTlvContainer + offset;
        uint64_t step = RecordStep(record);
        if (int64_t(step) > remaining || offset + step > m_ContainerSize)
            break;
        if (RecordType(record) != MOCF_RECORD_DIGEST)
            m_Sha1.Input(record, uint32_t(step));
        remaining -= int64_t(step);
        offset += step;
    }
    m_Sha1.Result(digest);
    return remaining == 0;
}
