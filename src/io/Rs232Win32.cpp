// The serial transport's system calls on Windows: the communications API,
// synchronous I/O, the timeouts set so that an idle one-byte read returns
// after about a millisecond.
#include "io/Rs232.h"

#include "io/FlashIo.h"
#include "log/Log.h"
#include "platform/Platform.h"

#include <windows.h>

#include <cstring>
#include <string>

namespace {

HANDLE PortHandle(const Rs232Cookie* cookie)
{
    return reinterpret_cast<HANDLE>(cookie->portHandle);
}

constexpr DWORD kPurgeAll = PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR;
constexpr DWORD kLanguageEnglish = 9;

} // namespace

const wchar_t* err2str(FlashIoDevice* io)
{
    auto* cookie = io ? static_cast<Rs232Cookie*>(io->cookie) : nullptr;
    if (!cookie) {
        IoLog(io, LOG_ERROR, L"No cookie: %s\n", L"err2str");
        return L"No cookie? win32 rs232";
    }
    DWORD code = GetLastError();
    wchar_t* message = nullptr;
    DWORD length = FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM, nullptr, code,
                                  kLanguageEnglish, reinterpret_cast<LPWSTR>(&message), 0, nullptr);
    if (length != 0 && message) {
        DWORD i = 0;
        for (; i < length && i < 1023; ++i)
            cookie->errorText[i] = message[i] > 256 ? L'?' : message[i];
        cookie->errorText[i] = 0;
        LocalFree(message);
    } else {
        std::wstring text = platform::Utf8ToWide(
            platform::Format(L"Win32 RS232 FormatMessage(0x%08x) failed", static_cast<unsigned>(code)));
        wcsncpy(cookie->errorText, text.c_str(), 1023);
        cookie->errorText[1023] = 0;
    }
    return cookie->errorText;
}

uint32_t Rs232LastError()
{
    return GetLastError();
}

void Rs232SetLastError(uint32_t code)
{
    SetLastError(code);
}

void Rs232FormatPortFileName(Rs232Cookie* cookie)
{
    std::wstring name = L"\\\\.\\com" + std::to_wstring(cookie->portNumber);
    wcsncpy(cookie->portFileName, name.c_str(), 99);
    cookie->portFileName[99] = 0;
}

