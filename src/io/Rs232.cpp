#include "io/Rs232.h"

#include "io/FlashIo.h"
#include "log/Log.h"
#include "platform/Platform.h"

#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <cwchar>

static_assert(sizeof(DCB) == 28 && sizeof(COMMTIMEOUTS) == 20 && sizeof(WIN32_232_SETTINGS) == 56,
              "the serial records keep their Win32 layout");
static_assert(offsetof(DCB, wReserved) == 12, "the DCB flag word follows BaudRate");

namespace {

Rs232Cookie* CookieOf(FlashIoDevice* io)
{
    return io ? static_cast<Rs232Cookie*>(io->cookie) : nullptr;
}

void FreeCookie(Rs232Cookie* cookie)
{
    free(cookie->deviceName);
    memset(cookie, 0, sizeof *cookie);
    free(cookie);
}

// The system's error text is logged as it comes. Windows ends it with a
// line break of its own, POSIX does not: the log line adds one only then.
const wchar_t* LineEndAfter(const wchar_t* text)
{
    size_t length = wcslen(text);
    return length > 0 && text[length - 1] == L'\n' ? L"" : L"\n";
}

const wchar_t* PortFileName(Rs232Cookie* cookie)
{
    return cookie->deviceName ? cookie->deviceName : cookie->portFileName;
}

// Opens and configures the port; every failing step has logged its text.
bool OpenAndConfigure(FlashIoDevice* io, Rs232Cookie* cookie, const wchar_t* fileName)
{
    if (!Rs232OpenPortFile(io, cookie, fileName))
        return false;
    cookie->openCount += 1;
    if (!Rs232CreateRxEvent(io, cookie))
        return false;
    const bool byNumber = cookie->deviceName == nullptr;
    if (byNumber && !Rs232BaudRateSupported(cookie->baudRate)) {
        IoLog(io, LOG_ERROR, L"Unsupported baudrate: %d\n", cookie->baudRate);
        return false;
    }
    if (!Rs232ApplyTimeouts(io, cookie))
        return false;
    if (byNumber)
        return Rs232ApplyCurrentState(io, cookie);
    if (!Rs232SetupQueues(io, cookie))
        return false;
    const DCB& dcb = cookie->settings.dcb;
    IoLog(io, LOG_INFO, L"OPEN: %s @ %d %d-%c-%hs\n", cookie->deviceName, static_cast<int>(dcb.BaudRate),
          static_cast<int>(dcb.ByteSize), Rs232ParityLetter(dcb.Parity), Rs232StopBitsText(dcb.StopBits));
    return Rs232ApplyHostState(io, cookie);
}

} // namespace

char Rs232ParityLetter(uint8_t parity)
{
    static const char letters[] = "NOEMS";
    return parity < 5 ? letters[parity] : '?';
}

const char* Rs232StopBitsText(uint8_t stopBits)
{
    return stopBits == 0 ? "1" : (stopBits == 1 || stopBits == 2) ? "2" : "?";
}

bool Rs232BaudRateSupported(int32_t baudRate)
{
    static constexpr int32_t rates[] = {300,   600,   1200,  2400,  4800,   9600,   14400,
                                        19200, 38400, 56000, 57600, 115200, 128000, 256000};
    for (int32_t rate : rates)
        if (rate == baudRate)
            return true;
    return false;
}

void Rs232ApplyCurrentParameters(DCB& dcb, uint32_t baudRate)
{
    // Flag word bits: off are CTS/DSR output flow, DSR sensitivity, XON/XOFF
    // both ways, null stripping, abort on error and the high halves of the
    // DTR and RTS controls; on are DTR_CONTROL_ENABLE and RTS_CONTROL_ENABLE.
    constexpr uint32_t kCleared = 0x6b6c;
    constexpr uint32_t kSet = 0x1010;
    dcb.BaudRate = baudRate;
    dcb.DCBlength = sizeof(DCB);
    auto* flagWord = reinterpret_cast<uint8_t*>(&dcb) + offsetof(DCB, BaudRate) + sizeof(dcb.BaudRate);
    uint32_t flags;
    memcpy(&flags, flagWord, sizeof flags);
    flags = (flags & ~kCleared) | kSet;
    memcpy(flagWord, &flags, sizeof flags);
    dcb.ByteSize = 8;
    dcb.Parity = NOPARITY;
    dcb.StopBits = ONESTOPBIT;
}

