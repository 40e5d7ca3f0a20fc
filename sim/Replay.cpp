#include "sim/Replay.h"

#include "sim/Ascii.h"
#include "sim/InProcess.h"
#include "sim/PacketLink.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace sim {

namespace {

constexpr size_t kContext = 12;   // bytes shown on each side of a difference

std::string Hex(const uint8_t* data, size_t length)
{
    std::string text;
    char digits[4];
    for (size_t i = 0; i < length; ++i) {
        std::snprintf(digits, sizeof digits, i ? " %02x" : "%02x", data[i]);
        text += digits;
    }
    return text;
}

std::string HexNumber(uint32_t value)
{
    char text[16];
    std::snprintf(text, sizeof text, "0x%x", value);
    return text;
}

// Names the bootloader steps as the flash goes through them.
class StepNamer {
public:
    std::string Name(const std::vector<uint8_t>& write)
    {
        std::string step;
        for (uint8_t byte : write) {
            switch (decoder_.Feed(byte, 0)) {
            case FrameDecoder::Event::Frame: step = FrameStep(decoder_.Frame()); last_ = step; break;
            case FrameDecoder::Event::Poll: step = "poll for the reply to the " + last_; break;
            case FrameDecoder::Event::HostAck: step = "acknowledgement of the reply to the " + last_; break;
            case FrameDecoder::Event::HostNak: step = "NAK of the reply to the " + last_; break;
            case FrameDecoder::Event::BadFrame: step = "a damaged frame"; break;
            case FrameDecoder::Event::None: break;
            }
        }
        if (!step.empty())
            return step;
        return MenuStep(write);
    }

private:
    std::string FrameStep(const CommandFrame& frame)
    {
        uint32_t p0 = frame.params.empty() ? 0 : frame.params[0];
        switch (frame.command) {
        case 1: return "version query";
        case 3: case 22: return "reset";
        case 4:
            image_ = p0 == 0 ? "boot image" : "application image";
            block_ = 0;
            return "area open of the " + image_;
        case 7: return "update begin of the " + image_;
        case 9: return "erase for the " + image_;
        case 8: return "area end of the " + image_;
        case 16:
            ++block_;
            return "block " + std::to_string(block_) + " of the " + image_ + " (offset " + HexNumber(p0) + ")";
        default: return "command " + std::to_string(frame.command);
        }
    }

    static std::string MenuStep(const std::vector<uint8_t>& write)
    {
        std::string text(write.begin(), write.end());
        if (text.size() >= 3 && static_cast<uint8_t>(text[0]) == kSyn) {
            if (text[1] == 'C' && text.size() == 3)
                return "wake-up";
            std::string name = text.substr(3);
            std::string what = "menu command " + Printable(name, 40);
            if (name.find("NEWAP2") != std::string::npos)
                return "boot entry (" + what + ")";
            return what;
        }
        if (text == "+++")
            return "leaving transparent mode (+++)";
        return "bytes " + Printable(text, 40);
    }

    FrameDecoder decoder_;
    std::string last_ = "command";
    std::string image_ = "image";
    uint32_t block_ = 0;
};

// How far the host may be ahead of or behind the recording in a stretch of
// waiting: far more than timing ever moves a count, small enough to keep a
// hostile recording cheap.
constexpr size_t kWaitWindow = 512;

// Speed, framing and flow control: what the recorded host set is what the
// device's answers were heard with.
bool SameLine(const LineSettings& recorded, const LineSettings& host)
{
    return LinesMatch(recorded, host) && recorded.rtsCts == host.rtsCts && recorded.xonXoff == host.xonXoff;
}

// Writes that only ask how the device is: a poll for a reply, the
// acknowledgement of a reply (most often "not yet"), a wake-up, a menu
// query, P_INFO. Asked once more, or once less, the device stays as it was.
bool IsWaiting(const std::vector<uint8_t>& write)
{
    if (write.size() == 4 && write[0] == ' ' && write[1] == ' ' && write[2] == kDle)
        return write[3] == kEnq || write[3] == kAck || write[3] == kNak;
    if (write.size() == 3 && write[0] == kSyn && write[1] == 'C' && write[2] == kCr)
        return true;
    if (write.size() < 5 || write[0] != kSyn)
        return false;
    std::string name(write.begin() + 3, write.end());
    if (name.find("P_INFO") != std::string::npos)
        return true;
    char last = name.back();
    return (last == '.' || last == '!') && name[name.size() - 2] == '?';
}

} // namespace

