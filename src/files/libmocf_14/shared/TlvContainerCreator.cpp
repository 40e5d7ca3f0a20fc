#include "files/libmocf_14/shared/TlvContainerCreator.h"

#include "files/libmocf_14/shared/MocfParser.h"

#include <cstring>
#include <new>
#include <stdexcept>
#include <vector>

uint32_t CTlvContainerCreator::GetContainerTag() const
{
    return m_Buffer.Size() >= 4 ? ReadLe32(m_Buffer.Data()) : 0;
}

bool CTlvContainerCreator::Begin(uint32_t tag)
{
    uint8_t header[8];
    WriteLe32(header, tag);
    WriteLe32(header + 4, 0);
    m_Buffer.Clear();
    try {
        m_Buffer.Append(header, sizeof header);
    } catch (const std::exception&) {
        return false;
    }
    return true;
}

bool CTlvContainerCreator::AddRecord(uint32_t type, const void* payload, uint32_t length)
{
    if (length && !payload)
        return false;
    if (m_Buffer.Size() < 8 && !Begin(GetContainerTag()))
        return false;
    uint32_t fill = (4 - length % 4) % 4;
    uint64_t grown = uint64_t(m_Buffer.Size()) + 8 + length + fill;
    if (grown > 0xFFFFFFFFull)
        return false;
    uint8_t header[8];
    WriteLe32(header, type);
    WriteLe32(header + 4, length);
    try {
        m_Buffer.Reserve(size_t(grown));
        m_Buffer.Append(header, sizeof header);
        m_Buffer.Append(payload, length);
        m_Buffer.AppendZeros(fill);
    } catch (const std::exception&) {
        // Only Reserve can throw, so nothing was appended.
        return false;
    }
    WriteLe32(m_Buffer.Data() + 4, uint32_t(m_Buffer.Size() - 8));
    return true;
}

uint32_t CMocfCreator::GetContainerTag() const
{
    return MOCF_TAG;
}

bool CMocfCreator::AddHeaderRecord(const void* payload, uint32_t length)
{
    return AddRecord(MOCF_RECORD_HEADER, payload, length);
}

bool CMocfCreator::AddDigestRecord()
{
    uint8_t zeros[SHA1HashSize] = {};
    return AddRecord(MOCF_RECORD_DIGEST, zeros, sizeof zeros);
}

bool CMocfCreator::AddObjectTable(const uint32_t* ids, uint32_t count)
{
    if (count && !ids)
        return false;
    if (count > (0xFFFFFFFFu - 4) / 4)
        return false;
    std::vector<uint8_t> payload;
    try {
        payload.resize(4 * (size_t(count) + 1));
    } catch (const std::exception&) {
        return false;
    }
    WriteLe32(payload.data(), count);
    for (uint32_t i = 0; i < count; ++i)
        WriteLe32(payload.data() + 4 * (i + 1), ids[i]);
    return AddRecord(MOCF_RECORD_TABLE, payload.data(), uint32_t(payload.size()));
}

bool CMocfCreator::AddObject(uint32_t type, const void* payload, uint32_t length)
{
    return AddRecord(type, payload, length);
}

bool CMocfCreator::Seal()
{
    CMocfParser parser(m_Buffer.Data(), uint32_t(m_Buffer.Size()));
    if (m_Buffer.Size() < 16)
        return false;
    const uint8_t* record = nullptr;
    uint32_t position = 0;
    if (!parser.FindRecord(MOCF_RECORD_DIGEST, &record, &position))
        return true;
    uint8_t digest[SHA1HashSize];
    if (CTlvContainerParser::RecordLength(record) != SHA1HashSize || !parser.ComputeDigest(digest))
        return false;
    memcpy(m_Buffer.Data() + (record - m_Buffer.Data()) + 8, digest, sizeof digest);
    return true;
}
