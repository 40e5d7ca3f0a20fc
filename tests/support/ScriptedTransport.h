// A transport that plays the device's side from a script, byte for byte, on
// the virtual clock. Each host write may trigger an answer; answered bytes
// arrive at scheduled instants, and a read takes what is due, advancing the
// clock to the next scheduled byte or to its deadline, whichever is first.
// So pauses and timeouts cost no real time and a run is repeatable.
#pragma once

#include "io/FlashIo.h"
#include "platform/VirtualClock.h"

#include <cstdint>
#include <map>
#include <string_view>
#include <vector>

namespace testing_support {

using Bytes = std::vector<uint8_t>;

Bytes ToBytes(std::string_view text);
Bytes Concat(std::initializer_list<Bytes> parts);

// What the device sends in answer to one host write: the first byte
// delayMs after the write, then one byte every gapMs. No bytes: silence.
struct Answer {
    Answer() = default;
    Answer(Bytes data, uint32_t delay = 1, uint32_t gap = 0) : bytes(std::move(data)), delayMs(delay), gapMs(gap) {}
    Bytes bytes;
    uint32_t delayMs = 1;
    uint32_t gapMs = 0;
};

class ScriptedTransport {
public:
    // Serial: a read returns 0..n and zero-fills first. Usb: a read that
    // gets nothing returns -6.
    enum class Style { Serial, Usb };

    ScriptedTransport(FlashIo& io, platform::VirtualClock& clock, Style style = Style::Serial);
    ~ScriptedTransport();
    ScriptedTransport(const ScriptedTransport&) = delete;
    ScriptedTransport& operator=(const ScriptedTransport&) = delete;

    // Host writes that begin with prefix take these answers in order; once
    // they are used up the last one repeats when repeatLast is set, else
    // such writes go unanswered. The first rule that matches and still has
    // an answer wins; an empty prefix matches every write.
    ScriptedTransport& When(Bytes prefix, std::vector<Answer> answers, bool repeatLast = false);
    // Bytes the device sends unasked, starting delayMs from now.
    void Arrive(const Answer& answer);

    // Every write as the host made it, and all of them back to back.
    const std::vector<Bytes>& Writes() const { return writes_; }
    // The virtual instant of each write.
    const std::vector<uint64_t>& WriteTimes() const { return writeTimes_; }
    Bytes Wire() const;
    size_t CountWrites(const Bytes& prefix) const;
    // Scheduled bytes not read or purged yet.
    size_t Pending() const { return pending_.size(); }

    std::vector<uint32_t> readLengths;   // length asked by each read
    int purges = 0;
    int32_t readFailure = 0;             // nonzero: every read returns it

private:
    struct Rule {
        Bytes prefix;
        std::vector<Answer> answers;
        size_t next = 0;
        bool repeatLast = false;
    };

    static void Destroy(FlashIoDevice* io);
    static void Purge(FlashIoDevice* io);
    static int32_t Open(FlashIoDevice* io);
    static int32_t Close(FlashIoDevice* io);
    static int32_t Write(FlashIoDevice* io, const uint8_t* data, uint32_t length);
    static int32_t Read(FlashIoDevice* io, uint8_t* buffer, uint32_t length, uint32_t timeoutMs);

    void Schedule(const Answer& answer);

    FlashIo& io_;
    platform::VirtualClock& clock_;
    Style style_;
    std::vector<Rule> rules_;
    std::vector<Bytes> writes_;
    std::vector<uint64_t> writeTimes_;
    std::multimap<uint64_t, uint8_t> pending_;   // due instant -> byte, in sending order
};

} // namespace testing_support
