#include "sim/Cradle.h"

#include <algorithm>
#include <cctype>

namespace sim {

namespace {

constexpr size_t kAddressLength = 12;
constexpr Time kPlusWindowMs = 1000;  // the three '+' of an escape come together

bool SameAddress(const std::string& a, const std::string& b)
{
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::toupper(static_cast<unsigned char>(x)) == std::toupper(static_cast<unsigned char>(y));
           });
}

bool IsAddress(const std::string& text)
{
    return text.size() == kAddressLength &&
           std::all_of(text.begin(), text.end(), [](char c) { return std::isxdigit(static_cast<unsigned char>(c)); });
}

} // namespace

Cradle::Cradle(const DeviceConfig& config, Environment& env)
    : FirmwareUnit("cradle", config.unit, env), scannerConfig_(config.scanner),
      inCradle_(config.scannerPresent && config.scannerInCradle), paired_(config.linked), server_(config.serverMode)
{
    if (!config.scannerPresent)
        return;
    Attach();
    linked_ = config.linked && server_ && CurrentMode() == Mode::Application &&
              scanner_->CurrentMode() == Mode::Application;
}

void Cradle::Attach()
{
    scanner_ = std::make_unique<Scanner>(scannerConfig_, env_);
    scanner_->output = [this](const std::string& bytes) { FromScanner(bytes); };
    scanner_->modeChanged = [this](Mode, Mode) { UpdateLink(); };
}

void Cradle::SwapScanner(const std::string& address)
{
    if (!scanner_)
        return;
    DropLink("scanner taken away");
    std::string old = scanner_->Config().btAddress;
    scanner_->output = [](const std::string&) {};
    scanner_->modeChanged = [](Mode, Mode) {};
    retired_.push_back(std::move(scanner_));
    scannerConfig_.btAddress = address;
    Attach();
    Trace("scanner " + address + " paired in place of " + old);
    UpdateLink();
}

// ---- the radio link -----------------------------------------------------------

bool Cradle::MayLink() const
{
    if (CurrentMode() != Mode::Application || !scanner_ || !scanner_->Running() || !inRange_)
        return false;
    if (server_)
        return paired_ && scanner_->CurrentMode() == Mode::Application;
    return SameAddress(target_, scanner_->Config().btAddress);
}

void Cradle::UpdateLink()
{
    if (!MayLink()) {
        DropLink(CurrentMode() != Mode::Application        ? "cradle left its application"
                 : scanner_ && !scanner_->Running() ? "scanner restarting"
                 : !inRange_                        ? "scanner out of range"
                                                    : "no partner");
        return;
    }
    if (linked_)
        return;
    uint64_t epoch = ++linkEpoch_;
    env_.scheduler.After(server_ ? env_.timings.linkMs : env_.timings.connectMs, [this, epoch] {
        if (epoch == linkEpoch_ && MayLink())
            LinkUp();
    });
}

void Cradle::SetScannerInRange(bool inRange)
{
    inRange_ = inRange;
    UpdateLink();
}

void Cradle::DropLink(const std::string& why)
{
    ++linkEpoch_;
    if (!linked_)
        return;
    linked_ = false;
    Trace("link down (" + why + ")");
}

void Cradle::LinkUp()
{
    linked_ = true;
    paired_ = true;
    Trace(std::string("link up to ") + scanner_->Config().btAddress + (server_ ? " (server)" : " (client)") +
          (transparent_ ? ", announcing OK" : ""));
    // A transparent cradle tells the host that the scanner is back.
    if (transparent_)
        Send("OK\r", 0);
}

void Cradle::OnModeChanged(Mode, Mode to)
{
    if (to != Mode::Application) {
        transparent_ = false;
        plusRun_ = 0;
    }
    UpdateLink();
}

