#include "io/FlashIo.h"

#include "io/UsbHid.h"
#include "log/Log.h"
#include "platform/Platform.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

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
        // Owners tear the transport down first; one still installed would
        // otherwise keep its port and block for good.
        if (io->destroy)
            io->destroy(io);
        if (io->m_hDeviceMutex) {
            LogMsg(LOG_INFO, L"Release m_hDeviceMutex in FlashIo: 0x%08x.\n",
                   static_cast<unsigned>(reinterpret_cast<uintptr_t>(io->m_hDeviceMutex)));
            platform::ReleaseNamedMutex(io->m_hDeviceMutex);
            platform::CloseNamedMutex(io->m_hDeviceMutex);
            io->m_hDeviceMutex = nullptr;
        }
        UsbForgetDevices(io);
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

int32_t FlashIo::OpenDevice()
{
    if (!io) {
        LogMsg(LOG_ERROR, L"No io pointer\n");
        return -1;
    }
    if (!io->open) {
        LogMsg(LOG_ERROR, L"No open function\n");
        return -1;
    }
    return io->open(io) == 0 ? 0 : -3;
}

int32_t FlashIo::CloseDevice()
{
    if (!io) {
        LogMsg(LOG_ERROR, L"No io pointer\n");
        return -1;
    }
    io->txCount = 0;
    if (!io->close)
        return -1;
    if (io->close(io) != 0)
        return -3;
    LogMsg(LOG_INFO, L"CloseDevice OK.\n");
    return 0;
}

int32_t FlashIo::WriteBytes(const uint8_t* data, uint64_t length)
{
    if (!io) {
        LogMsg(LOG_ERROR, L"No io pointer\n");
        return -1;
    }
    for (uint64_t i = 0; i < length; ++i) {
        // A full buffer that an earlier FlushTx could not send goes out
        // before anything more is added to it.
        if (io->txCount >= kTxBufferSize) {
            int32_t result = FlushTx();
            if (result != 0)
                return result;
        }
        io->txBuffer[io->txCount++] = data[i];
        if (io->txCount >= kTxBufferSize) {
            int32_t result = FlushTx();
            if (result != 0)
                return result;
        }
    }
    return 0;
}

int32_t FlashIo::WriteByte(uint8_t byte)
{
    return WriteBytes(&byte, 1);
}

// A transport that keeps accepting nothing would hold FlushTx forever; after
// this many empty writes in a row the transport counts as failed.
static constexpr int kMaxEmptyWrites = 100;

// After a failed send the bytes the transport did accept are on their way;
// only the rest stays queued, so a later FlushTx never sends a byte twice.
static int32_t KeepUnsent(FlashIoDevice* io, uint64_t sent)
{
    if (sent > 0) {
        uint64_t left = sent < io->txCount ? io->txCount - sent : 0;
        memmove(io->txBuffer, io->txBuffer + sent, left);
        io->txCount = left;
    }
    return -3;
}

int32_t FlashIo::FlushTx()
{
    if (!io) {
        LogMsg(LOG_ERROR, L"No io pointer\n");
        return -1;
    }
    if (!io->writeBytes) {
        io->txCount = 0;
        LogMsg(LOG_ERROR, L"No write bytes function\n");
        return -1;
    }
    uint64_t sent = 0;
    int emptyWrites = 0;
    while (sent < io->txCount) {
        int32_t accepted = io->writeBytes(io, io->txBuffer + sent, static_cast<uint32_t>(io->txCount - sent));
        if (accepted < 0)
            return KeepUnsent(io, sent);
        if (accepted == 0 && ++emptyWrites >= kMaxEmptyWrites) {
            LogMsg(LOG_ERROR, L"FlushTx: the transport accepts no data\n");
            return KeepUnsent(io, sent);
        }
        if (accepted > 0)
            emptyWrites = 0;
        sent += static_cast<uint64_t>(accepted);
    }
    io->txCount = 0;
    return 0;
}

int32_t FlashIo::FlushRx(int32_t pause)
{
    LogMsg(LOG_DETAIL, L"Flush any RX data(%d).\n", pause);
    if (io && io->purge)
        io->purge(io);
    uint32_t start = platform::TickCount();
    bool seen = false;
    for (;;) {
        if (platform::TimeUp(start, rxFlushTimeoutMs)) {
            LogMsg(LOG_ERROR, L"Flush any RX data, timeoutExpired (%d) msecs.\n", static_cast<int>(rxFlushTimeoutMs));
            return 0;
        }
        uint8_t scratch[100];
        int32_t result;
        if (!io) {
            LogMsg(LOG_ERROR, L"No io pointer\n");
            result = -1;
        } else if (!io->readBytes) {
            LogMsg(LOG_ERROR, L"No read bytes function\n");
            result = -1;
        } else {
            io->flushPoll = pause == 0;
            result = io->readBytes(io, scratch, sizeof scratch, 1);
            io->flushPoll = 0;
        }
        if (result == 0)
            break;
        seen = true;
        if (pause)
            platform::SleepMs(50);
        if (result < 0)
            break;
    }
    return seen ? 1 : 0;
}

void IoLog(FlashIoDevice* io, uint64_t level, const wchar_t* format, ...)
{
    if (!io || !io->logFn)
        return;
    va_list args;
    va_start(args, format);
    io->logFn(io->logContext, level, format, args);
    va_end(args);
}

static void HexDumpLine(FlashIoDevice* io, uint64_t level, uint64_t offset, const uint8_t* data, uint64_t count)
{
    static const char digits[] = "0123456789abcdef";
    char line[79];
    memset(line, ' ', 78);
    line[78] = 0;
    snprintf(line, 9, "%08x", static_cast<unsigned>(offset));
    line[8] = ':';
    line[9] = ' ';
    for (uint64_t i = 0; i < count; ++i) {
        line[10 + 3 * i] = digits[data[i] >> 4];
        line[11 + 3 * i] = digits[data[i] & 15];
        char shown = data[i] < 0x20 || data[i] >= 0x7F ? '.' : static_cast<char>(data[i]);
        line[(i < 8 ? 59 : 60) + i] = shown;
    }
    line[33] = '-';
    line[58] = '|';
    line[77] = '|';
    IoLog(io, level, L"%hs\n", line);
}

void HexDump(FlashIoDevice* io, uint64_t level, uint64_t offset, const uint8_t* data, uint64_t length)
{
    while (length > 16) {
        HexDumpLine(io, level, offset, data, 16);
        offset += 16;
        data += 16;
        length -= 16;
    }
    if (length > 0)
        HexDumpLine(io, level, offset, data, length);
}
