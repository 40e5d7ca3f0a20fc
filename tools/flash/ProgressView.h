// Shows the devices' progress while they flash: on a terminal one bar per
// device, redrawn in place when it changes; elsewhere (a pipe, a log) plain
// lines at each quarter of a phase, at its end and at each wait; with
// --json, progress events as JSON lines on standard output.
#pragma once

#include "FlashJob.h"

#include <cstdio>
#include <memory>
#include <vector>

namespace flasher {

enum class ViewMode { Bar, Lines, Json, Quiet };

class ProgressView {
public:
    ProgressView(FILE* out, ViewMode mode, const std::vector<std::unique_ptr<FlashJob>>& jobs);
    void Draw();
    // Ends the bars' last line so that a message goes below them; the next
    // Draw starts the bars afresh.
    void BreakLine();
    // The last state of every device, once they all finished.
    void Finish();
    // Set when a cancel was asked: the bound shown while it is under way.
    void Cancelling(size_t job, int seconds);

private:
    struct Shown {
        size_t phases = 0;   // phases already announced
        int quarter = -1;    // quarter of the current phase last printed
        bool ended = false;  // the last phase's end printed
        uint32_t step = 0;   // the step last announced
        bool again = false;  // "again" last announced
        std::string event;   // the last progress event, to print only changes
        int cancelBound = -1;
    };

    std::string BarLine(size_t index) const;
    void DrawBars();
    void PrintLines(bool final);
    void PrintEvents();
    void PrintPhaseLine(const FlashJob& job, const PhaseProgress& phase, bool ended);

    FILE* out_;
    ViewMode mode_;
    const std::vector<std::unique_ptr<FlashJob>>& jobs_;
    std::vector<Shown> shown_;
    size_t portWidth_ = 0;
    bool drawn_ = false;
    std::string lastBars_;
};

// The wait or step a device is in, for the bar and the events: "waiting for
// the device to restart", "writing the block again after an error", ...;
// empty when a transfer simply runs.
std::string WaitText(const FlashJob& job, const std::vector<PhaseProgress>& phases);

} // namespace flasher
