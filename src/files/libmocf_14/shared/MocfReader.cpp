#include "files/libmocf_14/shared/MocfReader.h"

#include "files/libmocf_14/shared/MocfParser.h"

#include <cstdarg>
#include <cstdio>
#include <new>
#include <stdexcept>

namespace {

void StandardOutputWriter(const char* text)
{
    fputs(text, stdout);
    fflush(stdout);
}

MocfConsoleWriter g_consoleWriter = StandardOutputWriter;

const char kNoStore[] = "Failed to initialize MOCF data.\n";

} // namespace

MocfConsoleWriter SetMocfConsoleWriter(MocfConsoleWriter writer)
{
    MocfConsoleWriter previous = g_consoleWriter;
    g_consoleWriter = writer ? writer : StandardOutputWriter;
    return previous;
}

MocfReader::MocfReader() : m_LastMessage{}, m_pStore(new (std::nothrow) TlvContainerStore) {}

MocfReader::~MocfReader()
{
    if (m_pStore) {
        m_pStore->m_Container.Clear();
        m_pStore->m_Spare.Clear();
        delete m_pStore;
    }
}

void MocfReader::SetMessage(const char* format, ...)
{
    va_list args;
    va_start(args, format);
    vsnprintf(m_LastMessage, sizeof m_LastMessage, format, args);
    va_end(args);
}

int32_t MocfReader::Init(const void* image, uint32_t size)
{
    m_CursorIndex = 0;
    if (!m_pStore || (size && !image)) {
        SetMessage(kNoStore);
        return -1;
    }
    ByteVector& copy = m_pStore->m_Container;
    copy.Clear();
    m_pStore->m_Spare.Clear();
    try {
        copy.Reserve(size);
        copy.Append(image, size);
    } catch (const std::exception&) {
        copy.Release();
        SetMessage(kNoStore);
        return -1;
    }

    CMocfParser parser(copy.Data(), uint32_t(copy.Size()));
    if (parser.IsValid()) {
        SetMessage("Valid MOCF Data\n");
        return 0;
    }
    g_consoleWriter("Invalid MOCF data!\n");
    SetMessage("Invalid MOCF data!\n");
    return -1;
}

bool MocfReader::Lookup(uint32_t index, TlvObjectFind& cursor)
{
    const ByteVector& copy = m_pStore->m_Container;
    CTlvContainerParser parser(copy.Data(), uint32_t(copy.Size()));
    uint32_t at = 1;
    if (m_CursorIndex >= 1 && m_CursorIndex <= index) {
        cursor = m_Cursor;
        at = m_CursorIndex;
    } else if (!parser.FirstRecord(cursor)) {
        return false;
    }
    for (; at < index; ++at) {
        if (!parser.NextRecord(cursor)) {
            m_CursorIndex = 0;
            return false;
        }
    }
    m_CursorIndex = index;
    m_Cursor = cursor;
    return CTlvContainerParser::RecordLength(cursor.pRecord) != 0 && parser.PayloadInside(cursor.pRecord);
}

int32_t MocfReader::GetObjectRecord(uint32_t index, uint32_t* type, uint32_t* length, const uint8_t** payload)
{
    if (!m_pStore) {
        SetMessage(kNoStore);
        return -1;
    }
    const ByteVector& copy = m_pStore->m_Container;
    CTlvContainerParser parser(copy.Data(), uint32_t(copy.Size()));

    if (index == 0) {
        if (parser.ContainerLength() == 0 || !parser.ContainerInside()) {
            SetMessage("Object Record(%d) is not found\n", 0);
            return -1;
        }
        *type = parser.ContainerTag();
        *length = parser.ContainerLength();
        *payload = copy.Data() + 8;
        return 0;
    }

    TlvObjectFind cursor{nullptr, 0};
    if (!Lookup(index, cursor)) {
        if (index == 1)
            SetMessage("Object Record(%d) is not found\n", 1);
        else
            SetMessage("Object Record (%d) is not found\n", static_cast<int>(index));
        return -1;
    }
    *type = CTlvContainerParser::RecordType(cursor.pRecord);
    *length = CTlvContainerParser::RecordLength(cursor.pRecord);
    *payload = cursor.pRecord + 8;
    return 0;
}
