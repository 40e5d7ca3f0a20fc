// The serial transport: the slots of FlashIoDevice for a COM port. The
// set-ups, the read and write loops and the bookkeeping are shared; the
// platform files (Rs232Win32.cpp, Rs232Posix.cpp) hold only the calls into
// the operating system, declared at the end of this header.
#pragma once

#include "io/FlashIoDevice.h"

#include <tambrix01/FlashTool.h>

#include <cstdint>

// Stands for "no handle" in both handle members: INVALID_HANDLE_VALUE on
// Windows, an invalid descriptor elsewhere.
constexpr intptr_t kNoPortHandle = -1;

// The transport's block behind FlashIoDevice::cookie.
struct Rs232Cookie {
    int32_t openCount;            // 0 closed, 1 open
    int32_t portNumber;           // COM number; -1 for the set-up by name
    int32_t baudRate;             // requested rate; -1 for the set-up by name
    wchar_t* deviceName;          // own copy of the host's name, or null
    wchar_t portFileName[100];    // name derived from portNumber
    intptr_t portHandle;          // HANDLE or descriptor; kNoPortHandle when closed
    intptr_t rxEvent;             // kNoPortHandle when none
    WIN32_232_SETTINGS settings;  // the host's record (set-up by name)
    DCB currentDcb;               // work copy of the set-up by number
    COMMTIMEOUTS timeouts;        // work copy applied at open
    wchar_t errorText[1024];      // what err2str returns
};

// ---- shared (Rs232.cpp) -----------------------------------------------------

// Installs the slots and test-opens the port once: 0, or -1 (the block is
// gone and the slots but purge are cleared).
int32_t rs232_setup(FlashIoDevice* io);
int32_t rs232_open(FlashIoDevice* io);
int32_t rs232_close(FlashIoDevice* io);
void rs232_purge(FlashIoDevice* io);
int32_t rs232_write(FlashIoDevice* io, const uint8_t* data, uint32_t length);
int32_t rs232_read(FlashIoDevice* io, uint8_t* buffer, uint32_t length, uint32_t timeoutMs);
void rs232_destroy(FlashIoDevice* io);

char Rs232ParityLetter(uint8_t parity);     // 'N' 'O' 'E' 'M' 'S', else '?'
const char* Rs232StopBitsText(uint8_t stopBits);   // "1", "2", else "?"
// The rates the set-up by number accepts.
bool Rs232BaudRateSupported(int32_t baudRate);
// The line of the set-up by number: the driver's state with 8-N-1, DTR and
// RTS on, and every flow control and error handling bit off.
void Rs232ApplyCurrentParameters(DCB& dcb, uint32_t baudRate);

// ---- per platform (Rs232Win32.cpp / Rs232Posix.cpp) ------------------------

// Text of this thread's last system error, kept in the cookie.
const wchar_t* err2str(FlashIoDevice* io);
uint32_t Rs232LastError();
void Rs232SetLastError(uint32_t code);

// Fills portFileName for the set-up by number: "\\.\comN" on Windows; on
// Linux the serial device /dev/ttyS(N-1), so COM1 is /dev/ttyS0.
void Rs232FormatPortFileName(Rs232Cookie* cookie);
// Each of these logs its own failure text and returns false; the system
// error is left for the caller's summary line.
bool Rs232OpenPortFile(FlashIoDevice* io, Rs232Cookie* cookie, const wchar_t* fileName);
bool Rs232CreateRxEvent(FlashIoDevice* io, Rs232Cookie* cookie);
bool Rs232ApplyTimeouts(FlashIoDevice* io, Rs232Cookie* cookie);
bool Rs232ApplyCurrentState(FlashIoDevice* io, Rs232Cookie* cookie);   // set-up by number
bool Rs232SetupQueues(FlashIoDevice* io, Rs232Cookie* cookie);         // set-up by name
bool Rs232ApplyHostState(FlashIoDevice* io, Rs232Cookie* cookie);      // set-up by name
// Drops both driver queues of an open port.
void Rs232PurgePort(Rs232Cookie* cookie);
// Purges and closes the port and the receive event; both become kNoPortHandle.
void Rs232ClosePort(Rs232Cookie* cookie);
// One synchronous write followed by a drain, both within the write's budget
// (10 ms per byte plus 100 ms): the count written, or -1 when the port
// failed or the line held the bytes past the budget (what the driver still
// held is dropped then).
int32_t Rs232WritePort(Rs232Cookie* cookie, const uint8_t* data, uint32_t length);
// Reads at most one byte, waiting about a millisecond for it: 1 got one,
// 0 none came, -1 the port failed (device gone).
int32_t Rs232ReadPortByte(Rs232Cookie* cookie, uint8_t* byte);

// Where the Linux set-up by number looks for its devices (default
// "/dev/ttyS"); the number N-1 is appended. Lets tests point COM numbers at
// ptys. Not available on Windows, where the name is fixed.
void Rs232SetDevicePrefix(const wchar_t* prefix);

// Logs a failure text without disturbing the system error that the summary
// line reports afterwards.
void Rs232LogKeepingError(FlashIoDevice* io, const wchar_t* format, ...);
