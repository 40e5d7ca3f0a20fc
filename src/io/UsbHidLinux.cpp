// The USB HID transport's system calls on Linux: hidraw nodes found with
// libudev through their USB parents, reports written and read on the node
// with poll() bounding every wait.
#include "io/UsbHid.h"

#include "io/FlashIo.h"
#include "io/UsbDevicePath.h"
#include "log/Log.h"
#include "platform/Platform.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include <fcntl.h>
#include <libudev.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

// The kernel keeps this many reports per reader of a hidraw node; unlike the
// Windows driver it cannot be changed.
constexpr int kHidrawQueueLength = 64;

struct UsbNative {
    int fd;
};

namespace {

struct UdevDeleter {
    void operator()(udev* u) const { udev_unref(u); }
    void operator()(udev_enumerate* e) const { udev_enumerate_unref(e); }
    void operator()(udev_device* d) const { udev_device_unref(d); }
};
template <typename T>
using UdevPtr = std::unique_ptr<T, UdevDeleter>;

bool HexAttribute(udev_device* device, const char* name, uint32_t& value)
{
    const char* text = device ? udev_device_get_sysattr_value(device, name) : nullptr;
    if (!text || !*text)
        return false;
    char* end = nullptr;
    unsigned long parsed = strtoul(text, &end, 16);
    if (end == text || parsed > 0xFFFF)
        return false;
    value = static_cast<uint32_t>(parsed);
    return true;
}

// The identity text of one hidraw node, or empty for a node that is not a
// USB interface's.
std::wstring IdentityText(udev_device* hidraw)
{
    // Parents belong to the child; they are not unreferenced here.
    udev_device* usb = udev_device_get_parent_with_subsystem_devtype(hidraw, "usb", "usb_device");
    udev_device* intf = udev_device_get_parent_with_subsystem_devtype(hidraw, "usb", "usb_interface");
    const char* node = udev_device_get_devnode(hidraw);
    uint32_t vid = 0, pid = 0, number = 0;
    if (!node || !intf || !HexAttribute(usb, "idVendor", vid) || !HexAttribute(usb, "idProduct", pid) ||
        !HexAttribute(intf, "bInterfaceNumber", number))
        return {};
    return UsbHidrawPath(vid, pid, number, udev_device_get_sysname(intf), node);
}

// The vendor and product id the HID layer reports for the node, as
// HidD_GetAttributes gives them: from HID_ID ("0003:0000F0F0:00000B01").
bool HidAttributes(const std::string& node, uint32_t& vendorId, uint32_t& productId)
{
    UdevPtr<udev> u(udev_new());
    size_t slash = node.rfind('/');
    std::string sysname = slash == std::string::npos ? node : node.substr(slash + 1);
    UdevPtr<udev_device> hidraw(u ? udev_device_new_from_subsystem_sysname(u.get(), "hidraw", sysname.c_str()) : nullptr);
    udev_device* hid = hidraw ? udev_device_get_parent_with_subsystem_devtype(hidraw.get(), "hid", nullptr) : nullptr;
    const char* id = hid ? udev_device_get_property_value(hid, "HID_ID") : nullptr;
    unsigned bus = 0, vendor = 0, product = 0;
    if (!id || sscanf(id, "%x:%x:%x", &bus, &vendor, &product) != 3)
        return false;
    vendorId = vendor & 0xFFFF;
    productId = product & 0xFFFF;
    return true;
}

bool DeviceGone(int error)
{
    return error == ENODEV || error == EIO || error == ENXIO;
}

// poll() for one event, resumed after a signal with the time that is left.
int PollFor(int fd, short events, uint32_t waitMs, short& revents)
{
    uint32_t start = platform::TickCount();
    for (;;) {
        uint32_t spent = platform::TickCount() - start;
        pollfd p{fd, events, 0};
        int r = poll(&p, 1, static_cast<int>(spent >= waitMs ? 0 : waitMs - spent));
        if (r < 0 && errno == EINTR)
            continue;
        revents = p.revents;
        return r;
    }
}

int OpenFailed(FlashIoDevice* io, UsbNative* native, const wchar_t* text)
{
    IoLog(io, LOG_ERROR, L"%s\n", text);
    UsbNativeClose(native);
    return -1;
}

} // namespace

UsbNative* UsbNativeCreate()
{
    auto* native = static_cast<UsbNative*>(calloc(1, sizeof(UsbNative)));
    if (native)
        native->fd = -1;
    return native;
}

void UsbNativeDestroy(UsbNative* native)
{
    if (!native)
        return;
    UsbNativeClose(native);
    free(native);
}

bool UsbNativeIsOpen(const UsbNative* native)
{
    return native && native->fd >= 0;
}

void UsbNativeEnumerate(FlashIoDevice* io, UsbNative*, const std::function<bool(int, wchar_t*)>& visit)
{
    UdevPtr<udev> u(udev_new());
    UdevPtr<udev_enumerate> e(u ? udev_enumerate_new(u.get()) : nullptr);
    if (!e)
        return;
    udev_enumerate_add_match_subsystem(e.get(), "hidraw");
    udev_enumerate_scan_devices(e.get());
    int index = 0;
    udev_list_entry* entry;
    udev_list_entry_foreach(entry, udev_enumerate_get_list_entry(e.get())) {
        UdevPtr<udev_device> device(udev_device_new_from_syspath(u.get(), udev_list_entry_get_name(entry)));
        std::wstring text = device ? IdentityText(device.get()) : std::wstring();
        if (text.empty()) {
            IoLog(io, LOG_DETAIL, L"Index: %d, cannot get detail\n", index++);
            continue;
        }
        std::vector<wchar_t> path(text.begin(), text.end());
        path.push_back(0);
        if (visit(index++, path.data()))
            return;
    }
}

