#include "sim/InProcess.h"

#include <algorithm>
#include <cstring>
#include <optional>

namespace sim {

namespace {

struct Link {
    Device* device;
    platform::VirtualClock* clock;
    InProcessOptions options;
    bool open = false;
    uint64_t wireDebtUs = 0;   // host wire time not yet a whole millisecond
    // The last call was a purge: an empty read with a short timeout now is
    // the host draining the line, which a recording only counts.
    bool drainMayFollow = false;

    // The port this link was opened under has disappeared.
    bool Gone() const { return !options.portName.empty() && options.portName != device->PortName(); }
};

Link* LinkOf(FlashIoDevice* io)
{
    return io ? static_cast<Link*>(io->cookie) : nullptr;
}

void SimDestroy(FlashIoDevice* io)
{
    delete LinkOf(io);
    ClearTransportSlots(io);
}

void SimPurge(FlashIoDevice* io)
{
    Link* link = LinkOf(io);
    if (link && link->open) {
        link->device->Purge(link->clock->Now());
        link->drainMayFollow = true;
    }
}

int32_t SimOpen(FlashIoDevice* io)
{
    Link* link = LinkOf(io);
    if (!link || link->Gone())
        return -1;
    if (sim::Replay* replay = link->device->TheReplay())
        if (std::optional<int32_t> recorded = replay->OpenResult(); recorded && *recorded < 0)
            return *recorded;
    link->drainMayFollow = false;
    if (!link->open) {
        link->open = true;
        link->device->SetHostLine(link->options.line);
        link->device->Purge(link->clock->Now());
    }
    return 0;
}

int32_t SimClose(FlashIoDevice* io)
{
    Link* link = LinkOf(io);
    if (!link)
        return -1;
    link->drainMayFollow = false;
    if (link->open) {
        link->device->Purge(link->clock->Now());
        link->open = false;
    }
    return 0;
}

int32_t SimWrite(FlashIoDevice* io, const uint8_t* data, uint32_t length)
{
    Link* link = LinkOf(io);
    if (!link || !link->open || link->Gone())
        return -1;
    const LineSettings& line = link->options.line;
    if (link->options.hostWireTime && line.baud > 0) {
        uint64_t bits = 1u + line.dataBits + (line.parity == 'N' ? 0u : 1u) + line.stopBits;
        link->wireDebtUs += length * bits * 1000000ull / line.baud;
        uint64_t ms = link->wireDebtUs / 1000;
        link->wireDebtUs %= 1000;
        if (ms)
            link->clock->Advance(ms);
    }
    link->drainMayFollow = false;
    if (sim::Replay* replay = link->device->TheReplay()) {
        uint64_t took = 0;
        if (std::optional<int32_t> recorded = replay->WriteResult(data, length, &took)) {
            link->clock->Advance(took);
            if (*recorded > 0)
                link->device->Receive(data, std::min<uint32_t>(length, static_cast<uint32_t>(*recorded)),
                                      link->clock->Now(), line);
            return *recorded;
        }
    }
    link->device->Receive(data, length, link->clock->Now(), line);
    return static_cast<int32_t>(length);
}

int32_t SimRead(FlashIoDevice* io, uint8_t* buffer, uint32_t length, uint32_t timeoutMs)
{
    if (buffer && length)
        std::memset(buffer, 0, length);
    Link* link = LinkOf(io);
    if (!link || !link->open)
        return -1;
    if (length == 0)
        return 0;
    platform::VirtualClock& clock = *link->clock;
    bool drain = link->drainMayFollow && timeoutMs < 100;
    link->drainMayFollow = false;
    // A replaying device that has nothing left to send here answers as the
    // recorded read did when the device had gone.
    sim::Replay* replay = link->device->TheReplay();
    if (replay && !drain && !link->device->NextEvent()) {
        uint64_t took = 0;
        if (std::optional<int32_t> recorded = replay->GoneRead(&took)) {
            clock.Advance(took);
            return *recorded;
        }
    }
    uint64_t start = clock.Now();
    uint64_t deadline = start + timeoutMs;
    uint32_t count = 0;
    for (;;) {
        bool gone = link->Gone();
        if (!gone)
            count += static_cast<uint32_t>(link->device->Read(buffer + count, length - count, clock.Now()));
        if (count == length)
            return static_cast<int32_t>(count);
        uint64_t now = clock.Now();
        if (now >= deadline) {
            uint64_t took = 0;
            if (count == 0 && replay && !drain)
                if (std::optional<int32_t> recorded = replay->EmptyRead(&took)) {
                    // It may have outlasted its timeout (a USB read's own loop).
                    if (start + took > now)
                        clock.Advance(start + took - now);
                    return *recorded;
                }
            return static_cast<int32_t>(count);
        }
        std::optional<Time> next = gone ? std::nullopt : link->device->NextEvent();
        uint64_t target = next && *next < deadline ? *next : deadline;
        clock.Advance(target > now ? target - now : 1);
    }
}

} // namespace

LineSettings LineFromDcb(const DCB& dcb)
{
    static const char kParity[] = "NOEMS";
    LineSettings line;
    line.baud = dcb.BaudRate;
    line.dataBits = dcb.ByteSize;
    line.parity = dcb.Parity < 5 ? kParity[dcb.Parity] : '?';
    line.stopBits = dcb.StopBits == ONESTOPBIT ? 1 : 2;
    // As a POSIX port takes them: CTS watched or RTS handshaking; XON/XOFF either way.
    line.rtsCts = dcb.fOutxCtsFlow || dcb.fRtsControl == RTS_CONTROL_HANDSHAKE;
    line.xonXoff = dcb.fOutX || dcb.fInX;
    return line;
}

void ObserveClock(Device& device, platform::VirtualClock& clock)
{
    if (!device.MarkObserved(&clock))
        return;
    std::weak_ptr<bool> alive = device.AliveToken();
    Device* target = &device;
    clock.AddObserver([alive, target](uint64_t now) {
        if (!alive.expired())
            target->Advance(now);
    });
}

int32_t InstallInProcess(FlashIoDevice* io, Device& device, platform::VirtualClock& clock,
                         const InProcessOptions& options)
{
    if (io->destroy)
        io->destroy(io);
    ClearTransportSlots(io);
    if (Replay* replay = device.TheReplay())
        if (std::optional<int32_t> recorded = replay->SetupResult(); recorded && *recorded != 0)
            return *recorded;
    if (!options.portName.empty() && options.portName != device.PortName())
        return -3;
    ObserveClock(device, clock);
    io->cookie = new Link{&device, &clock, options};
    io->destroy = SimDestroy;
    io->purge = SimPurge;
    io->open = SimOpen;
    io->close = SimClose;
    io->writeBytes = SimWrite;
    io->readBytes = SimRead;
    return 0;
}

} // namespace sim
