// The USB HID transport's system calls on Windows: SetupDi enumeration of
// the HID interfaces, HidD/HidP attributes, and overlapped report I/O whose
// waits are bounded by events. A request that does not complete in time is
// cancelled and then awaited: until it has ended, the system may still write
// into its buffer and OVERLAPPED, both of which live in the transport's
// block, and a report that completed in the race is kept.
#include "io/UsbHid.h"

#include "io/FlashIo.h"
#include "log/Log.h"

#include <windows.h>

// The HID headers of MinGW-w64 do not declare C linkage themselves.
extern "C" {
#include <hidsdi.h>
}
#include <setupapi.h>

#include <cstdlib>
#include <cstring>

struct UsbNative {
    HANDLE device;          // INVALID_HANDLE_VALUE when closed
    HANDLE readHandle;      // the device handle while open
    HANDLE writeHandle;
    HANDLE readEvent;       // manual reset, created at the first open
    HANDLE writeEvent;
    OVERLAPPED readOverlapped;
    OVERLAPPED writeOverlapped;
    HIDP_CAPS caps;         // read at each open, not used afterwards
    SP_DEVICE_INTERFACE_DETAIL_DATA_W* detail;  // the interface last looked at
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
bool WholeReportWritten(DWORD written)
{
    return written == kUsbReportSize || (UnderWine() && written == kUsbReportSize - 1);
}

// Wine 8.0 ends the reads of an unplugged device with ERROR_ACCESS_DENIED
// where Windows says ERROR_DEVICE_NOT_CONNECTED; on Windows that error
// means something else and stays a failure.
bool DeviceGone(DWORD error)
{
    return error == ERROR_DEVICE_NOT_CONNECTED || (UnderWine() && error == ERROR_ACCESS_DENIED);
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
    HANDLE query = path ? CreateFileW(path, 0, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr)
                        : INVALID_HANDLE_VALUE;
    if (query == INVALID_HANDLE_VALUE)
        return OpenFailed(io, native, query, L"do_usb_open - Could not create device Handle");
    HIDD_ATTRIBUTES attributes{};
    attributes.Size = sizeof attributes;
    if (!HidD_GetAttributes(query, &attributes))
        return OpenFailed(io, native, query, L"do_usb_open - Could not get HID Attributes");
    if (vendorId > 0 && attributes.VendorID != static_cast<USHORT>(vendorId))
        return OpenFailed(io, native, query, L"do_usb_open - VID does not match");
    if (vendorId > 0 && attributes.ProductID != static_cast<USHORT>(productId))
        return OpenFailed(io, native, query, L"do_usb_open - PID does not match");
    PHIDP_PREPARSED_DATA preparsed = nullptr;
    if (HidD_GetPreparsedData(query, &preparsed)) {
        HidP_GetCaps(preparsed, &native->caps);
        HidD_FreePreparsedData(preparsed);
    }
    IoLog(io, LOG_INFO, L"do_usb_open - close share open handle after GetDeviceCapabilities.\n");
    CloseHandle(query);
    IoLog(io, LOG_INFO, L"do_usb_open - will exclusive open usb device.\n");

    native->device = CreateFileW(path, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, FILE_FLAG_OVERLAPPED,
                                 nullptr);
    if (native->device == INVALID_HANDLE_VALUE || !CreateEvents(native))
        return OpenFailed(io, native, INVALID_HANDLE_VALUE,
                          L"do_usb_open - failed to exclusive open usb device for read/write.");
    native->readHandle = native->device;
    native->writeHandle = native->device;
    SetInputBuffers(io, native->device);
    return 0;
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
    if (!WriteFile(handle, report, kUsbReportSize, nullptr, &overlapped) && GetLastError() != ERROR_IO_PENDING) {
        IoLog(io, LOG_ERROR, L"%s: Write error: 0x%08x\n", L"my_usb_writeREPORT", static_cast<unsigned>(GetLastError()));
        CancelIo(handle);
        return false;
    }
    bool sent = false;
    DWORD written = 0;
    DWORD wait = WaitForSingleObject(native->writeEvent, timeoutMs);
    if (wait == WAIT_OBJECT_0) {
        GetOverlappedResult(handle, &overlapped, &written, FALSE);
        sent = WholeReportWritten(written);
        if (!sent)
            IoLog(io, LOG_ERROR, L"%s: Did not write full report\n", L"my_usb_writeREPORT");
    } else {
        DWORD error = GetLastError();
        sent = CancelAndAwait(handle, overlapped, &written) && WholeReportWritten(written);
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
    if (!ReadFile(handle, report, kUsbReportSize, nullptr, &overlapped)) {
        DWORD error = GetLastError();
        if (DeviceGone(error)) {
            IoLog(io, LOG_ERROR, L"ReadFile DEVICE NOT CONNECTED!\n");
            return UsbReadResult::Gone;
        }
        if (error != ERROR_IO_PENDING) {
            IoLog(io, LOG_ERROR, L"ReadFile Failure!\n");
            return UsbReadResult::Failed;
        }
    }
    DWORD got = 0;
    DWORD wait = WaitForSingleObject(native->readEvent, waitMs);
    UsbReadResult result = UsbReadResult::Report;
    if (wait == WAIT_OBJECT_0) {
        BOOL done = GetOverlappedResult(handle, &overlapped, &got, FALSE);
        IoLog(io, LOG_HID, L"Partial: %d %d\n", static_cast<int>(done), static_cast<int>(got));
        if (!done && DeviceGone(GetLastError())) {
            IoLog(io, LOG_ERROR, L"ReadFile DEVICE NOT CONNECTED!\n");
            result = UsbReadResult::Gone;
        }
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
        IoLog(io, LOG_ERROR, L"%s Error: %d\n", L"my_usb_READREPORT", static_cast<int>(wait));
        result = UsbReadResult::Failed;
    }
    ResetEvent(native->readEvent);
    *received = got;
    return result;
}
