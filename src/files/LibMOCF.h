// One loaded firmware file: an MOCF container or a single image, kept as
// object nodes.
#pragma once

#include "log/RefCounted.h"

#include <cstdint>

class Log;
class LibFileHelper;

class LibMOCF : public RefCounted {
public:
    LibMOCF(LibFileHelper* fileTool, Log* log);
    ~LibMOCF();
    LibMOCF(const LibMOCF&) = delete;
    LibMOCF& operator=(const LibMOCF&) = delete;

    LibFileHelper* fileTool;
    Log* log;
};
