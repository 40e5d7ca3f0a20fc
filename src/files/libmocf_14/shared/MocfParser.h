// The MOCF flavour of the record container: tag "MOCF", a header record
// first, an optional SHA-1 digest record second, an optional object table.
#pragma once

#include "files/libmocf_14/shared/TlvContainerParser.h"
#include "files/libmocf_14/shared/sha1/sha1.h"

enum : uint32_t {
    MOCF_TAG = 0x46434f4d,          // "MOCF"
    MOCF_RECORD_HEADER = 0,
    MOCF_RECORD_DIGEST = 1,
    MOCF_RECORD_TABLE = 2,
};

class CMocfParser : public CTlvContainerParser {
public:
    CMocfParser() = default;
    CMocfParser(const void* container, uint32_t size) : CTlvContainerParser(container, size) {}

    virtual bool IsValid();
    // SHA-1 over the container header and every record except digest
    // records, fill bytes included. True only when the records fill the
    // container length exactly.
    bool ComputeDigest(uint8_t* digest);

    CSha1 m_Sha1;
};