std::vector<std::string> WriteSteps(const std::vector<std::vector<uint8_t>>& writes)
{
    StepNamer namer;
    std::vector<std::string> steps;
    for (const auto& write : writes)
        steps.push_back(namer.Name(write));
    return steps;
}

Replay::Replay(std::shared_ptr<const Recording> recording, bool fast) : recording_(std::move(recording)), fast_(fast)
{
    Build();
}

// The expected host stream, and after each write what the device did until
// the next one: the bytes the host read and the ports it opened anew.
void Replay::Build()
{
    const auto& events = recording_->events;
    firstPort_ = recording_->port;
    std::string port;
    bool portKnown = false;
    uint64_t anchorTime = 0;
    std::vector<Action>* after = &beforeFirst_;
    std::vector<std::vector<uint8_t>> writeBytes;
    std::optional<LineSettings> line;
    uint64_t previousEnd = 0;
    stretches_.emplace_back();
    for (size_t i = 0; i < events.size(); ++i) {
        const RecordedEvent& e = events[i];
        Stretch& stretch = stretches_.back();
        if (e.kind == "setup" || e.kind == "search")
            stretch.setups.list.push_back(Answer{static_cast<int32_t>(e.result), 0, {}});
        else if (e.kind == "open")
            stretch.opens.list.push_back(Answer{static_cast<int32_t>(e.result), 0, {}});
        else if (e.kind == "read" && e.bytes.empty() && e.result <= 0)
            stretch.reads.list.push_back(Answer{static_cast<int32_t>(e.result), e.ms, {}});
        else if (e.kind == "write" && !e.offered.empty())
            stretch.writes.list.push_back(Answer{static_cast<int32_t>(e.result), e.t - previousEnd, e.offered});
        // A write is stamped when it ended, a read when it began.
        previousEnd = std::max(previousEnd, e.kind == "read" ? e.t + e.ms : e.t);
        uint64_t gap = fast_ || e.t < anchorTime ? 0 : e.t - anchorTime;
        // A purge right after a write: counted on the next event, or an event of its own.
        if ((e.kind == "purge" || e.purges > 0) && i > 0 && events[i - 1].kind == "write" && !writes_.empty() &&
            writes_.back().event == i - 1)
            writes_.back().mayBeLost = true;
        if (e.kind == "write" && !e.bytes.empty()) {
            Write write;
            write.event = i;
            write.begin = expected_.size();
            write.end = expected_.size() + e.bytes.size();
            write.line = line;
            writes_.push_back(std::move(write));
            expected_.insert(expected_.end(), e.bytes.begin(), e.bytes.end());
            writeBytes.push_back(e.bytes);
            after = &writes_.back().after;
            anchorTime = e.t;
            stretches_.emplace_back();
        } else if (e.kind == "read" && !e.bytes.empty()) {
            // A read that got all it asked for returned as its last byte
            // came; one that got less waited out its timeout, its bytes
            // having come at any time since it began.
            bool whole = e.asked > 0 && e.bytes.size() >= e.asked;
            after->push_back(Action{fast_ ? 0 : gap + (whole ? e.ms : 0), e.bytes, {}, gap});
        } else if (e.kind == "search" && e.result == 0) {
            line.reset();
        }
        if (e.kind == "setup" && e.result == 0 && e.serialRecord.size() == sizeof(WIN32_232_SETTINGS)) {
            WIN32_232_SETTINGS settings;
            std::memcpy(&settings, e.serialRecord.data(), sizeof settings);
            line = LineFromDcb(settings.dcb);
        }
        if (e.kind == "setup" && e.result == 0 && !e.port.empty()) {
            if (!portKnown) {
                firstPort_ = e.port;
                portKnown = true;
            } else if (e.port != port) {
                after->push_back(Action{gap, {}, e.port});
                ports_.push_back(e.port);
            }
            port = e.port;
        }
    }
    ports_.insert(ports_.begin(), firstPort_);
    BuildBus();
    std::vector<std::string> steps = WriteSteps(writeBytes);
    for (size_t w = 0; w < writes_.size(); ++w) {
        Write& write = writes_[w];
        write.step = steps[w];
        write.waiting = IsWaiting(writeBytes[w]);
        bool again = w > 0 && writeBytes[w] == writeBytes[w - 1];
        write.skippable = write.waiting || write.mayBeLost || again;
    }
}