int32_t UsbNativeOpen(FlashIoDevice* io, UsbNative* native, const wchar_t* path, int32_t vendorId, int32_t productId)
{
    std::string node = UsbHidrawNode(path);
    // While a device restarts its node is gone and the caller keeps asking
    // for it; such a node is not even tried.
    struct stat status {};
    int query = node.empty() || stat(node.c_str(), &status) != 0 ? -1
                                                                 : open(node.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (query < 0)
        return OpenFailed(io, native, L"do_usb_open - Could not create device Handle");
    close(query);
    uint32_t vid = 0, pid = 0;
    if (!HidAttributes(node, vid, pid))
        return OpenFailed(io, native, L"do_usb_open - Could not get HID Attributes");
    if (vendorId > 0 && vid != static_cast<uint32_t>(vendorId))
        return OpenFailed(io, native, L"do_usb_open - VID does not match");
    if (vendorId > 0 && pid != static_cast<uint32_t>(productId))
        return OpenFailed(io, native, L"do_usb_open - PID does not match");
    IoLog(io, LOG_INFO, L"do_usb_open - close share open handle after GetDeviceCapabilities.\n");
    IoLog(io, LOG_INFO, L"do_usb_open - will exclusive open usb device.\n");
    // hidraw lets every opener read every report; the lock keeps a second
    // flasher off the node as the Windows open without sharing does.
    native->fd = open(node.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
    if (native->fd < 0 || flock(native->fd, LOCK_EX | LOCK_NB) != 0)
        return OpenFailed(io, native, L"do_usb_open - failed to exclusive open usb device for read/write.");
    IoLog(io, LOG_DETAIL, L"Hid Report count: %d\n", kHidrawQueueLength);
    return 0;
}

void UsbNativeClose(UsbNative* native)
{
    if (native && native->fd >= 0) {
        close(native->fd);
        native->fd = -1;
    }
}

void UsbNativeFlushQueue(UsbNative* native)
{
    if (!UsbNativeIsOpen(native))
        return;
    uint8_t report[kUsbReportSize];
    while (read(native->fd, report, sizeof report) > 0) {
    }
}

bool UsbNativeWriteReport(FlashIoDevice* io, UsbNative* native, const uint8_t* report, uint32_t timeoutMs)
{
    // Written at once: hidraw sends the report before write() returns, and
    // whether it reports the node writable to poll() depends on the kernel.
    // Only a node that is a stream (an emulated one) may be full for now.
    ssize_t n = write(native->fd, report, kUsbReportSize);
    short revents = 0;
    if (n < 0 && errno == EAGAIN && PollFor(native->fd, POLLOUT, timeoutMs, revents) > 0)
        n = write(native->fd, report, kUsbReportSize);
    if (n < 0 && errno == EAGAIN) {
        IoLog(io, LOG_ERROR, L"%s: write report fails: 0x%08x\n", L"my_usb_writeREPORT", static_cast<unsigned>(errno));
        return false;
    }
    if (n < 0) {
        IoLog(io, LOG_ERROR, L"%s: Write error: 0x%08x\n", L"my_usb_writeREPORT", static_cast<unsigned>(errno));
        return false;
    }
    if (n != static_cast<ssize_t>(kUsbReportSize)) {
        IoLog(io, LOG_ERROR, L"%s: Did not write full report\n", L"my_usb_writeREPORT");
        return false;
    }
    return true;
}

UsbReadResult UsbNativeReadReport(FlashIoDevice* io, UsbNative* native, uint8_t* report, uint32_t waitMs,
                                  uint32_t* received)
{
    short revents = 0;
    int ready = PollFor(native->fd, POLLIN, waitMs, revents);
    if (ready < 0) {
        IoLog(io, LOG_ERROR, L"%s Error: %d\n", L"my_usb_READREPORT", errno);
        return UsbReadResult::Failed;
    }
    if (ready == 0) {
        IoLog(io, LOG_HID, L"Partial: %d %d\n", 0, 0);
        IoLog(io, LOG_ERROR, L"%s: USB Fill Timeout\n", L"my_usb_READREPORT");
        return UsbReadResult::Timeout;
    }
    // One report per read; a node that hung up without data left reads 0.
    ssize_t n = (revents & (POLLIN | POLLHUP | POLLERR)) ? read(native->fd, report, kUsbReportSize) : -1;
    if (n > 0) {
        IoLog(io, LOG_HID, L"Partial: %d %d\n", 1, static_cast<int>(n));
        *received = static_cast<uint32_t>(n);
        return UsbReadResult::Report;
    }
    if (n == 0 || (revents & (POLLHUP | POLLNVAL)) || DeviceGone(errno)) {
        IoLog(io, LOG_ERROR, L"ReadFile DEVICE NOT CONNECTED!\n");
        return UsbReadResult::Gone;
    }
    if (errno == EAGAIN) {
        IoLog(io, LOG_ERROR, L"%s: USB Fill Timeout\n", L"my_usb_READREPORT");
        return UsbReadResult::Timeout;
    }
    IoLog(io, LOG_ERROR, L"ReadFile Failure!\n");
    return UsbReadResult::Failed;
}
