// The USB HID transport: the slots of FlashIoDevice for a scanner attached
// as a HID device. The slots, the search with its per-device mutex, the
// report framing and the receive ring are shared (UsbHid.cpp); the platform
// files (UsbHidWin32.cpp, UsbHidLinux.cpp) hold only the calls into the
// operating system, declared at the end of this header.
#pragma once

#include "io/FlashIoDevice.h"
#include "io/RingBuffer.h"
#include "io/UsbIdentity.h"
#include "io/UsbReports.h"

#include <cstdint>
#include <functional>
#include <string>

// Installs the transport and test-opens the device once: 0, or -1 with
// nothing installed. The caller has torn the previous transport down.
int32_t BL_FlashIo_Setup_WIN32_USB(FlashIoDevice* io, const UsbIdentity* identity);

struct UsbBackend;
// The same over another system (the simulator's bus): everything above the
// backend's calls runs unchanged. context goes to backend->create.
int32_t UsbSetupOnBackend(FlashIoDevice* io, const UsbIdentity* identity, const UsbBackend* backend, void* context);

constexpr uint32_t kUsbRingSize = 8192;
constexpr uint32_t kUsbWriteTimeoutMs = 300;
// Every report wait lasts at least this long, except the flush's short
// look at what the system already holds (see my_usb_READREPORT).
constexpr uint32_t kUsbMinReportWaitMs = 250;
// The pause before a read that failed (the device still there) is tried
// again.
constexpr uint32_t kUsbFailedReadPauseMs = 50;
// A search that met only occupied devices looks again this often, after
// this pause: another process's glance at the mutexes is over by then.
constexpr uint32_t kUsbOccupiedSearches = 3;
constexpr uint32_t kUsbOccupiedPauseMs = 100;
// The receive flush without pauses (FlashIoDevice::flushPoll) only asks the
// system when nothing is buffered, unless FlashIoDevice::usbFullReportWait
// is set.

// The backend's own part of the block: handles, events, report buffers.
struct UsbNative;

// The transport's block behind FlashIoDevice::cookie.
struct UsbCookie {
    const char* tag;              // kUsbTag; open refuses a block without it
    UsbIdentity identity;         // the caller's, its texts pointing at the copies below
    wchar_t* ownedDevicePath;     // copy of the caller's device path
    wchar_t* ownedPath;           // copy of the preserved path: the caller's, or the one the search opened
    int32_t openFlag;             // 1 open
    uint32_t writeTimeoutMs;
    const UsbBackend* backend;    // the system's calls
    void* native;                 // the backend's own part
    uint8_t inReport[kUsbMaxReportLength];  // zero-filled before each report read
    uint8_t outReport[kUsbReportSize];
    uint8_t receiveStorage[kUsbRingSize];
    RingBuffer ring;
};

extern const char kUsbTag[];

int32_t my_usb_open(FlashIoDevice* io);
int32_t my_usb_close(FlashIoDevice* io);
void my_usb_purge(FlashIoDevice* io);
int32_t my_usb_write(FlashIoDevice* io, const uint8_t* data, uint32_t length);
int32_t my_usb_read(FlashIoDevice* io, uint8_t* buffer, uint32_t length, uint32_t timeoutMs);
void my_usb_destory(FlashIoDevice* io);

// How well a path found by the search names the identity's device.
enum class UsbPathMatch {
    None,
    // Vendor and product only, for interface number 0: a device without
    // interfaces, or another interface of a composite device.
    IdsOnly,
    Exact,   // vendor, product and interface
};
// Lower-cases the path in place. traceSteps adds the search's detail lines.
UsbPathMatch UsbPathMatches(FlashIoDevice* io, const UsbIdentity& identity, int index, wchar_t* path, bool traceSteps);
// 1 when a matching free device was claimed and opened, 0 when none.
int32_t FindHidDevice(FlashIoDevice* io, UsbCookie* cookie);
// True when no other matching device is free.
bool FindHidDevice_debug(FlashIoDevice* io, UsbCookie* cookie);
int32_t do_usb_open(FlashIoDevice* io, UsbCookie* cookie, const wchar_t* path);
// Reads one report into the ring: 0 a report was handled or the wait timed
// out, -1 failure, -3 the device is gone.
int32_t my_usb_READREPORT(FlashIoDevice* io, UsbCookie* cookie, uint32_t timeoutMs);
// Serves up to count bytes from the ring, reading a report first when it
// holds too few: the number served, or a negative READREPORT result.
int32_t my_usb_fill(FlashIoDevice* io, UsbCookie* cookie, uint8_t* destination, uint32_t count, uint32_t timeoutMs);

enum class UsbReadResult { Report, Timeout, Failed, Gone };