int32_t FlashIo::BL_FlashIo_Setup_WIN32_RS232(int32_t portNumber, int32_t baudRate)
{
    if (!io) {
        LogMsg(LOG_ERROR, L"No io pointer\n");
        return -1;
    }
    if (io->destroy)
        io->destroy(io);
    auto* cookie = static_cast<Rs232Cookie*>(calloc(1, sizeof(Rs232Cookie)));
    if (!cookie) {
        LogMsg(LOG_ERROR, L"No memory rs232 v1\n");
        return -1;
    }
    io->cookie = cookie;
    cookie->portNumber = portNumber;
    cookie->baudRate = baudRate;
    cookie->deviceName = nullptr;
    return rs232_setup(io) != 0 ? -3 : 0;
}

int32_t FlashIo::BL_FlashIo_Setup_WIN32_RS232_V2(const wchar_t* deviceName, const WIN32_232_SETTINGS* settings)
{
    if (!io) {
        LogMsg(LOG_ERROR, L"No io pointer\n");
        return -1;
    }
    if (io->destroy)
        io->destroy(io);
    if (!deviceName || !settings) {
        LogMsg(LOG_ERROR, L"Cannot open Device: %s\n", deviceName);
        return -3;
    }
    size_t size = (wcslen(deviceName) + 1) * sizeof(wchar_t);
    auto* name = static_cast<wchar_t*>(malloc(size));
    if (!name) {
        LogMsg(LOG_ERROR, L"No memory (init rs232 v2)\n");
        return -3;
    }
    memcpy(name, deviceName, size);
    auto* cookie = static_cast<Rs232Cookie*>(calloc(1, sizeof(Rs232Cookie)));
    if (!cookie) {
        LogMsg(LOG_ERROR, L"No memory rs232 v1\n");
        free(name);
        return -1;
    }
    io->cookie = cookie;
    cookie->portNumber = -1;
    cookie->baudRate = -1;
    cookie->deviceName = name;
    memcpy(&cookie->settings, settings, sizeof cookie->settings);
    return rs232_setup(io) != 0 ? -3 : 0;
}

int32_t rs232_setup(FlashIoDevice* io)
{
    Rs232Cookie* cookie = CookieOf(io);
    if (!cookie) {
        IoLog(io, LOG_ERROR, L"no memory for io structure\n");
        return -1;
    }
    cookie->portHandle = kNoPortHandle;
    cookie->rxEvent = kNoPortHandle;
    cookie->errorText[0] = 0;
    cookie->portFileName[0] = 0;
    cookie->openCount = 0;
    io->purge = rs232_purge;
    io->destroy = rs232_destroy;
    io->close = rs232_close;
    io->open = rs232_open;
    io->readBytes = rs232_read;
    io->writeBytes = rs232_write;
    if (rs232_open(io) != 0) {
        // The failed open has already released the block; purge stays, it
        // does nothing without one.
        ClearTransportSlots(io, true);
        return -1;
    }
    rs232_close(io);
    return 0;
}

int32_t rs232_open(FlashIoDevice* io)
{
    Rs232Cookie* cookie = CookieOf(io);
    if (!cookie) {
        IoLog(io, LOG_ERROR, L"No cookie: %s\n", L"open");
        return -1;
    }
    if (cookie->openCount != 0)
        return 0;
    cookie->portHandle = kNoPortHandle;
    cookie->rxEvent = kNoPortHandle;
    if (!cookie->deviceName)
        Rs232FormatPortFileName(cookie);
    const wchar_t* fileName = PortFileName(cookie);

    if (OpenAndConfigure(io, cookie, fileName)) {
        platform::SleepMs(50);
        if (io->purge)
            io->purge(io);
        IoLog(io, LOG_INFO, L"Open Success: %s, baudrate: %d\n", fileName, cookie->baudRate);
        return 0;
    }

    uint32_t code = Rs232LastError();
    const wchar_t* text = err2str(io);
    IoLog(io, LOG_ERROR, L"Error: (%s) 0x%08x %s%s", fileName, code, text, LineEndAfter(text));
    // Nothing can use the block after a failed open (every slot reports the
    // missing cookie until the next set-up), so it goes now rather than leak.
    Rs232ClosePort(cookie);
    io->cookie = nullptr;
    FreeCookie(cookie);
    return -1;
}

