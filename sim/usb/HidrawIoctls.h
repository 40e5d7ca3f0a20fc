// The answers of a hidraw node to the ioctls a HID host asks before it
// uses the device: the report descriptor (the scanner's two 64-byte
// reports), the bus and ids, the name and the physical path. Anything else
// is refused with ENOTTY, as a hidraw node does.
#pragma once

#include "sim/UsbFace.h"

#include <mutex>
#include <string>

typedef struct _UMockdevIoctlBase UMockdevIoctlBase;

namespace sim {

class HidrawIoctls {
public:
    HidrawIoctls();
    ~HidrawIoctls();
    HidrawIoctls(const HidrawIoctls&) = delete;
    HidrawIoctls& operator=(const HidrawIoctls&) = delete;

    // The device that has the node now; safe while the handler answers.
    void Describe(const UsbIds& ids, const std::string& name, const std::string& phys);
    // For umockdev_testbed_attach_ioctl; stays ours.
    UMockdevIoctlBase* Handler() const { return handler_; }

    struct Facts {
        UsbIds ids;
        std::string name;
        std::string phys;
    };
    Facts Now();

private:
    UMockdevIoctlBase* handler_;
    std::mutex mutex_;  // the handler answers on umockdev's thread
    Facts facts_;
};

} // namespace sim
