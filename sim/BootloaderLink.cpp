// The bootloader's packet link: command frames, their execution on the two
// flash areas, polls and the resets.
#include "sim/FirmwareUnit.h"

#include <algorithm>
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
    if (n == faults.powerLossFrame) {
        Trace(shown + " -> power lost (fault)");
        LosePower(frame);
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
    env_.counters.workMs += env_.timings.ackMs + outcome.busyMs;
    Send(ControlSymbol(kAck), env_.timings.ackMs);
    Time readyAt = env_.Now() + env_.timings.ackMs + outcome.busyMs;
    pending_ = Pending{frame, std::move(outcome), readyAt, false};
    emptyPolls_ = 0;
}

// The frame was taken but power failed while it was carried out: a block
// write gets half its data into the area, no answer goes out, and the unit
// comes back in its bootloader.
void FirmwareUnit::LosePower(const CommandFrame& frame)
{
    if (frame.command == 16) {
        CommandFrame half = frame;
        size_t keep = frame.payload.size() / 2;
        if (config_.writeMultiple > 1)
            keep -= keep % config_.writeMultiple;
        half.payload.resize(keep);
        if (keep > 0 && WriteBlock(half).refused.empty())
            Trace("power lost after " + std::to_string(keep) + " of " + std::to_string(frame.payload.size()) +
                  " bytes of the block");
    }
    BeginRestart(true, false);
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
    env_.counters.workMs += env_.timings.resetDelayMs;
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
        // Empty answers come while the unit works: its busy time counts already.
        Send(EncodeEmptyReply(), env_.timings.ackMs);
        return;
    }
    uint32_t n = ++env_.counters.replyFrames;
    bool corrupt = n == env_.faults.badCrcReply;
    Trace("reply to cmd " + std::to_string(pending_->frame.command) + " after " + std::to_string(emptyPolls_) +
          " empty replies" + (corrupt ? " (fault: wrong CRC)" : ""));
    emptyPolls_ = 0;
    env_.counters.workMs += env_.timings.ackMs;
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