// What tells one device from another once a restart may have moved it to
// another path: its ids and, when it has one, its serial number.
struct UsbDeviceFacts {
    int32_t vendorId = -1;
    int32_t productId = -1;
    int32_t interfaceNumber = 0;
    bool hasSerial = false;
    std::wstring serial;
    // Where it sits on the bus when its path does not say (Linux: the USB
    // interface behind a node); empty otherwise.
    std::wstring location;
};

// Frees what the transport learnt of the devices of a flash and gives up
// its marks of their ids (below). At the start and end of each flash and
// when the io structure goes.
void UsbForgetDevices(FlashIoDevice* io);
// Marks the ids as worked with by this process until UsbForgetDevices: a
// device without a serial number that is searched for again after its
// restart is taken only while no other process has such a mark. The boot
// entry sets it before the device changes to those ids.
void UsbMarkIdsInUse(FlashIoDevice* io, int32_t vendorId, int32_t productId);

// The calls into the system under the transport, one table per system: the
// platform's (below) or the simulator's. Every slot is set. native is what
// create returned. Failures are logged by the slot itself, with the texts
// of the platform backends.
struct UsbBackend {
    // The backend's part of a new block, closed; null when memory runs out.
    void* (*create)(void* context);
    // Closes the device and frees the part.
    void (*destroy)(void* native);
    bool (*isOpen)(const void* native);
    // The present HID interfaces in order: visit(index, path) may change the
    // path in place and returns true to end the walk.
    void (*enumerate)(FlashIoDevice* io, void* native, const std::function<bool(int, wchar_t*)>& visit);
    // Checks the ids when vendorId > 0 and opens the device exclusively: 0,
    // or -1 with everything closed again.
    int32_t (*open)(FlashIoDevice* io, void* native, const wchar_t* path, int32_t vendorId, int32_t productId);
    void (*close)(void* native);
    // Drops the input reports the system holds for the open device.
    void (*flushQueue)(void* native);
    // Sends one 64-byte output report: false after logging why.
    bool (*writeReport)(FlashIoDevice* io, void* native, const uint8_t* report, uint32_t timeoutMs);
    // Waits up to waitMs for one input report (see UsbNativeReadReport).
    UsbReadResult (*readReport)(FlashIoDevice* io, void* native, uint8_t* report, uint32_t waitMs,
                                uint32_t* received);
    // The facts of the device at path without opening it for reports:
    // false when they cannot be read (gone, or a system that cannot tell).
    bool (*describe)(FlashIoDevice* io, void* native, const wchar_t* path, UsbDeviceFacts* facts);
};

// The platform's table, over the functions below.
extern const UsbBackend kUsbSystemBackend;

// ---- per platform (UsbHidWin32.cpp / UsbHidLinux.cpp) ------------------------

UsbNative* UsbNativeCreate();
// Closes the device and whatever else the backend holds, and frees it.
void UsbNativeDestroy(UsbNative* native);
bool UsbNativeIsOpen(const UsbNative* native);

// The present HID interfaces, in order: visit(index, path) may change the
// path in place and returns true to end the walk. Failures to read an entry
// are logged by the backend and the entry skipped.
void UsbNativeEnumerate(FlashIoDevice* io, UsbNative* native, const std::function<bool(int, wchar_t*)>& visit);

// do_usb_open after its first line: queries the device's attributes, checks
// the ids when vendorId > 0, opens it exclusively for reports: 0 or -1 (the
// failure logged with its text, everything closed again).
int32_t UsbNativeOpen(FlashIoDevice* io, UsbNative* native, const wchar_t* path, int32_t vendorId, int32_t productId);
// Closes the device; the backend's events and buffers stay.
void UsbNativeClose(UsbNative* native);
// Drops the input reports the system holds for the open device.
void UsbNativeFlushQueue(UsbNative* native);

// Sends one 64-byte output report within timeoutMs: false after logging why.
bool UsbNativeWriteReport(FlashIoDevice* io, UsbNative* native, const uint8_t* report, uint32_t timeoutMs);

// Waits up to waitMs for one input report into report (kUsbMaxReportLength
// bytes, part of the block so that a late completion lands in memory that
// is still ours; the device's input reports may be longer than 64 bytes): Report with *received set; Timeout, Failed and Gone after
// the backend has logged them.
UsbReadResult UsbNativeReadReport(FlashIoDevice* io, UsbNative* native, uint8_t* report, uint32_t waitMs,
                                  uint32_t* received);

// The facts of the device at path (UsbBackend::describe).
bool UsbNativeDescribe(FlashIoDevice* io, UsbNative* native, const wchar_t* path, UsbDeviceFacts* facts);