Replay::Stretch& Replay::Current()
{
    return stretches_[std::min(matched_, stretches_.size() - 1)];
}

std::optional<int32_t> Replay::Next(Answers& answers)
{
    if (answers.list.empty())
        return std::nullopt;
    if (answers.next < answers.list.size())
        return answers.list[answers.next++].result;
    return answers.list.back().result;
}

std::optional<int32_t> Replay::SetupResult()
{
    if (Stopped())
        return std::nullopt;
    return Next(Current().setups);
}

std::optional<int32_t> Replay::OpenResult()
{
    if (Stopped())
        return std::nullopt;
    return Next(Current().opens);
}

std::optional<int32_t> Replay::GoneRead(uint64_t* ms)
{
    Answers& reads = Current().reads;
    if (Stopped() || reads.list.empty())
        return std::nullopt;
    size_t at = std::min(reads.next, reads.list.size() - 1);
    const Answer& answer = reads.list[at];
    if (answer.result != -3 && answer.result != -1)
        return std::nullopt;
    reads.next = std::max(reads.next, at + 1);
    if (ms)
        *ms = answer.ms;
    return answer.result;
}

std::optional<int32_t> Replay::EmptyRead(uint64_t* ms)
{
    Answers& reads = Current().reads;
    if (Stopped() || reads.list.empty())
        return std::nullopt;
    size_t at = std::min(reads.next, reads.list.size() - 1);
    const Answer& answer = reads.list[at];
    if (answer.result != 0 && answer.result != -6)
        return std::nullopt;
    reads.next = std::max(reads.next, at + 1);
    if (ms)
        *ms = answer.ms;
    return answer.result;
}

// Failed writes are not asked again: a host that writes the same bytes once
// more than recorded is heard as the recorded write that followed.
std::optional<int32_t> Replay::WriteResult(const uint8_t* data, size_t length, uint64_t* ms)
{
    Answers& writes = Current().writes;
    if (Stopped() || writes.next >= writes.list.size())
        return std::nullopt;
    const Answer& answer = writes.list[writes.next];
    if (answer.offered.size() != length || !std::equal(answer.offered.begin(), answer.offered.end(), data))
        return std::nullopt;
    ++writes.next;
    if (ms)
        *ms = answer.ms;
    if (trace)
        trace("a write of " + std::to_string(length) + " bytes answered as recorded: " + std::to_string(answer.result));
    return answer.result;
}

// The time a part of the way from a to b; b when it is not after a.
uint64_t Between(uint64_t a, uint64_t b, uint64_t part, uint64_t whole)
{
    return b > a ? a + (b - a) * part / whole : b;
}

