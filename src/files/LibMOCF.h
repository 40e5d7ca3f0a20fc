// One loaded firmware file: an MOCF container or a single image, kept as
// object nodes.
//
// A container is enumerated as: the container itself, its header, digest
// and table records (each only when present), then every other record in
// file order. A single image is one node holding the whole file.
#pragma once

#include "log/RefCounted.h"

#include <cstdint>
#include <cstdio>
#include <string>

class Log;
class LibFileHelper;

// A node of a loaded file. data holds size bytes: the record's type and
// payload length (little-endian), then its payload without fill.
struct MocfObject {
    uint64_t type;
    uint64_t size;        // payload length + 8
    uint8_t* data;
    char* name;           // "Dummy" for container records, the file name for a single image
    MocfObject* next;
    MocfObject* child;
};

// Frees a node with its child chain and its next chain.
void FreeMocfObject(MocfObject* object);

enum : int32_t {
    MOCF_KIND_NONE = -1,
    MOCF_KIND_CONTAINER = 'P',
    MOCF_KIND_SINGLE = 'S',
};

enum : uint32_t {
    MOCF_MIN_FILE = 64,
    MOCF_MAX_FILE = 0x1000000,
    MOCF_HEADER_SIZE = 256,   // kiro application header at the start of every image
};

// Object types that carry a kiro application header and are accepted as
// single-image files.
bool IsMocfImageType(uint32_t type);

class LibMOCF : public RefCounted {
public:
    LibMOCF(LibFileHelper* fileTool, Log* log);
    ~LibMOCF();
    LibMOCF(const LibMOCF&) = delete;
    LibMOCF& operator=(const LibMOCF&) = delete;

    void Clear();
    // 0 loaded, or also 0 when the file cannot be opened (kind stays -1);
    // negative when the file is refused.
    int32_t LoadFile(const wchar_t* name);
    // 0 loaded, negative refused.
    int32_t LoadStream(FILE* file);
    // Imports an image held in memory: 0 imported, -1 refused. size 0 takes
    // the size from the length field (length + 8); the image must then hold
    // that many bytes.
    int32_t ParseImage(const uint8_t* image, uint32_t size);
    int32_t ImportContainer(const uint8_t* image, uint32_t size);
    int32_t ImportSingleImage(const uint8_t* image, uint32_t size);

    int32_t ObjectCount();
    // Null past the end. Asking in increasing order costs one step each.
    MocfObject* ObjectAt(int32_t index);

    std::wstring fileName;    // shown in messages
    int32_t nesting = 0;
    int32_t kind = MOCF_KIND_NONE;
    MocfObject* container = nullptr;
    MocfObject* header = nullptr;
    MocfObject* digest = nullptr;
    MocfObject* table = nullptr;
    MocfObject* objects = nullptr;
    LibFileHelper* fileTool;
    Log* log;

private:
    // ParseImage; a container import frees *owned (the loaded file image)
    // once the reader has its own copy.
    int32_t Parse(const uint8_t* image, uint32_t size, uint8_t** owned);
    int32_t ImportContainer(const uint8_t* image, uint32_t size, uint8_t** owned);
    void FreeNodes();
    void ForgetCursor() { cursorIndex = -1, cursorNode = nullptr; }
    void EndLoad(int32_t result);
    void FileNode(MocfObject* node, MocfObject**& tail);

    // The object-list node ObjectAt answered last, and its position there.
    // The nodes are LibMOCF's own: only its operations change the lists.
    int32_t cursorIndex = -1;
    MocfObject* cursorNode = nullptr;
};
