#include "files/LibElf.h"

#include "files/LibFileHelper.h"
#include "log/Log.h"

#include <cstdlib>

LibElf::LibElf(LibFileHelper* fileToolIn, Log* logIn) : RefCounted("LibElf::LibElf"), fileTool(nullptr), log(nullptr)
{
    log = Retain(logIn ? logIn : new Log());
    fileTool = Retain(fileToolIn ? fileToolIn : new LibFileHelper(log));
}

void LibElf::Clear()
{
    for (auto& buffer : buffers) {
        free(buffer);
        buffer = nullptr;
    }
    if (ownsImage)
        free(image);
    image = nullptr;
    ownsImage = false;
}

LibElf::~LibElf()
{
    Clear();
    for (auto& buffer : extra) {
        free(buffer);
        buffer = nullptr;
    }
    Release(fileTool);
    Release(log);
    CheckRefZero(this);
}
