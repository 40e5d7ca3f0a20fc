// The USB HID transport's system calls on Windows: SetupDi enumeration of
// the HID interfaces, HidD/HidP attributes, and overlapped report I/O whose
// waits are bounded by events. A request that does not complete in time is
// cancelled and then awaited: until it has ended, the system may still write
// into its buffer and OVERLAPPED, both of which live in the transport's
// block, and a report that completed in the race is kept.
#include "io/UsbHid.h"

#include "io/FlashIo.h"
#include "io/UsbDevicePath.h"
#include "log/Log.h"
#include "platform/Platform.h"

#include <windows.h>

// The HID headers of MinGW-w64 do not declare C linkage themselves.
extern "C" {
#include <hidsdi.h>
}
#include <setupapi.h>

#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <string>

struct UsbNative {
    HANDLE device;          // INVALID_HANDLE_VALUE when closed
    HANDLE readHandle;      // the device handle while open
    HANDLE writeHandle;
    HANDLE readEvent;       // manual reset, created at the first open
    HANDLE writeEvent;
    OVERLAPPED readOverlapped;
    OVERLAPPED writeOverlapped;
    HIDP_CAPS caps;         // read at each open: the report lengths
    DWORD outputLength;     // the device's reports, report id included
    DWORD inputLength;
    uint8_t outReport[kUsbMaxReportLength];  // the write in flight reads it
    SP_DEVICE_INTERFACE_DETAIL_DATA_W* detail;  // the interface last looked at
    wchar_t* path;          // the open device's path, for the presence check
    bool wineLogged;        // the Wine version went into the log
};

namespace {

constexpr ULONG kInputBuffers = 512;
constexpr ULONG kFallbackInputBuffers = 200;

int32_t OpenFailed(FlashIoDevice* io, UsbNative* native, HANDLE query, const wchar_t* text)
{
    IoLog(io, LOG_ERROR, L"%s\n", text);
    if (query != INVALID_HANDLE_VALUE)
        CloseHandle(query);
    UsbNativeClose(native);
    return -1;
}

// Why a CreateFileW of the device failed, in words a user can act on.
const char* OpenFailureCause(DWORD error)
{
    switch (error) {
    case ERROR_SHARING_VIOLATION:
        return "another program holds the device; close it and try again";
    case ERROR_ACCESS_DENIED:
        return "Windows refuses it (a keyboard or mouse collection it keeps to itself, or another program "
               "holds the device)";
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_DEVICE_NOT_CONNECTED:
    case ERROR_DEV_NOT_EXIST:
        return "the device is gone";
    default:
        return "";
    }
}

// The failed open's line, then the system's code and text with the cause.
int32_t OpenFailedWith(FlashIoDevice* io, UsbNative* native, HANDLE query, const wchar_t* text,
                       const wchar_t* path)
{
    DWORD error = GetLastError();
    std::wstring system = platform::LastErrorText();
    const char* cause = OpenFailureCause(error);
    IoLog(io, LOG_ERROR, L"%s\n", text);
    IoLog(io, LOG_ERROR, L"do_usb_open - %s: %s%hs%hs\n", path ? path : L"", system.c_str(), *cause ? ": " : "",
          cause);
    if (query != INVALID_HANDLE_VALUE)
        CloseHandle(query);
    UsbNativeClose(native);
    return -1;
}

bool CreateEvents(UsbNative* native)
{
    if (!native->readEvent)
        native->readEvent = CreateEventA(nullptr, TRUE, TRUE, nullptr);
    if (!native->writeEvent)
        native->writeEvent = CreateEventA(nullptr, TRUE, TRUE, nullptr);
    native->readOverlapped.hEvent = native->readEvent;
    native->writeOverlapped.hEvent = native->writeEvent;
    return native->readEvent && native->writeEvent;
}

void StartAtOffsetZero(OVERLAPPED& overlapped)
{
    HANDLE event = overlapped.hEvent;
    memset(&overlapped, 0, sizeof overlapped);
    overlapped.hEvent = event;
}

void SetInputBuffers(FlashIoDevice* io, HANDLE device)
{
    if (!HidD_SetNumInputBuffers(device, kInputBuffers)) {
        IoLog(io, LOG_DETAIL, L"Win2K Platform? SetBuf Count 512 failed, trying 200\n");
        if (!HidD_SetNumInputBuffers(device, kFallbackInputBuffers))
            IoLog(io, LOG_INFO, L"SetBuf Count 200 failed assuming defaults work\n");
    }
    ULONG count = 0;
    HidD_GetNumInputBuffers(device, &count);
    IoLog(io, LOG_DETAIL, L"Hid Report count: %d\n", static_cast<int>(count));
}

bool UnderWine()
{
    static const bool wine = GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "wine_get_version") != nullptr;
    return wine;
}