void Cradle::ToScanner(const std::string& bytes)
{
    if (bytes.empty())
        return;
    if (!linked_) {
        Trace("dropped " + std::to_string(bytes.size()) + " bytes for the scanner: no link");
        return;
    }
    uint64_t epoch = linkEpoch_;
    env_.scheduler.After(env_.timings.btLatencyMs, [this, epoch, bytes] {
        if (epoch == linkEpoch_ && linked_)
            scanner_->Receive(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
    });
}

void Cradle::FromScanner(const std::string& bytes)
{
    if (!linked_ || CurrentMode() != Mode::Application) {
        Trace("dropped " + std::to_string(bytes.size()) + " bytes from the scanner: no link");
        return;
    }
    Send(bytes, env_.timings.btLatencyMs);
}

// ---- transparent mode -----------------------------------------------------------

void Cradle::Receive(const uint8_t* data, size_t length)
{
    if (!transparent_ || CurrentMode() != Mode::Application) {
        lastHostByte_ = env_.Now();
        heardHost_ = true;
        FirmwareUnit::Receive(data, length);
        return;
    }
    ReceiveTransparent(data, length);
}

void Cradle::ReceiveTransparent(const uint8_t* data, size_t length)
{
    Time now = env_.Now();
    std::string forward;
    for (size_t i = 0; i < length; ++i) {
        uint8_t byte = data[i];
        bool quiet = !heardHost_ || now - lastHostByte_ >= env_.timings.plusGuardMs;
        lastHostByte_ = now;
        heardHost_ = true;
        if (plusRun_ > 0 && byte == '+' && now - plusStart_ <= kPlusWindowMs) {
            if (++plusRun_ < 3)
                continue;
            plusRun_ = 0;
            transparent_ = false;
            Trace("+++: transparent mode left");
            ToScanner(forward);
            FirmwareUnit::Receive(data + i + 1, length - i - 1);
            return;
        }
        if (plusRun_ > 0) {
            forward.append(plusRun_, '+');
            plusRun_ = 0;
        }
        // Only a '+' after a quiet line may begin the escape.
        if (byte == '+' && quiet && forward.empty()) {
            plusRun_ = 1;
            plusStart_ = now;
            continue;
        }
        forward += static_cast<char>(byte);
    }
    ToScanner(forward);
}

// ---- the cradle's commands ----------------------------------------------------

void Cradle::Route(const MenuRequest& request, MenuReply& reply)
{
    const std::string& prefix = request.prefix;
    bool toAll = prefix == ":*:";
    bool toAddress = prefix.size() == kAddressLength + 3 && prefix.compare(0, 2, ":#") == 0 && scanner_ &&
                     SameAddress(prefix.substr(2, kAddressLength), scanner_->Config().btAddress);
    if (!linked_ || !(toAll || toAddress)) {
        Trace(std::string("cannot route ") + prefix + request.name + (linked_ ? ": unknown address" : ": no link"));
        reply.status = kNak;
        return;
    }
    MenuRequest inner = request;
    inner.prefix.clear();
    reply.send = false;
    ToScanner(inner.Wire());
}

bool Cradle::SetLinkMode(const MenuRequest& request, MenuReply& reply)
{
    if (request.value != "0" && request.value != "1") {
        reply.status = kNak;
        return true;
    }
    bool server = request.value == "1";
    bool sameTarget = SameAddress(target_, address_);
    if (server != server_ || (!server && !sameTarget)) {
        DropLink(server ? "server mode" : "client mode");
        server_ = server;
        if (!server)
            target_ = address_;
    }
    UpdateLink();
    reply.value = request.value;
    return true;
}

bool Cradle::ApplicationCommand(const MenuRequest& request, MenuReply& reply)
{
    if (request.Routed()) {
        Route(request, reply);
        return true;
    }
    if (request.name == "BASADR") {
        if (!IsAddress(request.value)) {
            reply.status = kNak;
            return true;
        }
        address_ = request.value;
        reply.value = request.value;
        return true;
    }
    if (request.name == "BASDNG")
        return SetLinkMode(request, reply);
    if (request.name == "BASPAS") {
        if (request.value == "1" && linked_) {
            transparent_ = true;
            plusRun_ = 0;
            reply.value = "1";
        } else if (request.value == "0") {
            transparent_ = false;
            reply.value = "0";
        } else {
            reply.status = kNak;
        }
        return true;
    }
    return false;
}

void Cradle::ApplicationTags(PinfoReport& report) const
{
    report.Add("bt-mode", server_ ? "server" : "client");
    report.AddNumber("hub-connections", linked_ ? 1 : 0);
    if (linked_)
        report.Add("dev-1-addr", scanner_->Config().btAddress);
    report.AddNumber("scanner-in-cradle", inCradle_ ? 1 : 0);
    if (inCradle_) {
        report.Add("pair-mode", scanner_->CurrentMode() == Mode::Application ? "app" : "boot");
        report.Add("pair-address", scanner_->Config().btAddress);
    }
}

} // namespace sim