int32_t rs232_close(FlashIoDevice* io)
{
    Rs232Cookie* cookie = CookieOf(io);
    if (!cookie) {
        IoLog(io, LOG_ERROR, L"Win32 RS232 close - No cookie!\n");
        return -1;
    }
    if (cookie->openCount == 0)
        return 0;
    cookie->openCount = 0;
    IoLog(io, LOG_INFO, L"Close: UART\n");
    Rs232ClosePort(cookie);
    return 0;
}

void rs232_purge(FlashIoDevice* io)
{
    Rs232Cookie* cookie = CookieOf(io);
    if (cookie && cookie->portHandle != kNoPortHandle)
        Rs232PurgePort(cookie);
}

int32_t rs232_write(FlashIoDevice* io, const uint8_t* data, uint32_t length)
{
    Rs232Cookie* cookie = CookieOf(io);
    if (!cookie) {
        IoLog(io, LOG_ERROR, L"Win32 RS232 close - No cookie!\n");
        return -1;
    }
    if (cookie->portHandle == kNoPortHandle) {
        IoLog(io, LOG_ERROR, L"ERROR: write() - COMPORT - is closed (not open)\n");
        return -1;
    }
    uint32_t start = platform::TickCount();
    int32_t written = Rs232WritePort(cookie, data, length);
    if (written < 0) {
        IoLog(io, LOG_ERROR, L"Error Writing: %d bytes\n", static_cast<int>(length));
        IoLog(io, LOG_ERROR, L"Error Writing time: %d \n", static_cast<int>(platform::TickCount() - start));
        return -1;
    }
    return written;
}

int32_t rs232_read(FlashIoDevice* io, uint8_t* buffer, uint32_t length, uint32_t timeoutMs)
{
    if (buffer)
        memset(buffer, 0, length);
    Rs232Cookie* cookie = CookieOf(io);
    if (!cookie) {
        IoLog(io, LOG_ERROR, L"Win32 RS232 closed - No cookie!\n");
        return -1;
    }
    if (cookie->portHandle == kNoPortHandle) {
        IoLog(io, LOG_ERROR, L"COMPORT is closed\n");
        return -1;
    }
    if (length == 0 || !buffer)
        return 0;

    uint32_t start = platform::TickCount();
    uint32_t count = 0;
    for (;;) {
        uint8_t byte;
        int32_t got = Rs232ReadPortByte(cookie, &byte);
        if (got > 0) {
            // While bytes keep coming the deadline is not looked at.
            buffer[count++] = byte;
            if (count == length)
                return static_cast<int32_t>(count);
            continue;
        }
        if (got < 0) {
            // The device went away (adapter unplugged, pty closed): polling
            // on until the deadline would only hide it.
            uint32_t code = Rs232LastError();
            const wchar_t* text = err2str(io);
            IoLog(io, LOG_ERROR, L"Error Reading: (%s) 0x%08x %s%s", PortFileName(cookie), code, text,
                  LineEndAfter(text));
            return count > 0 ? static_cast<int32_t>(count) : -1;
        }
        if (platform::TimeUp(start, timeoutMs))
            break;
    }
    if (timeoutMs >= 2)
        IoLog(io, LOG_ERROR, L"Read  Timeout. Timeout at = %ld millisec\n",
              static_cast<long>(platform::TickCount() - start));
    return static_cast<int32_t>(count);
}

void rs232_destroy(FlashIoDevice* io)
{
    if (!io)
        return;
    Rs232Cookie* cookie = CookieOf(io);
    io->cookie = nullptr;
    if (cookie && cookie->openCount != 0) {
        IoLog(io, LOG_ERROR, L"FlashIo: Cleanup RS232 Missing close\n");
        cookie->openCount = 0;
        Rs232ClosePort(cookie);
    }
    ClearTransportSlots(io, true);
    if (cookie)
        FreeCookie(cookie);
}

void Rs232LogKeepingError(FlashIoDevice* io, const wchar_t* format, ...)
{
    uint32_t code = Rs232LastError();
    if (io && io->logFn) {
        va_list args;
        va_start(args, format);
        io->logFn(io->logContext, LOG_ERROR, format, args);
        va_end(args);
    }
    Rs232SetLastError(code);
}
