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
#include <linux/hidraw.h>
#include <sys/ioctl.h>
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
    char* node;             // the open node's path, for the presence check
    uint32_t outputLength;  // the device's reports, report id included
    uint32_t inputLength;
    uint8_t outReport[kUsbMaxReportLength];
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

// The ids, interface number and serial number of a node's USB device, from
// sysfs; a device without a serial number has no such attribute.
bool NodeFacts(const std::string& node, UsbDeviceFacts& facts)
{
    UdevPtr<udev> u(udev_new());
    size_t slash = node.rfind('/');
    std::string sysname = slash == std::string::npos ? node : node.substr(slash + 1);
    UdevPtr<udev_device> hidraw(u ? udev_device_new_from_subsystem_sysname(u.get(), "hidraw", sysname.c_str()) : nullptr);
    if (!hidraw)
        return false;
    udev_device* usb = udev_device_get_parent_with_subsystem_devtype(hidraw.get(), "usb", "usb_device");
    udev_device* intf = udev_device_get_parent_with_subsystem_devtype(hidraw.get(), "usb", "usb_interface");
    uint32_t vid = 0, pid = 0, number = 0;
    if (!HidAttributes(node, vid, pid))
        return false;
    if (intf) {
        HexAttribute(intf, "bInterfaceNumber", number);
        const char* name = udev_device_get_sysname(intf);
        facts.location = name ? platform::Utf8ToWide(name) : std::wstring();
    }
    facts.vendorId = static_cast<int32_t>(vid);
    facts.productId = static_cast<int32_t>(pid);
    facts.interfaceNumber = static_cast<int32_t>(number);
    const char* serial = usb ? udev_device_get_sysattr_value(usb, "serial") : nullptr;
    facts.hasSerial = serial && *serial;
    facts.serial = facts.hasSerial ? platform::Utf8ToWide(serial) : std::wstring();
    return true;
}

// Without a udev daemon (a container, a rescue shell) no node is ever
// marked as set up, and the nodes devtmpfs makes are taken as they are.
bool UdevIsActive(udev* u)
{
    udev_queue* queue = udev_queue_new(u);
    bool active = queue && udev_queue_get_udev_is_active(queue) > 0;
    if (queue)
        udev_queue_unref(queue);
    return active;
}

// After a read error the node's path tells whether the device is still
// there: its node goes with it.
bool StillPresent(const UsbNative* native)
{
    struct stat status {};
    return native->node && stat(native->node, &status) == 0;
}

bool DeviceGone(const UsbNative* native, int error)
{
    return error == ENODEV || error == EIO || error == ENXIO || !StillPresent(native);
}

