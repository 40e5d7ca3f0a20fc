#include "sim/UsbLink.h"

#include "io/FlashIo.h"
#include "io/UsbHid.h"
#include "log/Log.h"
#include "platform/Platform.h"
#include "sim/InProcess.h"

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <deque>
#include <random>
#include <string>

namespace sim {

namespace {

// The host's input queue, and what bounds its writes: hidraw's queue per
// reader and the kernel's USB timeout on Linux; the input buffer count the
// library sets and the host's own bound on Windows.
#ifdef _WIN32
constexpr size_t kHostQueue = 512;
constexpr bool kKernelBoundWrites = false;
#else
constexpr size_t kHostQueue = 64;
constexpr bool kKernelBoundWrites = true;
#endif
constexpr uint32_t kKernelWriteTimeoutMs = 5000;
// What a write that gave up says: ETIMEDOUT from hidraw, ERROR_TIMEOUT from
// the wait on Windows.
constexpr unsigned kKernelTimedOut = 110;
constexpr unsigned kWaitTimedOut = 1460;
// What write() says on a closed descriptor and on a node whose device left.
constexpr unsigned kBadDescriptor = 9;
constexpr unsigned kNoDevice = 19;

std::string NewInstance()
{
    static const uint32_t process = std::random_device{}();
    static std::atomic<uint32_t> count{0};
    char text[32];
    std::snprintf(text, sizeof text, "sim%08x.%u", process, count++);
    return text;
}

bool SameName(const std::string& a, const std::string& b)
{
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::tolower(static_cast<unsigned char>(x)) == std::tolower(static_cast<unsigned char>(y));
           });
}

} // namespace

// One handle of the system on the device: the transport's native part.
struct UsbLink::Handle {
    explicit Handle(UsbLink& owner) : link(owner) {}

    UsbLink& link;
    bool open = false;
    uint32_t session = 0;     // the device's bus departures when it was opened
    Time polledTo = 0;        // the last poll that brought a report
    std::deque<UsbReport> held;
    bool dropping = false;    // the last poll's report was dropped

    Device& TheDevice() { return link.device_; }
    Time Now() const { return link.clock_.Now(); }
    bool OnBus() { return open && TheDevice().BusDepartures() == session; }

    // Switches on the link's faults once their command frame has come.
    void StartFaults()
    {
        Environment& env = TheDevice().Env();
        const Faults& f = env.faults;
        uint32_t frames = env.counters.commandFrames;
        if (f.usbBurstFrame && !link.burstStarted_ && frames >= f.usbBurstFrame) {
            link.burstStarted_ = true;
            link.burstAt_ = Now();
            link.burstLeft_ = f.usbBurstReports;
            env.Trace("usb", "fault: a burst of " + std::to_string(f.usbBurstReports) + " foreign input reports");
        }
        if (f.usbRefuseOutFrame && !link.refusalStarted_ && frames >= f.usbRefuseOutFrame) {
            link.refusalStarted_ = true;
            link.refusedUntil_ = Now() + f.usbRefuseOutMs;
            env.Trace("usb", "fault: output reports refused for " + std::to_string(f.usbRefuseOutMs) + " ms");
        }
    }

    // A report of another kind than the scanner's data (a keyboard's).
    static UsbReport ForeignReport()
    {
        UsbReport report{};
        report[0] = 1;
        report[2] = 0x1E;
        return report;
    }

    // When the endpoint's next report is due: the burst's go first.
    std::optional<Time> NextDue()
    {
        if (link.burstLeft_ > 0)
            return link.burstAt_;
        return TheDevice().NextOutput();
    }

    // The polls up to now (or until the device left the bus). A report that
    // comes while the queue is full is dropped, as hidraw drops it.
    void Poll()
    {
        if (!open)
            return;
        StartFaults();
        Device& device = TheDevice();
        Time end = Now();
        if (device.BusDepartures() > session)
            end = std::min(end, device.DepartedAt(session));
        for (;;) {
            std::optional<Time> due = NextDue();
            if (!due)
                return;
            Time at = std::max(polledTo + 1, *due + 1);
            if (at > end)
                return;
            std::optional<UsbReport> report;
            if (link.burstLeft_ > 0) {
                report = ForeignReport();
                --link.burstLeft_;
            } else {
                report = link.face_.DeviceReport(at - 1);
            }
            if (!report)
                return;
            polledTo = at;
            ++link.deviceReports_;
            if (held.size() >= link.queueLength_) {
                if (!dropping)
                    device.Env().Trace("usb", "input report dropped: the host's queue is full");
                dropping = true;
                ++link.droppedReports_;
                continue;
            }
            dropping = false;
            held.push_back(*report);
        }
    }

