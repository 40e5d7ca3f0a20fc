#include "sim/FirmwareUnit.h"

#include <algorithm>
#include <climits>
#include <cstdio>
#include <string>

namespace sim {

namespace {

constexpr uint32_t kResetKey = 0xDEADBEEF;
constexpr uint32_t kHardResetKey = 0xABADBABE;
constexpr size_t kHeaderSize = 256;
constexpr size_t kSwRevAt = 32;
constexpr size_t kSwRevSize = 16;
constexpr size_t kTypeAt = 12;

void PutU32(std::vector<uint8_t>& out, uint64_t value, int bytes = 4)
{
    for (int i = 0; i < bytes; ++i)
        out.push_back(static_cast<uint8_t>(value >> (8 * i)));
}

// sw_rev of an image's header, without the padding.
std::string HeaderVersion(const std::vector<uint8_t>& image)
{
    if (image.size() < kHeaderSize)
        return std::string();
    std::string text(image.begin() + kSwRevAt, image.begin() + kSwRevAt + kSwRevSize);
    for (char& c : text) {
        if (c == '\0')
            c = ' ';
    }
    size_t first = text.find_first_not_of(' ');
    if (first == std::string::npos)
        return std::string();
    return text.substr(first, text.find_last_not_of(' ') - first + 1);
}

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

std::string Describe(const CommandFrame& frame)
{
    char text[96];
    std::snprintf(text, sizeof text, "pn=%02x cmd=%u", frame.packetNumber, frame.command);
    std::string out = text;
    for (uint32_t param : frame.params) {
        std::snprintf(text, sizeof text, " %08x", param);
        out += text;
    }
    if (!frame.payload.empty())
        out += " payload=" + std::to_string(frame.payload.size());
    return out;
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
    uint32_t downMs = env_.RestartMs();
    bool silent = afterReset && env_.faults.silentAfterReset;
    Trace(std::string("restarting into the ") + ModeName(restartTarget_) +
          (silent ? " (fault: silent after reset)" : ""));
    SetMode(silent ? Mode::Silent : Mode::Restarting);
    if (silent) {
        if (env_.faults.silentMs == 0)
            return;
        downMs = std::max(downMs, env_.faults.silentMs);
    }
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
    switch (decoder_.Feed(byte, now)) {
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

// ---- the packet link --------------------------------------------------------

void FirmwareUnit::OnFrame(const CommandFrame& frame)
{
    uint32_t n = ++env_.counters.commandFrames;
    const Faults& faults = env_.faults;
    std::string shown = "frame #" + std::to_string(n) + " " + Describe(frame);
    if (faults.nakFrame && n >= faults.nakFrame && n - faults.nakFrame < faults.nakCount) {
        Trace(shown + " -> NAK (fault)");
        Send(ControlSymbol(kNak), env_.timings.ackMs);
        return;
    }
    if (n == faults.canFrame) {
        Trace(shown + " -> CAN (fault)");
        Send(ControlSymbol(kCan), env_.timings.ackMs);
        return;
    }
    Outcome outcome = Execute(frame);
    if (!outcome.refused.empty()) {
        Trace(shown + " -> CAN: " + outcome.refused);
        Send(ControlSymbol(kCan), env_.timings.ackMs);
        return;
    }
    Trace(shown + " -> ACK");
    Send(ControlSymbol(kAck), env_.timings.ackMs);
    Time readyAt = env_.Now() + env_.timings.ackMs + outcome.busyMs;
    pending_ = Pending{frame, std::move(outcome), readyAt, false};
    emptyPolls_ = 0;
}

FirmwareUnit::Outcome FirmwareUnit::Execute(const CommandFrame& frame)
{
    Outcome outcome;
    outcome.busyMs = env_.timings.commandMs;
    const auto& params = frame.params;
    switch (frame.command) {
    case 1:
        PutU32(outcome.payload, static_cast<uint32_t>(env_.faults.protocolVersion));
        PutU32(outcome.payload, static_cast<uint32_t>(params_.maxPayload));
        return outcome;
    case 3:
        return ResetCommand(frame, kHardResetKey);
    case 22:
        return ResetCommand(frame, 0);
    case 4:
        return OpenArea(frame);
    case 7:
        if (!open_ || params.size() != 1 || params[0] != open_->handle)
            outcome.refused = "update begin without the open area's handle";
        else
            updating_ = true;
        return outcome;
    case 8:
        return EndArea(frame);
    case 9:
        if (!open_ || !updating_) {
            outcome.refused = "erase without an area in update";
            return outcome;
        }
        open_->data.clear();
        open_->erased = true;
        open_->ended = false;
        open_->blocksWritten = 0;
        if (open_->number == 1)
            applicationValid_ = false;
        outcome.busyMs = env_.timings.eraseMs;
        return outcome;
    case 16:
        return WriteBlock(frame);
    default:
        outcome.refused = "unknown command";
        return outcome;
    }
}

FirmwareUnit::Outcome FirmwareUnit::ResetCommand(const CommandFrame& frame, uint32_t second)
{
    Outcome outcome;
    outcome.busyMs = env_.timings.commandMs;
    if (frame.params.size() != 2 || frame.params[0] != kResetKey || frame.params[1] != second) {
        outcome.refused = "reset without its keys";
        return outcome;
    }
    uint64_t epoch = epoch_;
    env_.scheduler.After(env_.timings.resetDelayMs, [this, epoch] {
        if (epoch_ == epoch)
            BeginRestart(false, true);
    });
    return outcome;
}

FirmwareUnit::Outcome FirmwareUnit::OpenArea(const CommandFrame& frame)
{
    Outcome outcome;
    outcome.busyMs = env_.timings.commandMs;
    if (frame.params.size() != 1 || frame.params[0] > 1) {
        outcome.refused = "no such area";
        return outcome;
    }
    open_ = &areas_[frame.params[0]];
    open_->erased = false;
    updating_ = false;
    const char* name = open_->number == 0 ? "bootloader" : "application";
    auto& out = outcome.payload;
    PutU32(out, open_->handle);
    PutU32(out, open_->number);
    std::string label(name);
    label.resize(128, '\0');
    out.insert(out.end(), label.begin(), label.end());
    PutU32(out, 0);                          // start address
    PutU32(out, open_->capacity);
    PutU32(out, config_.writeMultiple);
    PutU32(out, 4096);                       // erase block
    PutU32(out, 0);
    PutU32(out, open_->capacity, 8);
    PutU32(out, open_->data.size(), 8);
    return outcome;
}

FirmwareUnit::Outcome FirmwareUnit::WriteBlock(const CommandFrame& frame)
{
    Outcome outcome;
    outcome.busyMs = env_.timings.writeMs;
    const auto& payload = frame.payload;
    if (!open_ || !open_->erased || open_->ended)
        outcome.refused = "write without an erased area";
    else if (frame.params.size() != 1 || payload.empty())
        outcome.refused = "write without offset or data";
    else if (payload.size() > static_cast<size_t>(params_.maxPayload))
        outcome.refused = "block larger than BTLMAX";
    else if (config_.writeMultiple > 1 && payload.size() % config_.writeMultiple != 0)
        outcome.refused = "block size not a multiple of the write size";
    else if (static_cast<uint64_t>(frame.params[0]) + payload.size() > open_->capacity)
        outcome.refused = "block beyond the area";
    if (!outcome.refused.empty())
        return outcome;
    size_t offset = frame.params[0];
    auto& data = open_->data;
    if (data.size() < offset + payload.size())
        data.resize(offset + payload.size(), 0xFF);
    std::copy(payload.begin(), payload.end(), data.begin() + static_cast<std::ptrdiff_t>(offset));
    ++open_->blocksWritten;
    return outcome;
}

FirmwareUnit::Outcome FirmwareUnit::EndArea(const CommandFrame& frame)
{
    Outcome outcome;
    outcome.busyMs = env_.timings.commandMs;
    if (!open_ || frame.params.size() != 1 || frame.params[0] != open_->handle || !open_->erased) {
        outcome.refused = "area end without an erased open area";
        return outcome;
    }
    open_->ended = true;
    lastEnded_ = static_cast<int>(open_->number);
    // The application carries its header; the bootloader is written without
    // one, so its version is only known when a header happens to lead it.
    const auto& data = open_->data;
    std::string version = HeaderVersion(data);
    if (open_->number == 1) {
        applicationValid_ = true;
        if (!version.empty())
            appVersion_ = version;
    } else if (!version.empty() && data[kTypeAt] == 'B') {
        bootVersion_ = version;
    }
    Trace(std::string(open_->number == 0 ? "bootloader" : "application") + " area ended with " +
          std::to_string(data.size()) + " bytes in " + std::to_string(open_->blocksWritten) + " blocks");
    return outcome;
}

void FirmwareUnit::OnPoll()
{
    if (!pending_ || env_.Now() < pending_->readyAt) {
        ++emptyPolls_;
        Send(EncodeEmptyReply(), env_.timings.ackMs);
        return;
    }
    uint32_t n = ++env_.counters.replyFrames;
    bool corrupt = n == env_.faults.badCrcReply;
    Trace("reply to cmd " + std::to_string(pending_->frame.command) + " after " + std::to_string(emptyPolls_) +
          " empty replies" + (corrupt ? " (fault: wrong CRC)" : ""));
    emptyPolls_ = 0;
    Send(EncodeReply(pending_->frame, pending_->outcome.params, pending_->outcome.payload, corrupt),
         env_.timings.ackMs);
    pending_->sent = true;
}

void FirmwareUnit::OnHostAck()
{
    if (pending_ && pending_->sent)
        pending_.reset();
}

} // namespace sim
