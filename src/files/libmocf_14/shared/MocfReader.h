// One imported container: a private copy of it, validated, handing out its
// records by index. Refusals leave a last-message text behind.
#pragma once

#include "files/libmocf_14/shared/ByteVector.h"
#include "files/libmocf_14/shared/TlvContainerCreator.h"
#include "files/libmocf_14/shared/TlvContainerParser.h"

#include <cstdint>

class TlvContainerStore {
public:
    uint64_t m_Reserved = 0;
    CTlvContainerCreator m_TlvCreator;
    CMocfCreator m_MocfCreator;
    ByteVector m_Container;   // the copy every lookup works on
    ByteVector m_Spare;       // only ever emptied
};

// Where a failed validation announces itself ("Invalid MOCF data!\n"); the
// standard output unless a program installs its own writer. Returns the
// previous writer; null restores the standard output.
using MocfConsoleWriter = void (*)(const char* text);
MocfConsoleWriter SetMocfConsoleWriter(MocfConsoleWriter writer);

class MocfReader {
public:
    MocfReader();
    ~MocfReader();
    MocfReader(const MocfReader&) = delete;
    MocfReader& operator=(const MocfReader&) = delete;

    // Copies the image and validates it: 0 valid, -1 not.
    int32_t Init(const void* image, uint32_t size);
    // Index 0 is the container itself (tag, length field, all records as
    // payload); index k >= 1 is the k-th record. A record with an empty
    // payload, or one that does not lie inside the container, is not found.
    // 0, or -1 when not found.
    int32_t GetObjectRecord(uint32_t index, uint32_t* type, uint32_t* length, const uint8_t** payload);

    const char* LastMessage() const { return m_LastMessage; }

private:
    void SetMessage(const char* format, ...);
    bool Lookup(uint32_t index, TlvObjectFind& cursor);

    char m_LastMessage[1000];
    TlvContainerStore* m_pStore;
    // Where the last record lookup ended, so that asking for the records in
    // order costs one step each instead of a walk from the start.
    uint32_t m_CursorIndex = 0;
    TlvObjectFind m_Cursor{nullptr, 0};
};
