#include "files/LibMOCF.h"

#include "files/LibFileHelper.h"
#include "files/libmocf_14/shared/MocfParser.h"
#include "files/libmocf_14/shared/MocfReader.h"
#include "log/Log.h"
#include "platform/Platform.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <new>

namespace {

constexpr uint32_t kImageTypes[] = {
    0x0A000000, 0x0A000001, 0x0A000002, 0x0A000003, 0x0A000004, 0x0A000005, 0x0A000006,
    0x0A000007, 0x0A001000, 0x0A001001, 0x0B400000, 0x0B400001, 0x4833474a,
};

char Printable(uint8_t byte)
{
    return byte >= 0x20 && byte <= 0x7E ? char(byte) : '.';
}

// Builds a node holding the record header and a copy of the payload; null
// when memory runs out.
MocfObject* MakeNode(uint32_t type, uint32_t length, const uint8_t* payload, const char* name, size_t nameLength)
{
    auto* node = static_cast<MocfObject*>(calloc(1, sizeof(MocfObject)));
    if (!node)
        return nullptr;
    node->type = type;
    node->size = uint64_t(length) + 8;
    node->name = static_cast<char*>(malloc(nameLength + 1));
    node->data = static_cast<uint8_t*>(platform::AllocateLarge(size_t(node->size)));
    if (!node->name || !node->data) {
        FreeMocfObject(node);
        return nullptr;
    }
    memcpy(node->name, name, nameLength);
    node->name[nameLength] = 0;
    WriteLe32(node->data, type);
    WriteLe32(node->data + 4, length);
    if (length)
        memcpy(node->data + 8, payload, length);
    return node;
}

} // namespace

bool IsMocfImageType(uint32_t type)
{
    for (uint32_t known : kImageTypes)
        if (type == known)
            return true;
    return false;
}

void FreeMocfObject(MocfObject* object)
{
    // Iterative along next: a container of many small records makes long
    // chains, too long for one stack frame per node.
    while (object) {
        MocfObject* next = object->next;
        FreeMocfObject(object->child);
        free(object->data);
        free(object->name);
        free(object);
        object = next;
    }
}

LibMOCF::LibMOCF(LibFileHelper* fileToolIn, Log* logIn) : RefCounted("LibMOCF::LibMOCF"), fileTool(nullptr), log(nullptr)
{
    log = Retain(logIn ? logIn : new Log());
    fileTool = Retain(fileToolIn ? fileToolIn : new LibFileHelper(log));
}

LibMOCF::~LibMOCF()
{
    nesting = 0;
    kind = MOCF_KIND_NONE;
    fileName.clear();
    FreeNodes();
    Release(log);
    Release(fileTool);
    CheckRefZero(this);
}

void LibMOCF::FreeNodes()
{
    ForgetCursor();
    for (MocfObject** slot : {&container, &header, &digest, &table, &objects}) {
        FreeMocfObject(*slot);
        *slot = nullptr;
    }
}

void LibMOCF::Clear()
{
    kind = MOCF_KIND_NONE;
    if (nesting == 0)
        fileName.clear();
    FreeNodes();
}

void LibMOCF::EndLoad(int32_t result)
{
    --nesting;
    if (nesting == 0 && result != 0)
        fileName.clear();
}

int32_t LibMOCF::LoadFile(const wchar_t* name)
{
    Clear();
    if (++nesting == 1)
        fileName = name ? name : L"";
    int32_t result = 0;
    if (FILE* file = fileTool->OpenFile(name)) {
        result = LoadStream(file);
        fclose(file);
    }
    EndLoad(result);
    return result;
}

int32_t LibMOCF::LoadStream(FILE* file)
{
    int32_t result = -1;
    Clear();
    if (++nesting == 1)
        fileName = L"<filepointer>";
    uint8_t* image = nullptr;
    uint32_t size = 0;
    if (fileTool->LoadBin(file, &image, &size) != 0) {
        EndLoad(result);
        return result;
    }
    if (size < MOCF_MIN_FILE) {
        LogPrint(log, LOG_ERROR, L"%s: Not an MOCF File (too short)\n", fileName.c_str());
        Clear();
    } else if (ReadLe32(image + 4) + 8 != size) {
        LogPrint(log, LOG_ERROR, L"%s: Wrong length, file: %d, tag+8: %d\n", fileName.c_str(), static_cast<int>(size),
                 static_cast<int>(ReadLe32(image + 4) + 8));
        Clear();
    } else {
        result = Parse(image, size, &image);
    }
    EndLoad(result);
    free(image);
    return result;
}

int32_t LibMOCF::ParseImage(const uint8_t* image, uint32_t size)
{
    return Parse(image, size, nullptr);
}

