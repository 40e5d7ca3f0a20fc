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

    Log* log;
};