// Wine 8.0 reports one byte less than was written for a report with an id
// (the device gets all 64); Windows reports the whole report, and there
// nothing less counts.
bool WholeReportWritten(DWORD written, DWORD length)
{
    return written == length || (UnderWine() && written == length - 1);
}

// Once per block: which Wine runs us explains many a difference from
// Windows in a log.
void LogWineVersion(FlashIoDevice* io, UsbNative* native)
{
    if (native->wineLogged || !UnderWine())
        return;
    using WineVersion = const char*(CDECL*)();
    auto version = reinterpret_cast<WineVersion>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "wine_get_version")));
    IoLog(io, LOG_INFO, L"do_usb_open - running under Wine %hs\n", version ? version() : "(version unknown)");
    native->wineLogged = true;
}

// A removal is told by more codes than ERROR_DEVICE_NOT_CONNECTED, so after
// any failed read the path is opened without access rights: a device that
// is no longer there cannot be opened.
bool StillPresent(const UsbNative* native)
{
    if (!native->path)
        return false;
    HANDLE probe = CreateFileW(native->path, 0, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0,
                               nullptr);
    if (probe != INVALID_HANDLE_VALUE) {
        CloseHandle(probe);
        return true;
    }
    DWORD error = GetLastError();
    return error != ERROR_FILE_NOT_FOUND && error != ERROR_PATH_NOT_FOUND && error != ERROR_DEVICE_NOT_CONNECTED &&
           error != ERROR_DEV_NOT_EXIST && error != ERROR_GEN_FAILURE && error != ERROR_BAD_DEVICE;
}

// Wine 8.0 ends an unplugged device's reads with ERROR_ACCESS_DENIED while
// its path still opens for a moment (the removal reaches its device list
// later), so there that code alone means gone; on Windows it means
// something else and the presence check decides.
bool DeviceGone(const UsbNative* native, DWORD error)
{
    return error == ERROR_DEVICE_NOT_CONNECTED || (UnderWine() && error == ERROR_ACCESS_DENIED) ||
           !StillPresent(native);
}

// A failed read: the device is gone, or the read failed with its code.
UsbReadResult ReadFailed(FlashIoDevice* io, const UsbNative* native, DWORD error)
{
    if (DeviceGone(native, error)) {
        IoLog(io, LOG_ERROR, L"ReadFile DEVICE NOT CONNECTED!\n");
        return UsbReadResult::Gone;
    }
    IoLog(io, LOG_ERROR, L"ReadFile Failure!\n");
    IoLog(io, LOG_ERROR, L"%s: ReadFile error: 0x%08x\n", L"my_usb_READREPORT", static_cast<unsigned>(error));
    return UsbReadResult::Failed;
}

// Whether the collection declares a value of a report with this id: of
// several top-level collections of one interface (each a path of its own)
// only the scanner's carries its two report ids. A collection whose caps
// cannot be listed is not refused for that.
bool DeclaresReport(PHIDP_PREPARSED_DATA preparsed, HIDP_REPORT_TYPE type, USHORT count, UCHAR id)
{
    if (count == 0)
        return false;
    auto* caps = static_cast<HIDP_VALUE_CAPS*>(calloc(count, sizeof(HIDP_VALUE_CAPS)));
    if (!caps)
        return true;
    USHORT n = count;
    bool listed = HidP_GetValueCaps(type, caps, &n, preparsed) == HIDP_STATUS_SUCCESS;
    bool found = !listed;
    for (USHORT i = 0; listed && i < n && !found; ++i)
        found = caps[i].ReportID == id;
    free(caps);
    return found;
}

