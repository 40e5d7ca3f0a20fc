#include "files/libmocf_14/shared/TlvContainerParser.h"

#include <cassert>

CTlvContainerParser::CTlvContainerParser() : m_pTlvContainer(nullptr), m_ObjectFind{nullptr, 0}, m_ContainerSize(0) {}

CTlvContainerParser::CTlvContainerParser(const void* container, uint32_t size) : CTlvContainerParser()
{
    SetContainer(container, size);
}

void CTlvContainerParser::SetContainer(const void* container, uint32_t size)
{
    m_pTlvContainer = static_cast<const uint8_t*>(container);
    m_ContainerSize = container ? size : 0;
    m_ObjectFind = {nullptr, 0};
}

uint32_t CTlvContainerParser::ContainerTag() const
{
    return m_pTlvContainer && m_ContainerSize >= 4 ? ReadLe32(m_pTlvContainer) : 0;
}

uint32_t CTlvContainerParser::ContainerLength() const
{
    return m_pTlvContainer && m_ContainerSize >= 8 ? ReadLe32(m_pTlvContainer + 4) : 0;
}

bool CTlvContainerParser::ContainerInside() const
{
    return m_pTlvContainer && m_ContainerSize >= 8 && 8 + uint64_t(ContainerLength()) <= m_ContainerSize;
}

uint64_t CTlvContainerParser::ContainerEnd() const
{
    uint64_t end = 8 + uint64_t(ContainerLength());
    return end < m_ContainerSize ? end : m_ContainerSize;
}

uint32_t CTlvContainerParser::RecordType(const uint8_t* record)
{
    return ReadLe32(record);
}

uint32_t CTlvContainerParser::RecordLength(const uint8_t* record)
{
    return ReadLe32(record + 4);
}

uint64_t CTlvContainerParser::RecordStep(const uint8_t* record)
{
    // 64-bit, so a length near 2^32 cannot wrap to a short or zero step.
    return ((uint64_t(RecordLength(record)) + 3) & ~uint64_t(3)) + 8;
}

bool CTlvContainerParser::FirstRecord(TlvObjectFind& cursor) const
{
    if (!m_pTlvContainer || m_ContainerSize < 16)
        return false;
    cursor.pRecord = m_pTlvContainer + 8;
    cursor.remaining = static_cast<int32_t>(ContainerLength());
    return true;
}

bool CTlvContainerParser::NextRecord(TlvObjectFind& cursor) const
{
    uint64_t step = RecordStep(cursor.pRecord);
    if (int64_t(cursor.remaining) <= int64_t(step))
        return false;
    // A record whose header would leave the container or the buffer is
    // no record: the walk ends there instead of reading past the end.
    uint64_t next = uint64_t(cursor.pRecord - m_pTlvContainer) + step;
    if (next + 8 > ContainerEnd() || cursor.remaining - int64_t(step) < 8)
        return false;
    cursor.remaining = int32_t(cursor.remaining - int64_t(step));
    cursor.pRecord = m_pTlvContainer + next;
    return true;
}

bool CTlvContainerParser::RecordAt(uint32_t position, TlvObjectFind& cursor) const
{
    if (position < 1 || !FirstRecord(cursor))
        return false;
    for (uint32_t at = 1; at < position; ++at)
        if (!NextRecord(cursor))
            return false;
    return true;
}

bool CTlvContainerParser::PayloadInside(const uint8_t* record) const
{
    uint64_t offset = uint64_t(record - m_pTlvContainer);
    return offset + 8 + uint64_t(RecordLength(record)) <= ContainerEnd();
}

bool CTlvContainerParser::FindRecord(uint32_t type, const uint8_t** record, uint32_t* position)
{
    assert(m_pTlvContainer);
    TlvObjectFind saved = m_ObjectFind;
    bool found = false;
    if (FirstRecord(m_ObjectFind)) {
        for (uint32_t at = 1;; ++at) {
            assert(m_ObjectFind.pRecord);
            if (RecordType(m_ObjectFind.pRecord) == type) {
                if (record)
                    *record = m_ObjectFind.pRecord;
                if (position)
                    *position = at;
                found = true;
                break;
            }
            if (!NextRecord(m_ObjectFind))
                break;
        }
    }
    m_ObjectFind = saved;
    return found;
}
