#include "sim/usb/HidrawIoctls.h"

#include <umockdev.h>

#include <linux/hidraw.h>
#include <linux/input.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace sim {

namespace {

// Vendor page; report ids 0x02 (the device's) and 0xFD (the host's), 63
// data bytes each way, so a host's caps give 64-byte input and output
// reports with their id.
const uint8_t kDescriptor[] = {
    0x06, 0x00, 0xFF,        // Usage Page (vendor 0xFF00)
    0x09, 0x01,              // Usage (1)
    0xA1, 0x01,              // Collection (application)
    0x15, 0x00,              //   Logical Minimum (0)
    0x26, 0xFF, 0x00,        //   Logical Maximum (255)
    0x75, 0x08,              //   Report Size (8)
    0x95, 0x3F,              //   Report Count (63)
    0x85, 0x02,              //   Report ID (2)
    0x09, 0x02, 0x81, 0x02,  //   Usage (2), Input (data, variable, absolute)
    0x09, 0x03, 0x91, 0x02,  //   Usage (3), Output
    0x85, 0xFD,              //   Report ID (0xFD)
    0x09, 0x04, 0x81, 0x02,  //   Usage (4), Input
    0x09, 0x05, 0x91, 0x02,  //   Usage (5), Output
    0xC0,                    // End Collection
};

gboolean Complete(UMockdevIoctlClient* client, long result, int error)
{
    umockdev_ioctl_client_complete(client, result, error);
    return TRUE;
}

// Copies size bytes into the caller's buffer of room bytes.
gboolean Answer(UMockdevIoctlClient* client, const void* data, size_t size, size_t room, long result)
{
    GError* error = nullptr;
    UMockdevIoctlData* target =
        umockdev_ioctl_data_resolve(umockdev_ioctl_client_get_arg(client), 0, room, &error);
    if (!target) {
        g_clear_error(&error);
        return Complete(client, -1, EFAULT);
    }
    std::memcpy(target->data, data, std::min(size, room));
    return Complete(client, result, 0);
}

gboolean AnswerDescriptor(UMockdevIoctlClient* client)
{
    GError* error = nullptr;
    UMockdevIoctlData* target = umockdev_ioctl_data_resolve(umockdev_ioctl_client_get_arg(client), 0,
                                                            sizeof(hidraw_report_descriptor), &error);
    if (!target) {
        g_clear_error(&error);
        return Complete(client, -1, EFAULT);
    }
    // The caller says how many bytes it wants, as the kernel expects.
    auto* descriptor = reinterpret_cast<hidraw_report_descriptor*>(target->data);
    if (descriptor->size > HID_MAX_DESCRIPTOR_SIZE)
        return Complete(client, -1, EINVAL);
    std::memcpy(descriptor->value, kDescriptor, std::min<size_t>(descriptor->size, sizeof kDescriptor));
    return Complete(client, 0, 0);
}

gboolean OnIoctl(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer data)
{
    HidrawIoctls::Facts facts = static_cast<HidrawIoctls*>(data)->Now();
    unsigned long request = umockdev_ioctl_client_get_request(client);
    if (request == HIDIOCGRDESCSIZE) {
        int size = sizeof kDescriptor;
        return Answer(client, &size, sizeof size, sizeof size, 0);
    }
    if (request == HIDIOCGRDESC)
        return AnswerDescriptor(client);
    if (request == HIDIOCGRAWINFO) {
        hidraw_devinfo info{BUS_USB, static_cast<__s16>(facts.ids.vendorId),
                            static_cast<__s16>(facts.ids.productId)};
        return Answer(client, &info, sizeof info, sizeof info, 0);
    }
    // The name and physical-path requests carry the caller's buffer size.
    unsigned room = _IOC_SIZE(request);
    bool name = request == HIDIOCGRAWNAME(room), phys = request == HIDIOCGRAWPHYS(room);
    if (name || phys) {
        const std::string& text = name ? facts.name : facts.phys;
        size_t size = std::min<size_t>(text.size() + 1, room);
        return Answer(client, text.c_str(), text.size() + 1, room, static_cast<long>(size));
    }
    return Complete(client, -1, ENOTTY);
}

} // namespace

HidrawIoctls::HidrawIoctls() : handler_(static_cast<UMockdevIoctlBase*>(g_object_new(UMOCKDEV_TYPE_IOCTL_BASE, nullptr)))
{
    g_signal_connect(handler_, "handle-ioctl", G_CALLBACK(OnIoctl), this);
}

HidrawIoctls::~HidrawIoctls()
{
    g_signal_handlers_disconnect_by_data(handler_, this);
    g_object_unref(handler_);
}

void HidrawIoctls::Describe(const UsbIds& ids, const std::string& name, const std::string& phys)
{
    std::lock_guard<std::mutex> lock(mutex_);
    facts_ = {ids, name, phys};
}

HidrawIoctls::Facts HidrawIoctls::Now()
{
    std::lock_guard<std::mutex> lock(mutex_);
    return facts_;
}

} // namespace sim
