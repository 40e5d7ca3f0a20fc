// The device's side of a recording, played back: after each host write that
// matches the recorded one, the device sends what the host read after it,
// with the recorded gaps (none when fast), and takes the recorded new port
// names. When the host's bytes differ, or go on past the recording's end,
// the replay stops for good and says where.
#pragma once

#include "sim/Environment.h"
#include "sim/Recording.h"

#include <cstdint>
#include <functional>
#include <memory>
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

    // Sends what the recording's host read before its first write.
    void Start();
    void Receive(const uint8_t* data, size_t length);

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

private:
    struct Action {
        uint64_t gapMs;
        std::vector<uint8_t> bytes;   // empty with a port
        std::string port;
    };
    struct Write {
        size_t event;          // index into the recording's events
        size_t begin, end;     // the write's bytes in expected_
        std::string step;
        std::vector<Action> after;
        // Followed at once by a purge, which drops what the driver has not
        // sent yet: the device may never have heard it.
        bool mayBeLost = false;
    };

    void Build();
    void Fire(const std::vector<Action>& actions);
    void Complete(const Write& write);
    bool SkipLost(uint8_t byte);
    void Diverge(size_t write, size_t offset, const uint8_t* rest, size_t restLength);
    void Overrun(const uint8_t* rest, size_t restLength);

    std::shared_ptr<const Recording> recording_;
    bool fast_;
    std::string firstPort_;
    std::vector<uint8_t> expected_;
    std::vector<Write> writes_;
    std::vector<Action> beforeFirst_;
    size_t position_ = 0;     // next expected byte
    size_t matched_ = 0;      // writes played
    std::vector<std::string> ports_;   // the recorded ports in order, the first included
    size_t portsTaken_ = 1;
    std::vector<uint8_t> heard_;   // the current write's bytes received so far
    State state_ = State::Playing;
    std::string report_;
};

// The flash step a host write belongs to, for every write of the stream:
// menu commands by name, bootloader frames by command, blocks by number.
std::vector<std::string> WriteSteps(const std::vector<std::vector<uint8_t>>& writes);

} // namespace sim