UsbReadResult ReadFailed(FlashIoDevice* io, const UsbNative* native, int error)
{
    if (DeviceGone(native, error)) {
        IoLog(io, LOG_ERROR, L"ReadFile DEVICE NOT CONNECTED!\n");
        return UsbReadResult::Gone;
    }
    IoLog(io, LOG_ERROR, L"ReadFile Failure!\n");
    IoLog(io, LOG_ERROR, L"%s: read: (%d) %hs\n", L"my_usb_READREPORT", error, strerror(error));
    return UsbReadResult::Failed;
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

// Why an open of the node failed, in words a user can act on; error is the
// errno of the failed call.
const char* OpenFailureCause(int error)
{
    switch (error) {
    case EACCES:
    case EPERM:
        return "no permission to open it (a udev rule gives it to the user at the seat)";
    case EBUSY:
        return "another program holds the device; close it and try again";
    case EWOULDBLOCK:
        return "another flasher holds the device (its lock is taken)";
    case ENOENT:
    case ENODEV:
    case ENXIO:
        return "the device is gone";
    default:
        return "";
    }
}

// The system's own text of every failed open, with the node, so that a log
// tells a permission problem from a busy or vanished device.
int OpenFailedWith(FlashIoDevice* io, UsbNative* native, const wchar_t* text, const std::string& node, int error)
{
    IoLog(io, LOG_ERROR, L"%s\n", text);
    const char* cause = OpenFailureCause(error);
    IoLog(io, LOG_ERROR, L"do_usb_open - %hs: (%d) %hs%hs%hs\n", node.c_str(), error, strerror(error),
          *cause ? ": " : "", cause);
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
    free(native->node);
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
    bool udevRuns = UdevIsActive(u.get());
    int index = 0;
    udev_list_entry* entry;
    udev_list_entry_foreach(entry, udev_enumerate_get_list_entry(e.get())) {
        UdevPtr<udev_device> device(udev_device_new_from_syspath(u.get(), udev_list_entry_get_name(entry)));
        // A node that has just appeared is root's until udev has applied
        // its rules; tried now it would fail for want of permission, or be
        // claimed before its rules ran.
        if (device && udevRuns && !udev_device_get_is_initialized(device.get())) {
            IoLog(io, LOG_DETAIL, L"Index: %d, not yet set up by udev: %hs\n", index++,
                  udev_device_get_sysname(device.get()));
            continue;
        }
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

namespace {

// The lengths of the scanner's two reports as the device's report
// descriptor declares them. A node that gives no descriptor is taken to
// have the scanner's 64-byte reports.
void ReadReportLengths(FlashIoDevice* io, UsbNative* native)
{
    native->outputLength = kUsbReportSize;
    native->inputLength = kUsbReportSize;
    int size = 0;
    hidraw_report_descriptor descriptor{};
    if (ioctl(native->fd, HIDIOCGRDESCSIZE, &size) < 0 || size <= 0 || size > HID_MAX_DESCRIPTOR_SIZE) {
        IoLog(io, LOG_INFO, L"do_usb_open - no report descriptor, taking %d-byte reports\n",
              static_cast<int>(kUsbReportSize));
        return;
    }
    descriptor.size = static_cast<uint32_t>(size);
    if (ioctl(native->fd, HIDIOCGRDESC, &descriptor) < 0) {
        IoLog(io, LOG_INFO, L"do_usb_open - no report descriptor, taking %d-byte reports\n",
              static_cast<int>(kUsbReportSize));
        return;
    }
    native->outputLength =
        UsbDescribedReportLength(descriptor.value, descriptor.size, kUsbOutputReportId, UsbReportKind::Output);
    native->inputLength =
        UsbDescribedReportLength(descriptor.value, descriptor.size, kUsbInputReportId, UsbReportKind::Input);
}

} // namespace

int32_t UsbNativeOpen(FlashIoDevice* io, UsbNative* native, const wchar_t* path, int32_t vendorId, int32_t productId)
{
    std::string node = UsbHidrawNode(path);
    // While a device restarts its node is gone and the caller keeps asking
    // for it; such a node is not even tried.
    if (node.empty())
        return OpenFailed(io, native, L"do_usb_open - Could not create device Handle");
    struct stat status {};
    int query = stat(node.c_str(), &status) != 0 ? -1 : open(node.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (query < 0)
        return OpenFailedWith(io, native, L"do_usb_open - Could not create device Handle", node, errno);
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
        return OpenFailedWith(io, native, L"do_usb_open - failed to exclusive open usb device for read/write.", node,
                              errno);
    ReadReportLengths(io, native);
    if (!UsbLengthsCarryFraming(native->outputLength, native->inputLength)) {
        IoLog(io, LOG_ERROR,
              L"do_usb_open - %hs: its reports cannot carry the scanner's framing: output report 0x%02x %d bytes, "
              L"input report 0x%02x %d bytes (at least %d and %d needed)\n",
              node.c_str(), kUsbOutputReportId, static_cast<int>(native->outputLength), kUsbInputReportId,
              static_cast<int>(native->inputLength), static_cast<int>(kUsbReportSize),
              static_cast<int>(kUsbInputHeaderSize + kUsbMaxInputPayload));
        return OpenFailed(io, native, L"do_usb_open - failed to exclusive open usb device for read/write.");
    }
    free(native->node);
    native->node = strdup(node.c_str());
    if (!native->node)
        return OpenFailed(io, native, L"do_usb_open - failed to exclusive open usb device for read/write.");
    IoLog(io, LOG_DETAIL, L"Hid Report count: %d\n", kHidrawQueueLength);
    return 0;
}

bool UsbNativeDescribe(FlashIoDevice*, UsbNative*, const wchar_t* path, UsbDeviceFacts* facts)
{
    std::string node = UsbHidrawNode(path);
    struct stat status {};
    return !node.empty() && stat(node.c_str(), &status) == 0 && NodeFacts(node, *facts);
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
    uint8_t report[kUsbMaxReportLength];
    while (read(native->fd, report, native->inputLength) > 0) {
    }
}

bool UsbNativeWriteReport(FlashIoDevice* io, UsbNative* native, const uint8_t* report, uint32_t timeoutMs)
{
    // Written at once: hidraw sends the report before write() returns, and
    // whether it reports the node writable to poll() depends on the kernel.
    // Only a node that is a stream (an emulated one) may be full for now.
    // The kernel bounds the write itself (its USB timeout, about 5 s, even on
    // a non-blocking descriptor); nothing here can cancel it sooner, so a
    // device that refuses the report costs that much and the write fails.
    // The device's own output length: a report of another size is refused.
    uint32_t length = native->outputLength;
    memset(native->outReport, 0, sizeof native->outReport);
    memcpy(native->outReport, report, kUsbReportSize);
    ssize_t n = write(native->fd, native->outReport, length);
    short revents = 0;
    if (n < 0 && errno == EAGAIN && PollFor(native->fd, POLLOUT, timeoutMs, revents) > 0)
        n = write(native->fd, native->outReport, length);
    if (n < 0 && errno == EAGAIN) {
        IoLog(io, LOG_ERROR, L"%s: write report fails: 0x%08x\n", L"my_usb_writeREPORT", static_cast<unsigned>(errno));
        return false;
    }
    if (n < 0) {
        IoLog(io, LOG_ERROR, L"%s: Write error: 0x%08x\n", L"my_usb_writeREPORT", static_cast<unsigned>(errno));
        return false;
    }
    if (n != static_cast<ssize_t>(length)) {
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
        int error = errno;
        IoLog(io, LOG_ERROR, L"%s Error: %d\n", L"my_usb_READREPORT", error);
        return ReadFailed(io, native, error);
    }
    if (ready == 0) {
        IoLog(io, LOG_HID, L"Partial: %d %d\n", 0, 0);
        IoLog(io, LOG_ERROR, L"%s: USB Fill Timeout\n", L"my_usb_READREPORT");
        return UsbReadResult::Timeout;
    }
    // One report per read; a node that hung up without data left reads 0.
    errno = EIO;
    ssize_t n = (revents & (POLLIN | POLLHUP | POLLERR)) ? read(native->fd, report, native->inputLength) : -1;
    if (n > 0) {
        IoLog(io, LOG_HID, L"Partial: %d %d\n", 1, static_cast<int>(n));
        *received = static_cast<uint32_t>(n);
        return UsbReadResult::Report;
    }
    int error = n < 0 ? errno : 0;
    if (n == 0 || (revents & (POLLHUP | POLLNVAL))) {
        IoLog(io, LOG_ERROR, L"ReadFile DEVICE NOT CONNECTED!\n");
        return UsbReadResult::Gone;
    }
    if (error == EAGAIN) {
        IoLog(io, LOG_ERROR, L"%s: USB Fill Timeout\n", L"my_usb_READREPORT");
        return UsbReadResult::Timeout;
    }
    return ReadFailed(io, native, error);
}