bool Rs232OpenPortFile(FlashIoDevice* io, Rs232Cookie* cookie, const wchar_t* fileName)
{
    HANDLE port = CreateFileW(fileName, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (port == INVALID_HANDLE_VALUE) {
        Rs232LogKeepingError(io, L"Cannot open Device: %s\n", fileName);
        return false;
    }
    cookie->portHandle = reinterpret_cast<intptr_t>(port);
    return true;
}

bool Rs232CreateRxEvent(FlashIoDevice* io, Rs232Cookie* cookie)
{
    HANDLE event = CreateEventW(nullptr, TRUE, FALSE, L"rs232-rx-evt");
    if (!event) {
        Rs232LogKeepingError(io, L"Cannot create rx event\n");
        return false;
    }
    cookie->rxEvent = reinterpret_cast<intptr_t>(event);
    return true;
}

bool Rs232ApplyTimeouts(FlashIoDevice* io, Rs232Cookie* cookie)
{
    if (!GetCommTimeouts(PortHandle(cookie), &cookie->timeouts)) {
        Rs232LogKeepingError(io, L"cannot get com timeouts\n");
        return false;
    }
    cookie->timeouts.ReadIntervalTimeout = 0xFFFFFFFF;
    cookie->timeouts.ReadTotalTimeoutMultiplier = 1;
    cookie->timeouts.ReadTotalTimeoutConstant = 0;
    cookie->timeouts.WriteTotalTimeoutMultiplier = 10;
    cookie->timeouts.WriteTotalTimeoutConstant = 100;
    if (!SetCommTimeouts(PortHandle(cookie), &cookie->timeouts)) {
        Rs232LogKeepingError(io, L"cannot set com timeouts\n");
        return false;
    }
    return true;
}

bool Rs232ApplyCurrentState(FlashIoDevice* io, Rs232Cookie* cookie)
{
    memset(&cookie->currentDcb, 0, sizeof cookie->currentDcb);
    cookie->currentDcb.DCBlength = sizeof(DCB);
    if (!GetCommState(PortHandle(cookie), &cookie->currentDcb)) {
        Rs232LogKeepingError(io, L"cannot get com state\n");
        return false;
    }
    Rs232ApplyCurrentParameters(cookie->currentDcb, static_cast<uint32_t>(cookie->baudRate));
    if (!SetCommState(PortHandle(cookie), &cookie->currentDcb)) {
        Rs232LogKeepingError(io, L"Cannot set (cur) serial parameters\n");
        return false;
    }
    return true;
}

bool Rs232SetupQueues(FlashIoDevice* io, Rs232Cookie* cookie)
{
    if (!SetupComm(PortHandle(cookie), cookie->settings.dwInQueue, cookie->settings.dwOutQueue)) {
        Rs232LogKeepingError(io, L"Failure: SetupComm( h, %d, %d )\n", static_cast<int>(cookie->settings.dwInQueue),
                             static_cast<int>(cookie->settings.dwOutQueue));
        return false;
    }
    return true;
}

bool Rs232ApplyHostState(FlashIoDevice* io, Rs232Cookie* cookie)
{
    if (!SetCommState(PortHandle(cookie), &cookie->settings.dcb)) {
        Rs232LogKeepingError(io, L"Cannot set (sdk) serial parameters\n");
        return false;
    }
    return true;
}

void Rs232PurgePort(Rs232Cookie* cookie)
{
    PurgeComm(PortHandle(cookie), kPurgeAll);
}

void Rs232ClosePort(Rs232Cookie* cookie)
{
    if (cookie->portHandle != kNoPortHandle) {
        PurgeComm(PortHandle(cookie), kPurgeAll);
        CloseHandle(PortHandle(cookie));
        cookie->portHandle = kNoPortHandle;
    }
    if (cookie->rxEvent != kNoPortHandle) {
        CloseHandle(reinterpret_cast<HANDLE>(cookie->rxEvent));
        cookie->rxEvent = kNoPortHandle;
    }
}

namespace {

// Waits until the driver's output queue is empty or the write's budget (its
// write timeouts: 10 ms per byte plus 100 ms) is spent. FlushFileBuffers
// has no timeout: with hardware flow control and a device that never raises
// CTS (or sent XOFF and went quiet) it can wait forever on what a driver
// still holds. A driver that cannot report its queue counts as drained.
// ClearCommError also clears the line's error flags; nothing here reads them.
bool DrainOutput(HANDLE port, uint32_t start, uint32_t length)
{
    uint64_t budget = 10ull * length + 100;
    uint32_t limit = budget > 0x7FFFFFFF ? 0x7FFFFFFF : static_cast<uint32_t>(budget);
    for (;;) {
        DWORD errors = 0;
        COMSTAT state{};
        if (!ClearCommError(port, &errors, &state) || state.cbOutQue == 0)
            return true;
        if (platform::TimeUp(start, limit))
            return false;
        platform::SleepMs(1);
    }
}

} // namespace

int32_t Rs232WritePort(Rs232Cookie* cookie, const uint8_t* data, uint32_t length)
{
    HANDLE port = PortHandle(cookie);
    uint32_t start = platform::TickCount();
    DWORD written = 0;
    if (!WriteFile(port, data, length, &written, nullptr))
        return -1;
    // A write the timeouts cut short, or bytes that do not leave the driver
    // within the same budget, mean a held line: the write fails, and what
    // the driver still holds is dropped, so the caller's retry cannot put
    // stale bytes on the line behind it.
    if (written < length || !DrainOutput(port, start, length)) {
        PurgeComm(port, PURGE_TXABORT | PURGE_TXCLEAR);
        SetLastError(ERROR_TIMEOUT);
        return -1;
    }
    // The bytes leave the driver before the caller starts timing the reply.
    FlushFileBuffers(port);
    return static_cast<int32_t>(written);
}

int32_t Rs232ReadPortByte(Rs232Cookie* cookie, uint8_t* byte)
{
    DWORD got = 0;
    BOOL ok = ReadFile(PortHandle(cookie), byte, 1, &got, nullptr);
    if (got == 1)
        return 1;
    return ok ? 0 : -1;
}
