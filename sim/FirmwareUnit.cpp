#include "sim/FirmwareUnit.h"

#include <algorithm>
#include <climits>
#include <cstdio>
#include <string>

namespace sim {

namespace {

// A setting's value: decimal digits only, as the host writes them.
bool ParseDecimal(const std::string& text, int32_t& out)
{
    if (text.empty() || text.size() > 10 || text.find_first_not_of("0123456789") != std::string::npos)
        return false;
    unsigned long long value = std::stoull(text);
    if (value > INT32_MAX)
        return false;
    out = static_cast<int32_t>(value);
    return true;
}

} // namespace

const char* ModeName(Mode mode)
{
    switch (mode) {
    case Mode::Application:
        return "application";
    case Mode::Bootloader:
        return "bootloader";
    case Mode::Restarting:
        return "restarting";
    case Mode::Silent:
        return "silent";
    }
    return "?";
}

FirmwareUnit::FirmwareUnit(std::string name, const UnitConfig& config, Environment& env)
    : env_(env), name_(std::move(name)), config_(config),
      mode_(config.startInBootloader || !config.applicationValid ? Mode::Bootloader : Mode::Application),
      applicationValid_(config.applicationValid), lowPower_(config.lowPower), incompat_(config.incompat),
      appVersion_(config.appVersion), bootVersion_(config.bootVersion), params_(config.boot)
{
    if (env_.faults.incompatible)
        incompat_.insert(incompat_.end(), config.compat.begin(), config.compat.end());
    areas_[0].number = 0;
    areas_[0].handle = 0x100;
    areas_[0].capacity = config.bootCapacity;
    areas_[1].number = 1;
    areas_[1].handle = 0x101;
    areas_[1].capacity = config.appCapacity;
}

bool FirmwareUnit::Asleep() const
{
    return lowPower_ && mode_ == Mode::Application && env_.Now() >= awakeUntil_;
}

void FirmwareUnit::SetMode(Mode mode)
{
    Mode from = mode_;
    if (from == mode)
        return;
    mode_ = mode;
    OnModeChanged(from, mode);
    if (modeChanged)
        modeChanged(from, mode);
}

void FirmwareUnit::OnModeChanged(Mode, Mode)
{
}

void FirmwareUnit::Restart(uint32_t delayMs, bool toBootloader)
{
    uint64_t epoch = epoch_;
    env_.scheduler.After(delayMs, [this, epoch, toBootloader] {
        if (epoch_ == epoch)
            BeginRestart(toBootloader, false);
    });
}

void FirmwareUnit::BeginRestart(bool toBootloader, bool afterReset)
{
    ++epoch_;
    menu_.Reset();
    decoder_.Reset();
    packetMode_ = false;
    pending_.reset();
    open_ = nullptr;
    updating_ = false;
    awakeUntil_ = 0;
    bool intoBootloader = toBootloader || lastEnded_ == 0 || !applicationValid_;
    lastEnded_ = -1;
    restartTarget_ = intoBootloader ? Mode::Bootloader : Mode::Application;
    bool silent = afterReset && env_.faults.silentAfterReset;
    Trace(std::string("restarting into the ") + ModeName(restartTarget_) +
          (silent ? " (fault: silent after reset)" : ""));
    SetMode(silent ? Mode::Silent : Mode::Restarting);
    // Taken after the trace, so that whoever watches it may still slow this restart.
    uint32_t downMs = env_.RestartMs();
    if (silent) {
        if (env_.faults.silentMs == 0)
            return;
        downMs = std::max(downMs, env_.faults.silentMs);
    }
    env_.counters.workMs += downMs;
    uint64_t epoch = epoch_;
    env_.scheduler.After(downMs, [this, epoch] {
        if (epoch_ != epoch)
            return;
        ++restarts_;
        Trace(std::string("running its ") + ModeName(restartTarget_) + " (app " + appVersion_ + ", boot " +
              bootVersion_ + ")");
        SetMode(restartTarget_);
    });
}

void FirmwareUnit::Send(const std::string& bytes, uint32_t delayMs)
{
    uint64_t epoch = epoch_;
    env_.scheduler.After(delayMs, [this, epoch, bytes] {
        if (epoch_ == epoch && output)
            output(bytes);
    });
}

void FirmwareUnit::Receive(const uint8_t* data, size_t length)
{
    if (!Running()) {
        Trace("ignored " + std::to_string(length) + " bytes while " + ModeName(mode_));
        return;
    }
    for (size_t i = 0; i < length; ++i) {
        if (mode_ == Mode::Application)
            MenuByte(data[i]);
        else if (mode_ == Mode::Bootloader)
            BootloaderByte(data[i]);
    }
}

void FirmwareUnit::MenuByte(uint8_t byte)
{
    if (byte != kSyn && !menu_.Active())
        return;
    switch (menu_.Feed(byte)) {
    case MenuParser::Event::Wake:
        OnWake();
        break;
    case MenuParser::Event::Request:
        OnMenu(menu_.Request());
        break;
    case MenuParser::Event::None:
        break;
    }
}

void FirmwareUnit::BootloaderByte(uint8_t byte)
{
    Time now = env_.Now();
    if (decoder_.Expired(now, static_cast<uint32_t>(std::max(params_.timeoutIcd, 1)))) {
        Trace("frame given up after the inter-character timeout");
        decoder_.Reset();
    }
    // Menu commands stay understood between frames, so a host can set the
    // parameters again after a failed transfer.
    if (decoder_.Idle() && (byte == kSyn || menu_.Active())) {
        MenuByte(byte);
        return;
    }
    if (!packetMode_)
        return;
    FrameDecoder::Event event = decoder_.Feed(byte, now);
    if ((event == FrameDecoder::Event::Frame || event == FrameDecoder::Event::Poll) && Deaf(event, now))
        return;
    switch (event) {
    case FrameDecoder::Event::Frame:
        OnFrame(decoder_.Frame());
        break;
    case FrameDecoder::Event::BadFrame:
        Trace("bad frame (" + decoder_.Problem() + ") -> NAK");
        Send(ControlSymbol(kNak), env_.timings.ackMs);
        break;
    case FrameDecoder::Event::Poll:
        OnPoll();
        break;
    case FrameDecoder::Event::HostAck:
        OnHostAck();
        break;
    case FrameDecoder::Event::HostNak:
        Trace("host rejected the reply; it goes again on the next poll");
        break;
    case FrameDecoder::Event::None:
        break;
    }
}

bool FirmwareUnit::Deaf(FrameDecoder::Event event, Time now)
{
    const Faults::Busy busy = env_.faults.busy;
    if (busy == Faults::Busy::Answers || !pending_ || pending_->sent || now >= pending_->readyAt)
        return false;
    ++env_.counters.busyLost;
    const char* what = event == FrameDecoder::Event::Poll ? "poll" : "frame";
    if (busy == Faults::Busy::Naks) {
        Trace(std::string(what) + " while busy -> NAK (fault: busy)");
        Send(ControlSymbol(kNak), env_.timings.ackMs);
    } else {
        Trace(std::string(what) + " while busy lost (fault: busy)");
    }
    return true;
}

void FirmwareUnit::OnWake()
{
    awakeUntil_ = env_.Now() + env_.timings.awakeMs;
    Trace("wake-up");
    Send(std::string(1, static_cast<char>(kAck)), env_.timings.wakeReplyMs);
}

void FirmwareUnit::OnMenu(const MenuRequest& request)
{
    std::string shown = std::string(1, request.command) + " " + Printable(request.prefix + request.name + request.value) +
                        request.terminator;
    if (Asleep()) {
        Trace("asleep, ignored menu " + shown);
        return;
    }
    awakeUntil_ = env_.Now() + env_.timings.awakeMs;
    MenuReply reply;
    bool handled = mode_ == Mode::Application
                       ? ApplicationCommand(request, reply) || CommonApplicationCommand(request, reply)
                       : BootloaderCommand(request, reply);
    if (!handled) {
        reply = MenuReply{};
        reply.status = kEnq;
    }
    if (!reply.send) {
        Trace("menu " + shown);
        return;
    }
    const char* status = reply.status == kAck ? "ACK" : reply.status == kNak ? "NAK" : "ENQ";
    Trace("menu " + shown + " -> " + status + (reply.value.empty() ? "" : " " + Printable(reply.value, 40)));
    SendMenuReply(request, reply);
}

void FirmwareUnit::SendMenuReply(const MenuRequest& request, const MenuReply& reply)
{
    std::string echo = request.name;
    uint32_t n = ++env_.counters.menuReplies;
    if (!echo.empty() && (env_.faults.garbleEveryEcho || n == env_.faults.garbleEcho)) {
        echo[0] = echo[0] == '#' ? '%' : '#';
        Trace("fault: garbled echo " + echo);
    }
    std::string bytes = echo + reply.value;
    bytes += static_cast<char>(reply.status);
    bytes += request.terminator;
    env_.counters.workMs += env_.timings.menuReplyMs;
    Send(bytes, env_.timings.menuReplyMs);
}

bool FirmwareUnit::ApplicationCommand(const MenuRequest&, MenuReply&)
{
    return false;
}

void FirmwareUnit::ApplicationTags(PinfoReport&) const
{
}

bool FirmwareUnit::CommonApplicationCommand(const MenuRequest& request, MenuReply& reply)
{
    if (request.Routed())
        return false;
    if (request.name == "P_INFO") {
        reply.value = PinfoText();
        return true;
    }
    if (request.name == "NEWAP2") {
        env_.counters.workMs += env_.timings.newap2DelayMs;
        Restart(env_.timings.newap2DelayMs, true);
        return true;
    }
    if (request.name == "VISMN4") {
        lastVismn_ = request.value;
        reply.value = request.value;
        return true;
    }
    if (request.name == "PWRMOD" && config_.lowPower) {
        if (request.value == "?") {
            reply.value = lowPower_ ? "1" : "0";
        } else if (request.value == "0" || request.value == "1") {
            lowPower_ = request.value == "1";
            reply.value = request.value;
        } else {
            reply.status = kNak;
        }
        return true;
    }
    return false;
}

bool FirmwareUnit::BootloaderCommand(const MenuRequest& request, MenuReply& reply)
{
    if (request.Routed())
        return false;
    if (request.name == "P_INFO") {
        reply.value = PinfoText();
        return true;
    }
    if (request.name.size() == 6 && request.name.compare(0, 3, "BTL") == 0 && request.name != "BTLPRO")
        return BootParameter(request, reply);
    if (request.name == "BTLPRO") {
        if (request.value != "0" && request.value != "1") {
            reply.status = kNak;
            return true;
        }
        packetMode_ = request.value == "1";
        decoder_.Reset();
        reply.value = request.value;
        return true;
    }
    // Already where NEWAP2 leads; the end-of-flash command is only taken note of.
    if (request.name == "NEWAP2")
        return true;
    if (request.name == "VISMN4") {
        lastVismn_ = request.value;
        reply.value = request.value;
        return true;
    }
    return false;
}

bool FirmwareUnit::BootParameter(const MenuRequest& request, MenuReply& reply)
{
    int32_t* field = request.name == "BTLMAX"   ? &params_.maxPayload
                     : request.name == "BTLTOC" ? &params_.timeoutIcd
                     : request.name == "BTLTOR" ? &params_.timeoutReply
                     : request.name == "BTLRTY" ? &params_.retryMax
                                                : nullptr;
    if (!field)
        return false;
    if (request.value == "?") {
        reply.value = std::to_string(*field);
        return true;
    }
    int32_t value = 0;
    const std::string& refuse = env_.faults.refuseSets;
    bool refused = refuse == "*" || refuse == request.name;
    bool valid = ParseDecimal(request.value, value) &&
                 (field != &params_.maxPayload || (value >= 1 && value <= static_cast<int32_t>(kMaxPayload)));
    if (refused || !valid) {
        if (refused)
            Trace("fault: refusing " + request.name + " " + request.value);
        reply.status = kNak;
        return true;
    }
    *field = value;
    reply.value = std::to_string(value);
    return true;
}

std::string FirmwareUnit::PinfoText() const
{
    PinfoReport report;
    bool application = mode_ == Mode::Application;
    report.AddNumber("fmt", 1);
    report.Add("mode", application ? "app" : "boot");
    report.AddNumber("cbl", config_.cbl);
    report.AddNumber("device-type", config_.deviceType);
    report.AddNumber("hw-rev", config_.hwRev);
    if (!config_.compat.empty())
        report.AddList("boot-compat", config_.compat);
    if (!incompat_.empty())
        report.AddList("boot-incompat", incompat_);
    if (!config_.bootModelName.empty())
        report.Add("boot-m_name", config_.bootModelName);
    if (config_.usbVid >= 0)
        report.AddHex("usbvid", static_cast<uint32_t>(config_.usbVid));
    if (config_.usbPid >= 0)
        report.AddHex("usbpid", static_cast<uint32_t>(config_.usbPid));
    report.AddNumber("flash", config_.appCapacity / 1024);
    report.Add("app-rev", appVersion_);
    report.Add("boot-rev", bootVersion_);
    if (application)
        ApplicationTags(report);
    return report.Text();
}

} // namespace sim
