// Opens firmware files and loads them whole into memory.
#pragma once

#include "log/RefCounted.h"

#include <cstdint>
#include <cstdio>

class Log;

class LibFileHelper : public RefCounted {
public:
    explicit LibFileHelper(Log* log);
    ~LibFileHelper();
    LibFileHelper(const LibFileHelper&) = delete;
    LibFileHelper& operator=(const LibFileHelper&) = delete;

    // Opens the file for reading raw bytes ("rb", other writers kept out).
    // Null on failure, with the C runtime's text for the error logged.
    FILE* OpenFile(const wchar_t* name);

    // Reads the whole file into a malloc'ed buffer the caller frees. The
    // size pointer may be null. 0 loaded (a 0-byte file included), -1
    // failed with nothing handed out. Leaves the file at its end, open.
    int32_t LoadBin(FILE* file, uint8_t** buffer, uint32_t* size);

    Log* log;
};