// When a USB device left the bus and came back, from what its host met:
// it was there while its host wrote, read and opened it; it was gone when
// a search or open failed or a read ended -3; it was back (as a new
// enumeration) when a search found it again after it had gone, or found it
// by other ids. Between those the moment is not known: it leaves as soon
// as its host last had it, so that a host whose timing differs never
// talks to the old enumeration, and comes back half-way to the search that
// found it (at most a second later when no call found it gone), so that
// such a host finds it when its recorded host did.
void Replay::BuildBus()
{
    const auto& events = recording_->events;
    bool usb = recording_->interfaceType == 1;
    for (const RecordedEvent& e : events)
        usb = usb || e.kind == "search";
    if (!usb)
        return;
    long write = -1;               // the last write (index into writes_) before the event
    size_t nextWrite = 0;
    uint64_t anchor = 0;           // its time
    uint64_t present = 0;          // the end of the last call that found the device there
    bool wentOff = false;          // a call found it gone since it was last there
    uint64_t firstGone = 0, lastGone = 0;
    std::optional<Ids> current;
    bool found = false;            // a search found it before
    auto at = [&](uint64_t t, Action::Bus bus, Ids ids) {
        Action action{fast_ || t < anchor ? 0 : t - anchor, {}, {}};
        action.bus = bus;
        action.ids = ids;
        AfterWrite(write).push_back(action);
    };
    for (size_t i = 0; i < events.size(); ++i) {
        const RecordedEvent& e = events[i];
        if (nextWrite < writes_.size() && writes_[nextWrite].event == i) {
            write = static_cast<long>(nextWrite++);
            anchor = e.t;
        }
        bool gone = (e.kind == "search" && e.result != 0) || (e.kind == "open" && e.result < 0) ||
                    (e.kind == "read" && e.result == -3);
        if (gone) {
            if (!wentOff)
                firstGone = e.t;
            wentOff = true;
            lastGone = e.t;
            continue;
        }
        if (e.kind == "search" && e.result == 0) {
            Ids ids{e.vid, e.pid, e.mi};
            bool byIds = e.vid >= 0;
            // Found by its ids after it was found by path: the host looks
            // for a new enumeration (a bootloader's) by the ids it expects.
            bool back = wentOff || (byIds && current && !(ids == *current)) || (byIds && !current && found);
            if (back) {
                uint64_t leave = std::min(present + 1, wentOff ? firstGone : e.t);
                uint64_t arrive = wentOff ? Between(lastGone, e.t, 1, 2)
                                          : leave + std::min<uint64_t>(Between(leave, e.t, 1, 2) - leave, 1000);
                at(leave, Action::Bus::Leave, {});
                at(std::max(arrive, leave), Action::Bus::Arrive, byIds ? ids : Ids{});
            } else if (byIds && !found) {
                firstIds_ = ids;
            }
            found = true;
            if (byIds)
                current = ids;
            wentOff = false;
            present = e.t;
            continue;
        }
        bool there = (e.kind == "write" && e.result > 0) || (e.kind == "open" && e.result == 0) ||
                     (e.kind == "read" && e.result >= 0) || (e.kind == "read" && e.result == -6);
        if (there && !wentOff)
            present = std::max(present, e.kind == "read" ? e.t + e.ms : e.t);
    }
    // Gone at the end: it never came back.
    if (wentOff)
        at(std::min(present + 1, firstGone), Action::Bus::Leave, {});
}

void Replay::Fire(const std::vector<Action>& actions)
{
    for (const Action& action : actions) {
        if (action.bus != Action::Bus::None) {
            if (replug)
                replug(action.gapMs, action.bus == Action::Bus::Arrive, action.ids.vid, action.ids.pid, action.ids.mi);
        } else if (!action.port.empty()) {
            portsTaken_ = std::min(portsTaken_ + 1, ports_.size());
            if (rename)
                rename(action.gapMs, action.port);
        } else if (send) {
            send(action.gapMs, action.bytes);
        }
    }
}

std::string Replay::NextPort() const
{
    return ports_[std::min(portsTaken_, ports_.size() - 1)];
}

void Replay::Start()
{
    Fire(beforeFirst_);
    if (writes_.empty())
        state_ = State::Finished;
}

