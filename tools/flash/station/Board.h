// What the operator sees: on a terminal one line per port and a totals
// line, redrawn in place; elsewhere plain lines as things happen; with
// --json one event object per line. Every call is thread-safe.
#pragma once

#include "../FlashJob.h"

#include <chrono>
#include <cstdio>
#include <map>
#include <mutex>
#include <nlohmann/json.hpp>
#include <string>

namespace flasher {

enum class BoardMode { Board, Lines, Json, Quiet };

struct Totals {
    int flashed = 0, current = 0, failed = 0, cancelled = 0;
    int Devices() const { return flashed + current + failed + cancelled; }
};

class Board {
public:
    Board(BoardMode mode, std::chrono::steady_clock::time_point start) : mode_(mode), start_(start) {}
    BoardMode Mode() const { return mode_; }

    // A port's line: its state word and what follows it.
    void SetState(const std::string& port, const std::string& state, const std::string& detail = "");
    // The flash whose bar the port's line shows; null when it ends.
    void SetJob(const std::string& port, const FlashJob* job);
    void RemovePort(const std::string& port);
    void Count(const std::string& outcome);
    Totals Counts() const;

    // A plain line on standard output (not on the board, not with --json).
    void Line(const std::string& text);
    // An event object with --json; "time" is added.
    void Event(nlohmann::json event);
    // A line on standard error, kept apart from the board.
    void Error(const std::string& text);
    void Draw();
    // The board's last state, then the cursor below it.
    void Finish();

    double Seconds() const;

private:
    struct PortLine {
        std::string state = "waiting";
        std::string detail;
        const FlashJob* job = nullptr;
    };
    std::string Render() const;
    std::string TotalsLine() const;
    void Erase();

    BoardMode mode_;
    std::chrono::steady_clock::time_point start_;
    mutable std::mutex mutex_;
    std::map<std::string, PortLine> ports_;
    Totals totals_;
    size_t drawnLines_ = 0;
    std::string lastText_;
};

// "1:02:03" of seconds.
std::string RunningTime(double seconds);

} // namespace flasher
