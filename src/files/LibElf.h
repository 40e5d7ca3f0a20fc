// Companion of the engine that carries buffer slots for an ELF image; the
// library has no ELF loading of its own.
#pragma once

#include "log/RefCounted.h"

#include <cstdint>

class Log;
class LibFileHelper;

class LibElf : public RefCounted {
public:
    LibElf(LibFileHelper* fileTool, Log* log);
    ~LibElf();
    LibElf(const LibElf&) = delete;
    LibElf& operator=(const LibElf&) = delete;

    void Clear();

    void* buffers[4] = {};
    LibFileHelper* fileTool;
    Log* log;
    void* image = nullptr;
    bool ownsImage = false;
    void* extra[4] = {};
};