    // When the next report could be held, or the device has other work.
    Time NextChange(Time deadline)
    {
        Device& device = TheDevice();
        Time next = deadline;
        if (std::optional<Time> due = NextDue())
            next = std::min(next, std::max(polledTo + 1, *due + 1));
        if (std::optional<Time> work = device.NextEvent())
            next = std::min(next, *work);
        return std::max(next, Now() + 1);
    }

    int32_t Open(FlashIoDevice* io, const wchar_t* path, int32_t vendorId, int32_t productId)
    {
        Device& device = TheDevice();
        std::string node = platform::WideToUtf8(path ? path : L"");
        node = node.substr(node.rfind('#') == std::string::npos ? 0 : node.rfind('#') + 1);
        if (!link.face_.Attached() || !SameName(node, device.PortName())) {
            IoLog(io, LOG_ERROR, L"do_usb_open - Could not create device Handle\n");
            return -1;
        }
        UsbIds ids = link.face_.Ids();
        if (vendorId > 0 && ids.vendorId != vendorId) {
            IoLog(io, LOG_ERROR, L"do_usb_open - VID does not match\n");
            return -1;
        }
        if (vendorId > 0 && ids.productId != productId) {
            IoLog(io, LOG_ERROR, L"do_usb_open - PID does not match\n");
            return -1;
        }
        IoLog(io, LOG_INFO, L"do_usb_open - close share open handle after GetDeviceCapabilities.\n");
        IoLog(io, LOG_INFO, L"do_usb_open - will exclusive open usb device.\n");
        if (link.openHandle_ && link.openHandle_ != this) {
            IoLog(io, LOG_ERROR, L"do_usb_open - failed to exclusive open usb device for read/write.\n");
            return -1;
        }
        open = true;
        link.openHandle_ = this;
        session = device.BusDepartures();
        polledTo = Now();
        held.clear();
        // What the device sent before the open went to nobody.
        device.Purge(Now());
        IoLog(io, LOG_DETAIL, L"Hid Report count: %d\n", static_cast<int>(link.queueLength_));
        return 0;
    }

    void Close()
    {
        if (open && link.openHandle_ == this)
            link.openHandle_ = nullptr;
        open = false;
        held.clear();
    }

    // Waits while the device refuses output reports, up to the write's
    // bound: false when the bound came first (the clock then at its end).
    bool AwaitAcceptance(FlashIoDevice* io, uint32_t timeoutMs)
    {
        StartFaults();
        if (Now() >= link.refusedUntil_)
            return true;
        Time bound = link.kernelBoundWrites_ ? kKernelWriteTimeoutMs : timeoutMs;
        if (link.refusedUntil_ - Now() <= bound) {
            link.clock_.Advance(link.refusedUntil_ - Now());
            return true;
        }
        link.clock_.Advance(bound);
        ++link.refusedWrites_;
        TheDevice().Env().Trace("usb", "output report refused: the write gave up");
        if (link.kernelBoundWrites_)
            IoLog(io, LOG_ERROR, L"%s: Write error: 0x%08x\n", L"my_usb_writeREPORT", kKernelTimedOut);
        else
            IoLog(io, LOG_ERROR, L"%s: write report fails: 0x%08x\n", L"my_usb_writeREPORT", kWaitTimedOut);
        return false;
    }

    bool Write(FlashIoDevice* io, const uint8_t* report, uint32_t timeoutMs)
    {
        if (!OnBus()) {
            IoLog(io, LOG_ERROR, L"%s: Write error: 0x%08x\n", L"my_usb_writeREPORT", open ? kNoDevice : kBadDescriptor);
            return false;
        }
        if (!AwaitAcceptance(io, timeoutMs))
            return false;
        if (!OnBus()) {
            IoLog(io, LOG_ERROR, L"%s: Write error: 0x%08x\n", L"my_usb_writeREPORT", kNoDevice);
            return false;
        }
        link.clock_.Advance(1);
        if (!OnBus()) {
            IoLog(io, LOG_ERROR, L"%s: Write error: 0x%08x\n", L"my_usb_writeREPORT", kNoDevice);
            return false;
        }
        link.face_.HostReport(report, kUsbReportSize, Now());
        ++link.hostReports_;
        // A fault due at the frame this report completed begins now, not
        // at the host's next read.
        StartFaults();
        return true;
    }

