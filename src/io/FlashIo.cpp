#include "io/FlashIo.h"

#include "log/Log.h"
#include "platform/Platform.h"

#include <cstdlib>

namespace {

void LogHook(void* context, uint64_t level, const wchar_t* format, va_list args)
{
    LogPrintV(static_cast<Log*>(context), level, format, args);
}

} // namespace

FlashIo::FlashIo(Log* logIn) : RefCounted("unknown")
{
    io = static_cast<FlashIoDevice*>(calloc(1, sizeof(FlashIoDevice)));
    log = Retain(logIn ? logIn : new Log());
    if (!io) {
        LogMsg(LOG_ERROR, L"No Memory\n");
        return;
    }
    io->logFn = LogHook;
    io->logContext = log;
}

FlashIo::~FlashIo()
{
    if (io) {
        if (io->m_hDeviceMutex) {
            LogMsg(LOG_INFO, L"Release m_hDeviceMutex in FlashIo: 0x%08x.\n",
                   static_cast<unsigned>(reinterpret_cast<uintptr_t>(io->m_hDeviceMutex)));
            platform::ReleaseNamedMutex(io->m_hDeviceMutex);
            platform::CloseNamedMutex(io->m_hDeviceMutex);
            io->m_hDeviceMutex = nullptr;
        }
        free(io);
        io = nullptr;
    }
    Release(log);
    CheckRefZero(this);
}

void FlashIo::LogMsg(uint64_t level, const wchar_t* format, ...)
{
    va_list args;
    va_start(args, format);
    LogPrintV(log, level, format, args);
    va_end(args);
}