// What the host's next write may be, most likely first: the recorded next
// one; one further on, the host having left out waiting writes (or one its
// purge dropped); or a waiting write of the stretch just played, asked
// once more. Each text once, at its first place in that order.
std::vector<Replay::Candidate> Replay::Candidates() const
{
    std::vector<Candidate> candidates;
    auto add = [&](size_t w, Match how) {
        const Write& write = writes_[w];
        for (const Candidate& c : candidates) {
            const Write& other = writes_[c.write];
            if (other.end - other.begin == write.end - write.begin &&
                std::equal(expected_.begin() + write.begin, expected_.begin() + write.end,
                           expected_.begin() + other.begin))
                return;
        }
        candidates.push_back(Candidate{w, how});
    };
    if (matched_ < writes_.size()) {
        add(matched_, Match::Next);
        for (size_t w = matched_ + 1; w < writes_.size() && w - matched_ <= kWaitWindow; ++w) {
            if (!writes_[w - 1].skippable)
                break;
            add(w, Match::Ahead);
        }
    }
    // Back through the waiting just played, to the write it waits on: a
    // host whose read ran out before the answer asks again.
    for (size_t back = 1; back <= matched_ && back <= kWaitWindow; ++back) {
        size_t w = matched_ - back;
        if (writes_[w].waiting || back == 1)
            add(w, Match::Again);
        if (!writes_[w].skippable)
            break;
    }
    return candidates;
}

void Replay::Receive(const uint8_t* data, size_t length, const LineSettings* host)
{
    if (host && length > 0 && matched_ < writes_.size() && writes_[matched_].line &&
        !SameLine(*writes_[matched_].line, *host)) {
        LineDiffers(*host);
        return;
    }
    for (size_t i = 0; i < length && !Stopped(); ++i) {
        if (heard_.empty())
            alive_ = Candidates();
        std::vector<Candidate> still;
        for (const Candidate& c : alive_) {
            const Write& write = writes_[c.write];
            if (write.end - write.begin > heard_.size() && expected_[write.begin + heard_.size()] == data[i])
                still.push_back(c);
        }
        if (still.empty()) {
            if (matched_ >= writes_.size())
                Overrun(data + i, length - i);
            else
                Diverge(DivergedWrite(), heard_.size(), data + i, length - i);
            return;
        }
        heard_.push_back(data[i]);
        alive_ = std::move(still);
        for (const Candidate& c : alive_) {
            if (writes_[c.write].end - writes_[c.write].begin == heard_.size()) {
                Take(c);
                break;
            }
        }
    }
}

void Replay::Take(const Candidate& candidate)
{
    heard_.clear();
    alive_.clear();
    const Write& write = writes_[candidate.write];
    std::string number = std::to_string(recording_->events[write.event].number);
    switch (candidate.how) {
    case Match::Next:
        Complete(write);
        return;
    case Match::Ahead:
        for (size_t w = matched_; w < candidate.write; ++w) {
            const Write& left = writes_[w];
            if (trace)
                trace("event " + std::to_string(recording_->events[left.event].number) + " (" + left.step +
                      ") not sent: the host moved on");
            ++skipped_;
            // The device went on as recorded: its new port names and its
            // times off the bus stay.
            for (const Action& action : left.after)
                if (!action.port.empty() || action.bus != Action::Bus::None)
                    Fire({action});
        }
        matched_ = candidate.write;
        Complete(write);
        return;
    case Match::Again:
        if (trace)
            trace("event " + number + " again (" + write.step + "): answered as then");
        ++repeated_;
        // The answer as then, but as soon as a device that has come this
        // far gives it: the host that asks again has waited already.
        uint64_t waited = 0;
        for (const Action& action : write.after)
            if (action.port.empty() && action.bus == Action::Bus::None) {
                waited = action.leadMs;
                break;
            }
        for (Action action : write.after)
            if (action.port.empty() && action.bus == Action::Bus::None) {
                action.gapMs -= std::min(action.gapMs, waited);
                Fire({action});
            }
        return;
    }
}

// The write a divergence is told against: the one the host's bytes still
// matched, or, when its write matched nothing from the first byte, the
// next write that changes the device (what the host had to send sooner or
// later).
size_t Replay::DivergedWrite() const
{
    if (!heard_.empty() && !alive_.empty())
        return alive_.front().write;
    for (size_t w = matched_; w < writes_.size() && w - matched_ <= kWaitWindow; ++w)
        if (!writes_[w].skippable)
            return w;
    return matched_;
}