// The report lengths from the device's caps; false after logging why when
// the collection cannot carry the scanner's framing.
bool TakeCaps(FlashIoDevice* io, UsbNative* native, HANDLE query, const wchar_t* path)
{
    PHIDP_PREPARSED_DATA preparsed = nullptr;
    if (!HidD_GetPreparsedData(query, &preparsed)) {
        IoLog(io, LOG_ERROR, L"do_usb_open - %s: no HID capabilities: %s\n", path, platform::LastErrorText().c_str());
        return false;
    }
    bool ours = HidP_GetCaps(preparsed, &native->caps) == HIDP_STATUS_SUCCESS;
    const HIDP_CAPS& caps = native->caps;
    ours = ours && DeclaresReport(preparsed, HidP_Output, caps.NumberOutputValueCaps, kUsbOutputReportId) &&
           DeclaresReport(preparsed, HidP_Input, caps.NumberInputValueCaps, kUsbInputReportId);
    HidD_FreePreparsedData(preparsed);
    native->outputLength = caps.OutputReportByteLength;
    native->inputLength = caps.InputReportByteLength;
    if (!ours || !UsbLengthsCarryFraming(native->outputLength, native->inputLength)) {
        IoLog(io, LOG_ERROR,
              L"do_usb_open - %s: its reports cannot carry the scanner's framing: usage page 0x%04x usage 0x%04x, "
              L"output report 0x%02x %d bytes, input report 0x%02x %d bytes (at least %d and %d needed)\n",
              path, caps.UsagePage, caps.Usage, kUsbOutputReportId, static_cast<int>(native->outputLength),
              kUsbInputReportId, static_cast<int>(native->inputLength), static_cast<int>(kUsbReportSize),
              static_cast<int>(kUsbInputHeaderSize + kUsbMaxInputPayload));
        return false;
    }
    return true;
}

wchar_t* CopyPath(const wchar_t* path)
{
    size_t size = (wcslen(path) + 1) * sizeof(wchar_t);
    auto* copy = static_cast<wchar_t*>(malloc(size));
    if (copy)
        memcpy(copy, path, size);
    return copy;
}

// Cancels the request and waits until it has ended: true when it completed
// all the same, with *transferred bytes.
bool CancelAndAwait(HANDLE handle, OVERLAPPED& overlapped, DWORD* transferred)
{
    CancelIo(handle);
    *transferred = 0;
    return GetOverlappedResult(handle, &overlapped, transferred, TRUE) && *transferred > 0;
}

} // namespace

UsbNative* UsbNativeCreate()
{
    auto* native = static_cast<UsbNative*>(calloc(1, sizeof(UsbNative)));
    if (!native)
        return nullptr;
    native->device = INVALID_HANDLE_VALUE;
    native->readHandle = INVALID_HANDLE_VALUE;
    native->writeHandle = INVALID_HANDLE_VALUE;
    return native;
}

void UsbNativeDestroy(UsbNative* native)
{
    if (!native)
        return;
    UsbNativeClose(native);
    if (native->readEvent)
        CloseHandle(native->readEvent);
    if (native->writeEvent)
        CloseHandle(native->writeEvent);
    free(native->detail);
    free(native->path);
    free(native);
}

bool UsbNativeIsOpen(const UsbNative* native)
{
    return native && native->readHandle != INVALID_HANDLE_VALUE;
}

void UsbNativeEnumerate(FlashIoDevice* io, UsbNative* native, const std::function<bool(int, wchar_t*)>& visit)
{
    GUID guid;
    HidD_GetHidGuid(&guid);
    HDEVINFO set = SetupDiGetClassDevsW(&guid, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    free(native->detail);
    native->detail = nullptr;
    if (set == INVALID_HANDLE_VALUE)
        return;
    SP_DEVICE_INTERFACE_DATA data{};
    data.cbSize = sizeof data;
    for (DWORD index = 0; SetupDiEnumDeviceInterfaces(set, nullptr, &guid, index, &data); ++index) {
        const int i = static_cast<int>(index);
        DWORD size = 0;
        SetupDiGetDeviceInterfaceDetailW(set, &data, nullptr, 0, &size, nullptr);
        free(native->detail);
        native->detail = nullptr;
        if (size >= sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W))
            native->detail = static_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_W*>(malloc(size));
        if (!native->detail) {
            IoLog(io, LOG_ERROR, L"Index: %d allocation failed?\n", i);
            continue;
        }
        native->detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W);
        if (!SetupDiGetDeviceInterfaceDetailW(set, &data, native->detail, size, nullptr, nullptr)) {
            IoLog(io, LOG_DETAIL, L"Index: %d, cannot get detail\n", i);
            continue;
        }
        if (visit(i, native->detail->DevicePath))
            break;
    }
    SetupDiDestroyDeviceInfoList(set);
}

