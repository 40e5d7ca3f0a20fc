#include "files/LibFileHelper.h"

#include "log/Log.h"
#include "platform/Platform.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>

LibFileHelper::LibFileHelper(Log* logIn) : RefCounted("LibFileHelper::LibFileHelper"), log(Retain(logIn ? logIn : new Log()))
{
}

LibFileHelper::~LibFileHelper()
{
    Release(log);
    CheckRefZero(this);
}

FILE* LibFileHelper::OpenFile(const wchar_t* name)
{
    errno = 0;
    FILE* file = platform::OpenFileRead(name, "rb");
    if (file)
        return file;
    int error = errno ? errno : EINVAL;
    std::string text = strerror(error);
    if (text.size() > 1023)
        text.resize(1023);
    LogPrint(log, LOG_ERROR, L"Cannot open file: %s: %hs\n", name, text.c_str());
    return nullptr;
}

int32_t LibFileHelper::LoadBin(FILE* file, uint8_t** buffer, uint32_t* size)
{
    if (size)
        *size = 0;
    if (!buffer) {
        LogPrint(log, LOG_ERROR, L"Load @ NULL is illegal %s:%s:%s\n", L"LibFileHelper.cpp", L"LibFileHelper::LoadBin",
                 L"201");
        return -1;
    }
    *buffer = nullptr;
    if (!file) {
        LogPrint(log, LOG_ERROR, L"Cannot read: %d bytes\n", -1);
        return -1;
    }
    // A stream without a position (a pipe) or one too large for a 32-bit
    // size cannot be loaded whole; saying so beats a wrong length.
    long end = -1;
    if (fseek(file, 0, SEEK_END) == 0)
        end = ftell(file);
    if (end < 0 || static_cast<unsigned long long>(end) > 0x7FFFFFFFull || fseek(file, 0, SEEK_SET) != 0) {
        LogPrint(log, LOG_ERROR, L"Cannot read: %d bytes\n", -1);
        return -1;
    }
    uint32_t length = static_cast<uint32_t>(end);
    // A firmware file is megabytes: large pages make reading it in cheap.
    // A 0-byte file still loads (0 bytes still give a buffer).
    auto* data = static_cast<uint8_t*>(platform::AllocateLarge(length));
    if (!data) {
        LogPrint(log, LOG_ERROR, L"No memory for %d bytes\n", static_cast<int>(length));
        return -1;
    }
    if (fread(data, 1, length, file) != length) {
        LogPrint(log, LOG_ERROR, L"Cannot read: %d bytes\n", static_cast<int>(length));
        free(data);
        return -1;
    }
    *buffer = data;
    if (size)
        *size = length;
    return 0;
}