int32_t LibMOCF::Parse(const uint8_t* image, uint32_t size, uint8_t** owned)
{
    // One file at a time: nodes of an earlier import never mix with these.
    Clear();
    // Without a size the length field tells it: the bytes that follow it,
    // so the image is 8 bytes longer.
    if (image && size == 0)
        size = uint32_t(std::min<uint64_t>(uint64_t(ReadLe32(image + 4)) + 8, 0xFFFFFFFFu));
    if (!image || size < MOCF_MIN_FILE || size > MOCF_MAX_FILE) {
        LogPrint(log, LOG_ERROR, L"%s: Invalid length: %ud, 0x%08x\n", fileName.c_str(), size, size);
        Clear();
        return -1;
    }
    uint32_t tag = ReadLe32(image);
    int32_t result;
    if (tag == MOCF_TAG) {
        result = ImportContainer(image, size, owned);
    } else if (IsMocfImageType(tag)) {
        result = ImportSingleImage(image, size);
    } else {
        LogPrint(log, LOG_ERROR, L"%s: Not a supported mocf file: 0x%08x (%c%c%c%c)\n", fileName.c_str(), tag,
                 Printable(image[0]), Printable(image[1]), Printable(image[2]), Printable(image[3]));
        return -1;
    }
    if (result != 0)
        Clear();
    return result;
}

void LibMOCF::FileNode(MocfObject* node, MocfObject**& tail)
{
    MocfObject** slot = nullptr;
    switch (node->type) {
    case MOCF_RECORD_HEADER: slot = &header; break;
    case MOCF_RECORD_DIGEST: slot = &digest; break;
    case MOCF_RECORD_TABLE: slot = &table; break;
    case MOCF_TAG: slot = &container; break;
    default:
        *tail = node;
        tail = &node->next;
        return;
    }
    FreeMocfObject(*slot);
    *slot = node;
}

int32_t LibMOCF::ImportContainer(const uint8_t* image, uint32_t size)
{
    return ImportContainer(image, size, nullptr);
}

int32_t LibMOCF::ImportContainer(const uint8_t* image, uint32_t size, uint8_t** owned)
{
    auto* reader = new (std::nothrow) MocfReader;
    if (!reader)
        return -1;
    kind = MOCF_KIND_CONTAINER;
    if (reader->Init(image, size) != 0) {
        LogPrint(log, LOG_ERROR, L"Failure copying raw MOCF data %hs", reader->LastMessage());
        delete reader;
        return -1;
    }
    // The nodes are made from the reader's copy: a loaded file image goes
    // now, so that a 16 MiB file never has more than three copies at once.
    if (owned) {
        free(*owned);
        *owned = nullptr;
    }
    MocfObject** tail = &objects;
    while (*tail)
        tail = &(*tail)->next;
    for (uint32_t index = 0;; ++index) {
        uint32_t type = 0, length = 0;
        const uint8_t* payload = nullptr;
        if (reader->GetObjectRecord(index, &type, &length, &payload) != 0)
            break;
        MocfObject* node = MakeNode(type, length, payload, "Dummy", 5);
        if (!node)
            break;   // keep what was imported so far
        FileNode(node, tail);
    }
    delete reader;
    return 0;
}

int32_t LibMOCF::ImportSingleImage(const uint8_t* image, uint32_t size)
{
    uint32_t length = ReadLe32(image + 4);
    // The node copies length + 8 bytes; they must all be in the image.
    if (uint64_t(length) + 8 > size) {
        LogPrint(log, LOG_ERROR, L"%s: Wrong length, file: %d, tag+8: %d\n", fileName.c_str(), static_cast<int>(size),
                 static_cast<int>(length + 8));
        return -1;
    }
    std::string name;
    for (size_t i = 0; i < fileName.size() && i < 1023; ++i)
        name += char(static_cast<uint8_t>(fileName[i]));
    MocfObject* node = MakeNode(ReadLe32(image), length, image + 8, name.data(), name.size());
    if (!node)
        return -1;
    FreeMocfObject(objects);
    ForgetCursor();
    objects = node;
    kind = MOCF_KIND_SINGLE;
    return 0;
}

int32_t LibMOCF::ObjectCount()
{
    switch (kind) {
    case MOCF_KIND_CONTAINER: {
        int32_t count = 0;
        for (MocfObject* slot : {container, header, digest, table})
            count += slot ? 1 : 0;
        for (MocfObject* node = objects; node; node = node->next)
            ++count;
        return count;
    }
    case MOCF_KIND_SINGLE:
        return 1;
    case MOCF_KIND_NONE:
        return 0;
    default:
        LogPrint(log, 0, L"MOCF type unknown: %d\n", kind);
        return 0;
    }
}

MocfObject* LibMOCF::ObjectAt(int32_t index)
{
    if (index < 0)
        return nullptr;
    for (MocfObject* slot : {container, header, digest, table}) {
        if (!slot)
            continue;
        if (index-- == 0)
            return slot;
    }
    // The callers walk every object by index; starting each lookup at the
    // head would make that quadratic in the number of records.
    int32_t at = 0;
    MocfObject* node = objects;
    if (cursorNode && cursorIndex <= index) {
        at = cursorIndex;
        node = cursorNode;
    }
    for (; node && at < index; ++at)
        node = node->next;
    if (!node)
        return nullptr;
    cursorIndex = at;
    cursorNode = node;
    return node;
}
