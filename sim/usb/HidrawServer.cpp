#include "sim/usb/HidrawServer.h"

#include <algorithm>
#include <cerrno>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/syscall.h>
#include <ctime>
#include <unistd.h>

namespace sim {

namespace {

// The longest the server sleeps without looking at the device's schedule.
constexpr int kMaxWaitMs = 20;
// What a host that does not read can have waiting, as a HID driver's
// input buffers (512 on Windows).
constexpr size_t kMaxPendingReports = 512;
// The least time a device that moves is off the bus.
constexpr Time kMovingOffBusMs = 200;

} // namespace

HidrawServer::HidrawServer(HidrawTestbed& testbed, Device& device, int port)
    : testbed_(testbed), face_(device), port_(port)
{
}

HidrawServer::~HidrawServer()
{
    Stop();
}

Time HidrawServer::Now() const
{
    return static_cast<Time>(
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start_).count());
}

bool HidrawServer::Start()
{
    face_.TheDevice().Advance(Now());
    UpdateBus();
    if (face_.Attached() && !plugged_)
        return false;
    stop_ = false;
    thread_ = std::thread([this] { Run(); });
    return true;
}

void HidrawServer::Stop()
{
    stop_ = true;
    if (thread_.joinable())
        thread_.join();
    std::lock_guard<std::mutex> lock(mutex_);
    if (plugged_)
        testbed_.Unplug(node_);
    plugged_ = false;
}

std::string HidrawServer::Devnode()
{
    std::lock_guard<std::mutex> lock(mutex_);
    return plugged_ ? node_.devnode : std::string();
}

std::string HidrawServer::UsbInterface()
{
    std::lock_guard<std::mutex> lock(mutex_);
    return plugged_ ? node_.usbInterface : std::string();
}

void HidrawServer::Inject(const UsbReport& report)
{
    std::lock_guard<std::mutex> lock(mutex_);
    injected_.push_back(report);
}

void HidrawServer::Run()
{
    while (!stop_)
        Step();
}

// Off the bus while restarting or vanished; back as a new enumeration with
// the ids of what it runs now.
void HidrawServer::UpdateBus()
{
    bool wanted = face_.Attached() && !vanished_;
    std::lock_guard<std::mutex> lock(mutex_);
    if (plugged_ && (!wanted || face_.Enumeration() != enumeration_)) {
        lastHidraw_ = node_.hidraw;
        unpluggedAt_ = Now();
        testbed_.Unplug(node_);
        plugged_ = false;
        pending_.clear();
        face_.TheDevice().Env().Trace("usb", "off the bus");
    }
    // Hardware is off the bus for a while when it restarts, and a host may
    // miss a device that goes and comes in the same instant (Wine 8.0 does).
    if (moving_ && unpluggedAt_ && Now() < *unpluggedAt_ + kMovingOffBusMs)
        return;
    if (!plugged_ && wanted) {
        UsbIds ids = face_.Ids();
        HidrawTestbed::PlugOptions options;
        options.serialNumber = serialNumber_;
        // A serial number belongs to the device, not to the port it is on.
        options.serial = "SIM" + std::to_string(port_);
        int port = port_;
        if (moving_) {
            // A port per enumeration, past those of other devices' ports.
            port = port_ + 10 * static_cast<int>(face_.Enumeration());
            options.avoidHidraw = lastHidraw_;
        }
        if (auto node = testbed_.Plug(ids, port, options)) {
            node_ = *node;
            plugged_ = true;
            enumeration_ = face_.Enumeration();
            face_.TheDevice().Env().Trace("usb", "on the bus as " + node_.devnode);
        }
    }
}

// Whether the host's side of the node holds nothing: the last report was
// read. A pty hands written bytes to its reader from a kernel worker, which a
// loaded machine runs late, so FIONREAD alone can count a report not yet
// handed over as read (and two reports then reach the host as one read); a
// poll of the reader's end makes the kernel finish the hand-over first. Both
// go to the kernel directly, as umockdev's preload does not pass them on.
bool HidrawServer::HostTookLastReport()
{
    pollfd hostSide{node_.hostEnd, POLLIN, 0};
    timespec now{};
    syscall(SYS_ppoll, &hostSide, 1, &now, nullptr, 0);
    int queued = 0;
    if (syscall(SYS_ioctl, node_.hostEnd, FIONREAD, &queued) != 0)
        return true;
    return queued == 0;
}

void HidrawServer::ServeReports(Time now)
{
    std::vector<UsbReport> reports = face_.DeviceReports(now);
    std::lock_guard<std::mutex> lock(mutex_);
    if (!plugged_) {
        pending_.clear();  // nobody can hear a device that is off the bus
        return;
    }
    pending_.insert(pending_.end(), reports.begin(), reports.end());
    pending_.insert(pending_.begin(), injected_.begin(), injected_.end());
    injected_.clear();
    for (; pending_.size() > kMaxPendingReports; pending_.pop_front())
        face_.TheDevice().Env().Trace("usb", "input report lost: the host does not read");
    if (pending_.empty() || !HostTookLastReport())
        return;
    const UsbReport& report = pending_.front();
    if (write(node_.fd, report.data(), report.size()) != static_cast<ssize_t>(report.size()))
        face_.TheDevice().Env().Trace("usb", "input report lost: the host does not read");
    pending_.pop_front();
}

void HidrawServer::Step()
{
    Time now = Now();
    face_.TheDevice().Advance(now);
    UpdateBus();
    ServeReports(now);

    std::optional<Time> next = face_.TheDevice().NextEvent();
    int timeout = kMaxWaitMs;
    if (!pending_.empty())
        timeout = 1;
    else if (next)
        timeout = *next <= now ? 0 : static_cast<int>(std::min<Time>(*next - now, kMaxWaitMs));
    int fd = plugged_ ? node_.fd : -1;
    pollfd p{fd, POLLIN, 0};
    if (fd < 0 || poll(&p, 1, timeout) <= 0 || !(p.revents & POLLIN)) {
        // Without a host on the node it reports hang-up at once; wait anyway.
        if (fd < 0 || (p.revents & POLLHUP))
            usleep(static_cast<useconds_t>(std::max(timeout, 1)) * 1000);
        return;
    }
    uint8_t report[kUsbReportSize];
    ssize_t got = read(fd, report, sizeof report);
    if (got <= 0)
        return;
    if (face_.HostReport(report, static_cast<size_t>(got), Now()))
        ++hostReports_;
}

} // namespace sim
