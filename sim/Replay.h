// The device's side of a recording, played back: after each host write that
// matches the recorded one, the device sends what the host read after it,
// with the recorded gaps (none when fast), and takes the recorded new port
// names. Where the host only waits for the device (polls, acknowledgements
// of a busy reply, wake-ups, queries, a write sent again), how often it asks
// depends on timing no two runs share: asked more often, the device answers
// as it last answered there; asked less often, the replay moves on with the
// host. When the host's bytes differ otherwise, or go on past the
// recording's end, the replay stops for good and says where.
#pragma once

#include "sim/Config.h"
#include "sim/Environment.h"
#include "sim/Recording.h"

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace sim {

class Replay {
public:
    enum class State { Playing, Finished, Diverged, Overrun };

    Replay(std::shared_ptr<const Recording> recording, bool fast);

    // Where the device's output and port renames go: after delayMs from now.
    std::function<void(uint64_t delayMs, const std::vector<uint8_t>& bytes)> send;
    std::function<void(uint64_t delayMs, const std::string& port)> rename;
    std::function<void(const std::string& text)> trace;
    // A USB device off the bus, or on it again as a new enumeration with
    // these ids (-1: as it first was), as the recorded host found it.
    std::function<void(uint64_t delayMs, bool attached, int32_t vid, int32_t pid, int32_t mi)> replug;
    // The ids of the first USB device the recorded host found by its ids
    // (vid -1 when it first opened one by path).
    struct Ids {
        int32_t vid = -1, pid = -1, mi = -1;
        bool operator==(const Ids&) const = default;
    };
    const Ids& FirstIds() const { return firstIds_; }

    // Sends what the recording's host read before its first write.
    void Start();
    // host: the framing the host's bytes came with, when known; one that
    // differs from the recorded host's stops the replay at once.
    void Receive(const uint8_t* data, size_t length, const LineSettings* host = nullptr);

    // The transport's calls where the recorded ones failed, answered as
    // they were at this point of the recording (after the last write
    // played): each recorded result once in order, the last one again to a
    // host that asks more often; nothing where none is recorded here, and
    // the transport then does as it would.
    // A serial set-up or USB search, and an open.
    std::optional<int32_t> SetupResult();
    std::optional<int32_t> OpenResult();
    // A failure's recorded duration (ms) is kept, also when fast: a host
    // that waited out a refused write or a gone device has used up its own
    // waits, and one that has not asks otherwise.
    // A read with nothing coming any more (the device has nothing left to
    // send here): the device was gone (-3) or the link closed (-1).
    std::optional<int32_t> GoneRead(uint64_t* ms);
    // A read that got nothing: what it returned then (0, or -6 on USB).
    std::optional<int32_t> EmptyRead(uint64_t* ms);
    // A write of these bytes that failed or took fewer of them: its result.
    // The caller hands the device only the bytes taken.
    std::optional<int32_t> WriteResult(const uint8_t* data, size_t length, uint64_t* ms);

    State CurrentState() const { return state_; }
    bool Stopped() const { return state_ == State::Diverged || state_ == State::Overrun; }
    // Where the host diverged or ran past the end, or how far it got.
    std::string Report() const;
    // The port the device answers to at first.
    const std::string& FirstPort() const { return firstPort_; }
    // The port the recorded host went to next: the next rename's, or the
    // last one's when all have come (what a host's assist callback answers).
    std::string NextPort() const;
    size_t WritesPlayed() const { return matched_; }
    size_t Writes() const { return writes_.size(); }
    // Waiting writes the host sent more often than recorded, and recorded
    // ones it never sent.
    size_t Repeated() const { return repeated_; }
    size_t Skipped() const { return skipped_; }

private:
    struct Action {
        uint64_t gapMs;
        std::vector<uint8_t> bytes;   // empty with a port
        std::string port;
        uint64_t leadMs = 0;          // of the gap, how long until the host's read began
        enum class Bus : uint8_t { None, Leave, Arrive } bus = Bus::None;   // with no bytes
        Ids ids{};                    // an arrival's
    };
    struct Write {
        size_t event = 0;      // index into the recording's events
        size_t begin = 0, end = 0;   // the write's bytes in expected_
        std::string step;
        std::vector<Action> after;
        // Followed at once by a purge, which drops what the driver has not
        // sent yet: the device may never have heard it.
        bool mayBeLost = false;
        // Asked while waiting for the device; changes nothing in it.
        bool waiting = false;
        // The host may leave it out: waiting, lost, or a write sent again.
        bool skippable = false;
        // The recorded host's framing when it wrote this (serial only).
        std::optional<LineSettings> line;
    };
    // A recorded write the host's current write may turn out to be.
    enum class Match { Next, Ahead, Again };
    struct Candidate {
        size_t write;
        Match how;
    };

    // What the transport returned, between one write and the next, where
    // it was not a plain success.
    struct Answer {
        int32_t result = 0;
        uint64_t ms = 0;
        std::vector<uint8_t> offered;   // a write's bytes
    };
    struct Answers {
        size_t next = 0;
        std::vector<Answer> list;
    };
    struct Stretch {
        Answers setups, opens, reads, writes;
    };
    Stretch& Current();
    static std::optional<int32_t> Next(Answers& answers);

    void Build();
    void BuildBus();
    void Fire(const std::vector<Action>& actions);
    void Complete(const Write& write);
    std::vector<Candidate> Candidates() const;
    void Take(const Candidate& candidate);
    size_t DivergedWrite() const;
    void Diverge(size_t write, size_t offset, const uint8_t* rest, size_t restLength);
    void LineDiffers(const LineSettings& host);
    void Overrun(const uint8_t* rest, size_t restLength);

    std::shared_ptr<const Recording> recording_;
    bool fast_;
    std::string firstPort_;
    Ids firstIds_;
    // Where each write's actions are: writes_[w].after, beforeFirst_ for -1.
    std::vector<Action>& AfterWrite(long w) { return w < 0 ? beforeFirst_ : writes_[static_cast<size_t>(w)].after; }
    std::vector<uint8_t> expected_;
    std::vector<Write> writes_;
    std::vector<Action> beforeFirst_;
    // stretches_[0] before the first write, stretches_[w + 1] after writes_[w].
    std::vector<Stretch> stretches_;
    size_t matched_ = 0;      // writes played: the next expected is writes_[matched_]
    size_t repeated_ = 0, skipped_ = 0;
    std::vector<Candidate> alive_;   // what the current host write may still be
    std::vector<std::string> ports_;   // the recorded ports in order, the first included
    size_t portsTaken_ = 1;
    std::vector<uint8_t> heard_;   // the current host write's bytes received so far
    // Read from another thread by a server that waits for the replay's end.
    std::atomic<State> state_{State::Playing};
    std::string report_;
};

// The flash step a host write belongs to, for every write of the stream:
// menu commands by name, bootloader frames by command, blocks by number.
std::vector<std::string> WriteSteps(const std::vector<std::vector<uint8_t>>& writes);

} // namespace sim