    UsbReadResult Read(FlashIoDevice* io, uint8_t* report, uint32_t waitMs, uint32_t* received)
    {
        Time deadline = Now() + waitMs;
        for (;;) {
            Poll();
            if (!held.empty()) {
                std::memcpy(report, held.front().data(), kUsbReportSize);
                held.pop_front();
                *received = kUsbReportSize;
                IoLog(io, LOG_HID, L"Partial: %d %d\n", 1, static_cast<int>(kUsbReportSize));
                return UsbReadResult::Report;
            }
            if (!OnBus()) {
                IoLog(io, LOG_ERROR, L"ReadFile DEVICE NOT CONNECTED!\n");
                return UsbReadResult::Gone;
            }
            if (Now() >= deadline) {
                IoLog(io, LOG_HID, L"Partial: %d %d\n", 0, 0);
                IoLog(io, LOG_ERROR, L"%s: USB Fill Timeout\n", L"my_usb_READREPORT");
                return UsbReadResult::Timeout;
            }
            link.clock_.Advance(NextChange(deadline) - Now());
        }
    }
};

namespace {

UsbLink::Handle* HandleOf(void* native)
{
    return static_cast<UsbLink::Handle*>(native);
}

const UsbBackend kLinkBackend = {
    [](void* context) -> void* { return new UsbLink::Handle(*static_cast<UsbLink*>(context)); },
    [](void* native) {
        HandleOf(native)->Close();
        delete HandleOf(native);
    },
    [](const void* native) { return static_cast<const UsbLink::Handle*>(native)->open; },
    [](FlashIoDevice*, void* native, const std::function<bool(int, wchar_t*)>& visit) {
        UsbLink& link = HandleOf(native)->link;
        if (!HandleOf(native)->TheDevice().Cable().Running())
            return;
        std::wstring path = link.DevicePath();
        visit(0, path.data());
    },
    [](FlashIoDevice* io, void* native, const wchar_t* path, int32_t vendorId, int32_t productId) {
        return HandleOf(native)->Open(io, path, vendorId, productId);
    },
    [](void* native) { HandleOf(native)->Close(); },
    [](void* native) {
        HandleOf(native)->Poll();
        HandleOf(native)->held.clear();
    },
    [](FlashIoDevice* io, void* native, const uint8_t* report, uint32_t timeoutMs) {
        return HandleOf(native)->Write(io, report, timeoutMs);
    },
    [](FlashIoDevice* io, void* native, uint8_t* report, uint32_t waitMs, uint32_t* received) {
        return HandleOf(native)->Read(io, report, waitMs, received);
    },
    // The link's device keeps its path across restarts: nothing to tell.
    [](FlashIoDevice*, void*, const wchar_t*, UsbDeviceFacts*) { return false; },
};

} // namespace

UsbLink::UsbLink(Device& device, platform::VirtualClock& clock)
    : device_(device), clock_(clock), face_(device), instance_(NewInstance()), queueLength_(kHostQueue),
      kernelBoundWrites_(kKernelBoundWrites)
{
}

std::wstring UsbLink::DevicePath() const
{
    UsbIds ids = face_.Ids();
    char text[64];
    std::snprintf(text, sizeof text, "simhid#vid_%04x&pid_%04x&mi_%02x#", static_cast<unsigned>(ids.vendorId) & 0xFFFF,
                  static_cast<unsigned>(ids.productId) & 0xFFFF, static_cast<unsigned>(ids.interfaceNumber) & 0xFF);
    return platform::Utf8ToWide(text + instance_ + "#" + device_.PortName());
}

int32_t UsbLink::Setup(FlashIoDevice* io, const UsbIdentity* identity)
{
    ObserveClock(device_, clock_);
    return UsbSetupOnBackend(io, identity, &kLinkBackend, this);
}

} // namespace sim