void Replay::Complete(const Write& write)
{
    if (trace)
        trace("event " + std::to_string(recording_->events[write.event].number) + ": " + write.step);
    ++matched_;
    Fire(write.after);
    if (matched_ == writes_.size())
        state_ = State::Finished;
}

void Replay::Diverge(size_t w, size_t offset, const uint8_t* rest, size_t restLength)
{
    state_ = State::Diverged;
    const Write& write = writes_[w];
    const uint8_t* expected = expected_.data() + write.begin;
    size_t writeLength = write.end - write.begin;
    size_t from = offset > kContext ? offset - kContext : 0;
    size_t to = std::min(writeLength, offset + kContext + 1);
    std::vector<uint8_t> received(expected + from, expected + offset);
    received.insert(received.end(), rest, rest + std::min(restLength, kContext + 1));
    report_ = "the host's bytes differ from the recording at event " +
              std::to_string(recording_->events[write.event].number) + " (write " + std::to_string(w + 1) + " of " +
              std::to_string(writes_.size()) + "), step: " + write.step + "\n  byte " + std::to_string(offset) +
              " of " + std::to_string(writeLength) + " bytes: expected " + Hex(expected + offset, 1) + ", received " +
              Hex(rest, 1) + "\n  expected from byte " + std::to_string(from) + ": " +
              Hex(expected + from, to - from) + "\n  received from byte " + std::to_string(from) + ": " +
              Hex(received.data(), received.size());
}

void Replay::LineDiffers(const LineSettings& host)
{
    state_ = State::Diverged;
    const Write& write = writes_[matched_];
    const LineSettings& recorded = *write.line;
    // The flow control is named when it is what differs.
    bool flow = host.rtsCts != recorded.rtsCts || host.xonXoff != recorded.xonXoff;
    auto text = [flow](const LineSettings& line) { return LineText(line) + (flow ? " with " + FlowText(line) : ""); };
    report_ = "the host's line is " + text(host) + ", the recorded host's was " + text(recorded) +
              ": at event " + std::to_string(recording_->events[write.event].number) + " (write " +
              std::to_string(matched_ + 1) + " of " + std::to_string(writes_.size()) + "), step: " + write.step;
}

void Replay::Overrun(const uint8_t* rest, size_t restLength)
{
    state_ = State::Overrun;
    std::string last = writes_.empty() ? std::string("the start")
                                       : "event " + std::to_string(recording_->events[writes_.back().event].number) +
                                             " (" + writes_.back().step + ")";
    report_ = "the recording ends before the host does: its last write is " + last + "; the host sent " +
              std::to_string(restLength) + " more bytes: " + Hex(rest, std::min(restLength, 2 * kContext));
    if (recording_->cutShort)
        report_ += "\n  (the recording's last line was cut off)";
}

std::string Replay::Report() const
{
    switch (state_) {
    case State::Diverged:
    case State::Overrun:
        return report_;
    case State::Finished: {
        std::string played = "every write of the recording was played: " + std::to_string(writes_.size()) +
                             " writes, " + std::to_string(recording_->events.size()) + " events";
        const auto& events = recording_->events;
        if (!events.empty() && events.back().kind != "end")
            played += "\n  the recording ends at event " + std::to_string(events.back().number) + " (" +
                      std::to_string(events.back().t) + " ms) before its operation ended: its host stopped there" +
                      (recording_->cutShort ? " (the last line was cut off)" : "");
        return played;
    }
    case State::Playing:
        break;
    }
    std::string where = matched_ == 0 ? std::string("before its first write")
                                      : "after event " +
                                            std::to_string(recording_->events[writes_[matched_ - 1].event].number) +
                                            " (" + writes_[matched_ - 1].step + ")";
    return "the host stopped " + where + ": " + std::to_string(matched_) + " of " + std::to_string(writes_.size()) +
           " writes played; next expected: " + writes_[matched_].step;
}

} // namespace sim