int32_t UsbNativeOpen(FlashIoDevice* io, UsbNative* native, const wchar_t* path, int32_t vendorId, int32_t productId)
{
    LogWineVersion(io, native);
    if (!path)
        return OpenFailed(io, native, INVALID_HANDLE_VALUE, L"do_usb_open - Could not create device Handle");
    HANDLE query = CreateFileW(path, 0, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
    if (query == INVALID_HANDLE_VALUE)
        return OpenFailedWith(io, native, query, L"do_usb_open - Could not create device Handle", path);
    HIDD_ATTRIBUTES attributes{};
    attributes.Size = sizeof attributes;
    if (!HidD_GetAttributes(query, &attributes))
        return OpenFailed(io, native, query, L"do_usb_open - Could not get HID Attributes");
    if (vendorId > 0 && attributes.VendorID != static_cast<USHORT>(vendorId))
        return OpenFailed(io, native, query, L"do_usb_open - VID does not match");
    if (vendorId > 0 && attributes.ProductID != static_cast<USHORT>(productId))
        return OpenFailed(io, native, query, L"do_usb_open - PID does not match");
    if (!TakeCaps(io, native, query, path))
        return OpenFailed(io, native, query, L"do_usb_open - failed to exclusive open usb device for read/write.");
    IoLog(io, LOG_INFO, L"do_usb_open - close share open handle after GetDeviceCapabilities.\n");
    CloseHandle(query);
    IoLog(io, LOG_INFO, L"do_usb_open - will exclusive open usb device.\n");

    native->device = CreateFileW(path, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, FILE_FLAG_OVERLAPPED,
                                 nullptr);
    if (native->device == INVALID_HANDLE_VALUE)
        return OpenFailedWith(io, native, INVALID_HANDLE_VALUE,
                              L"do_usb_open - failed to exclusive open usb device for read/write.", path);
    free(native->path);
    native->path = CopyPath(path);
    if (!CreateEvents(native) || !native->path)
        return OpenFailed(io, native, INVALID_HANDLE_VALUE,
                          L"do_usb_open - failed to exclusive open usb device for read/write.");
    native->readHandle = native->device;
    native->writeHandle = native->device;
    SetInputBuffers(io, native->device);
    return 0;
}

bool UsbNativeDescribe(FlashIoDevice*, UsbNative*, const wchar_t* path, UsbDeviceFacts* facts)
{
    // No access rights: this reads a device that another program holds.
    HANDLE query = path ? CreateFileW(path, 0, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr)
                        : INVALID_HANDLE_VALUE;
    if (query == INVALID_HANDLE_VALUE)
        return false;
    HIDD_ATTRIBUTES attributes{};
    attributes.Size = sizeof attributes;
    bool read = HidD_GetAttributes(query, &attributes);
    // The USB string descriptor's limit: 126 characters.
    wchar_t serial[128] = {};
    bool hasSerial = read && HidD_GetSerialNumberString(query, serial, sizeof serial - sizeof serial[0]) && serial[0];
    CloseHandle(query);
    if (!read)
        return false;
    facts->vendorId = attributes.VendorID;
    facts->productId = attributes.ProductID;
    facts->interfaceNumber = UsbPathInterfaceNumber(path);
    facts->hasSerial = hasSerial;
    facts->serial = hasSerial ? serial : L"";
    return true;
}

void UsbNativeClose(UsbNative* native)
{
    if (!native)
        return;
    if (native->device != INVALID_HANDLE_VALUE)
        CloseHandle(native->device);
    native->device = INVALID_HANDLE_VALUE;
    native->readHandle = INVALID_HANDLE_VALUE;
    native->writeHandle = INVALID_HANDLE_VALUE;
}

void UsbNativeFlushQueue(UsbNative* native)
{
    if (UsbNativeIsOpen(native))
        HidD_FlushQueue(native->device);
}

bool UsbNativeWriteReport(FlashIoDevice* io, UsbNative* native, const uint8_t* report, uint32_t timeoutMs)
{
    HANDLE handle = native->writeHandle;
    OVERLAPPED& overlapped = native->writeOverlapped;
    StartAtOffsetZero(overlapped);
    // WriteFile takes exactly the device's output length.
    DWORD length = native->outputLength;
    memset(native->outReport, 0, sizeof native->outReport);
    memcpy(native->outReport, report, kUsbReportSize);
    if (!WriteFile(handle, native->outReport, length, nullptr, &overlapped) && GetLastError() != ERROR_IO_PENDING) {
        IoLog(io, LOG_ERROR, L"%s: Write error: 0x%08x\n", L"my_usb_writeREPORT", static_cast<unsigned>(GetLastError()));
        CancelIo(handle);
        return false;
    }
    bool sent = false;
    DWORD written = 0;
    DWORD wait = WaitForSingleObject(native->writeEvent, timeoutMs);
    if (wait == WAIT_OBJECT_0) {
        GetOverlappedResult(handle, &overlapped, &written, FALSE);
        sent = WholeReportWritten(written, length);
        if (!sent)
            IoLog(io, LOG_ERROR, L"%s: Did not write full report\n", L"my_usb_writeREPORT");
    } else {
        DWORD error = GetLastError();
        sent = CancelAndAwait(handle, overlapped, &written) && WholeReportWritten(written, length);
        if (!sent)
            IoLog(io, LOG_ERROR, L"%s: write report fails: 0x%08x\n", L"my_usb_writeREPORT",
                  static_cast<unsigned>(error));
    }
    ResetEvent(native->writeEvent);
    return sent;
}

UsbReadResult UsbNativeReadReport(FlashIoDevice* io, UsbNative* native, uint8_t* report, uint32_t waitMs,
                                  uint32_t* received)
{
    HANDLE handle = native->readHandle;
    OVERLAPPED& overlapped = native->readOverlapped;
    StartAtOffsetZero(overlapped);
    // ReadFile wants room for the device's whole input report.
    if (!ReadFile(handle, report, native->inputLength, nullptr, &overlapped)) {
        DWORD error = GetLastError();
        if (error != ERROR_IO_PENDING)
            return ReadFailed(io, native, error);
    }
    DWORD got = 0;
    DWORD wait = WaitForSingleObject(native->readEvent, waitMs);
    UsbReadResult result = UsbReadResult::Report;
    if (wait == WAIT_OBJECT_0) {
        BOOL done = GetOverlappedResult(handle, &overlapped, &got, FALSE);
        DWORD error = done ? ERROR_SUCCESS : GetLastError();
        IoLog(io, LOG_HID, L"Partial: %d %d\n", static_cast<int>(done), static_cast<int>(got));
        // An event that was signalled before the request ended: the request
        // must be over before its buffer and OVERLAPPED are used again.
        bool incomplete = !done && error == ERROR_IO_INCOMPLETE;
        if (incomplete)
            done = CancelAndAwait(handle, overlapped, &got);
        // A failed completion carries no report, whatever the buffer holds;
        // a request cancelled with nothing in it is a wait that timed out.
        if (incomplete && !done) {
            IoLog(io, LOG_ERROR, L"%s: USB Fill Timeout\n", L"my_usb_READREPORT");
            result = UsbReadResult::Timeout;
        } else if (!done) {
            result = ReadFailed(io, native, error);
        }
        else if (got == 0)
            result = ReadFailed(io, native, ERROR_INVALID_DATA);
    } else if (wait == WAIT_TIMEOUT) {
        BOOL done = GetOverlappedResult(handle, &overlapped, &got, FALSE);
        IoLog(io, LOG_HID, L"Partial: %d %d\n", static_cast<int>(done), static_cast<int>(got));
        // A report that arrived while the request was being cancelled is kept.
        if (!CancelAndAwait(handle, overlapped, &got)) {
            IoLog(io, LOG_ERROR, L"%s: USB Fill Timeout\n", L"my_usb_READREPORT");
            result = UsbReadResult::Timeout;
        }
    } else {
        CancelAndAwait(handle, overlapped, &got);
        got = 0;
        IoLog(io, LOG_ERROR, L"%s Error: %d\n", L"my_usb_READREPORT", static_cast<int>(wait));
        result = UsbReadResult::Failed;
    }
    ResetEvent(native->readEvent);
    *received = got;
    return result;
}
