// Shows the devices' progress while they flash: on a terminal one bar per
// device, redrawn in place; elsewhere (a pipe, a log) plain lines at each
// quarter of a phase and at its end.
#pragma once

#include "FlashJob.h"

#include <cstdio>
#include <memory>
#include <vector>

namespace flasher {

class ProgressView {
public:
    ProgressView(FILE* out, bool bar, const std::vector<std::unique_ptr<FlashJob>>& jobs);
    void Draw();
    // Ends the bars' last line so that a message goes below them; the next
    // Draw starts the bars afresh.
    void BreakLine();
    // The last state of every device, once they all finished.
    void Finish();

private:
    struct Shown {
        size_t phases = 0;   // phases already announced
        int quarter = -1;    // quarter of the current phase last printed
        bool ended = false;  // the last phase's end printed
    };

    std::string BarLine(const FlashJob& job, Clock::time_point now) const;
    void DrawBars();
    void PrintLines(bool final);
    void PrintPhaseLine(const FlashJob& job, const PhaseProgress& phase, Clock::time_point now, bool ended);

    FILE* out_;
    bool bar_;
    const std::vector<std::unique_ptr<FlashJob>>& jobs_;
    std::vector<Shown> shown_;
    size_t portWidth_ = 0;
    bool drawn_ = false;
};

} // namespace flasher
