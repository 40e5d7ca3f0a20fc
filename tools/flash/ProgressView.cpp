#include "ProgressView.h"

#include "Json.h"

#include <algorithm>

namespace flasher {

namespace {

constexpr int kBarWidth = 30;
constexpr const char* kAgain = "writing the block again after an error";

int Percent(const PhaseProgress& phase)
{
    return phase.size ? static_cast<int>(phase.done * 100 / phase.size) : 0;
}

std::string Bar(const PhaseProgress& phase)
{
    int filled = phase.size ? static_cast<int>(phase.done * kBarWidth / phase.size) : 0;
    return "[" + std::string(filled, '#') + std::string(kBarWidth - filled, '-') + "]";
}

std::string Rate(const PhaseProgress& phase)
{
    double rate = phase.Rate();
    return rate > 0 ? Bytes(static_cast<uint64_t>(rate)) + "/s" : "-";
}

} // namespace

std::string WaitText(const FlashJob& job, const std::vector<PhaseProgress>& phases)
{
    uint32_t step = job.Step();
    bool transferring = !phases.empty() && !phases.back().Complete() &&
                        (step == kStatusBootImage || step == kStatusAppImage || !job.HasStatusReports());
    if (transferring)
        return phases.back().again ? kAgain : "";
    if (const char* text = StepOf(step))
        return text;
    return phases.empty() ? "talking to the device" : "finishing";
}

ProgressView::ProgressView(FILE* out, ViewMode mode, const std::vector<std::unique_ptr<FlashJob>>& jobs)
    : out_(out), mode_(mode), jobs_(jobs), shown_(jobs.size())
{
    for (const auto& job : jobs_)
        portWidth_ = std::max(portWidth_, job->Port().size());
}

void ProgressView::Cancelling(size_t job, int seconds)
{
    shown_[job].cancelBound = seconds;
}

void ProgressView::Draw()
{
    switch (mode_) {
    case ViewMode::Bar: DrawBars(); break;
    case ViewMode::Lines: PrintLines(false); break;
    case ViewMode::Json: PrintEvents(); break;
    case ViewMode::Quiet: break;
    }
}

void ProgressView::BreakLine()
{
    if (mode_ == ViewMode::Bar && drawn_) {
        std::fputc('\n', out_);
        std::fflush(out_);
        drawn_ = false;
        lastBars_.clear();
    }
}

void ProgressView::Finish()
{
    Draw();
    if (mode_ == ViewMode::Lines)
        PrintLines(true);
    if (mode_ == ViewMode::Bar && drawn_)
        std::fputc('\n', out_);
}

std::string ProgressView::BarLine(size_t index) const
{
    const FlashJob& job = *jobs_[index];
    std::string port = job.Port() + std::string(portWidth_ - job.Port().size(), ' ');
    std::vector<PhaseProgress> phases = job.Progress().Phases();
    std::string wait = job.Finished() ? "" : WaitText(job, phases);
    if (job.Cancelled() && !job.Finished())
        wait = "cancelling" + (shown_[index].cancelBound > 0
                                   ? " (the library ends its step first, at most " +
                                         std::to_string(shown_[index].cancelBound) + " s)"
                                   : std::string());
    if (phases.empty())
        return port + "  " + (job.Finished() ? "ended before any transfer" : wait + " ...");
    const PhaseProgress& p = phases.back();
    std::string tail = wait.empty() ? Duration(p.SecondsLeft()) + " left" : wait + " ...";
    if (job.Finished())
        tail = "";
    char text[300];
    std::snprintf(text, sizeof text, "%-11s %s %3d%%  %s / %s  %s  %s", PhaseName(p.phase), Bar(p).c_str(), Percent(p),
                  Bytes(p.done).c_str(), Bytes(p.size).c_str(), Rate(p).c_str(), tail.c_str());
    return port + "  " + text;
}

void ProgressView::DrawBars()
{
    std::string bars;
    for (size_t i = 0; i < jobs_.size(); ++i)
        bars += "\r" + BarLine(i) + "\x1b[K" + (i + 1 < jobs_.size() ? "\n" : "");
    // A terminal is redrawn only when something on it changed.
    if (drawn_ && bars == lastBars_)
        return;
    if (drawn_ && jobs_.size() > 1)
        std::fprintf(out_, "\x1b[%zuA", jobs_.size() - 1);
    std::fputs(bars.c_str(), out_);
    std::fflush(out_);
    lastBars_ = bars;
    drawn_ = true;
}

void ProgressView::PrintPhaseLine(const FlashJob& job, const PhaseProgress& p, bool ended)
{
    if (ended) {
        double seconds = std::chrono::duration<double>(p.last - p.start).count();
        std::fprintf(out_, "%s: %s %3d%%  %s of %s in %.1f s\n", job.Port().c_str(), PhaseName(p.phase), Percent(p),
                     Bytes(p.done).c_str(), Bytes(p.size).c_str(), seconds);
    } else {
        std::fprintf(out_, "%s: %s %3d%%  %s of %s  %s  %s left\n", job.Port().c_str(), PhaseName(p.phase),
                     Percent(p), Bytes(p.done).c_str(), Bytes(p.size).c_str(), Rate(p).c_str(),
                     Duration(p.SecondsLeft()).c_str());
    }
}

// A phase is announced when it starts, at each quarter, and when it ends:
// when the next one starts or the flash is over; a wait when it begins.
void ProgressView::PrintLines(bool final)
{
    for (size_t i = 0; i < jobs_.size(); ++i) {
        const FlashJob& job = *jobs_[i];
        std::vector<PhaseProgress> phases = job.Progress().Phases();
        Shown& shown = shown_[i];
        for (; shown.phases < phases.size(); ++shown.phases) {
            if (shown.phases > 0)
                PrintPhaseLine(job, phases[shown.phases - 1], true);
            shown.quarter = -1;
        }
        uint32_t step = job.Step();
        bool again = !phases.empty() && phases.back().again && !phases.back().Complete();
        if (!final && !job.Finished() && (step != shown.step || again != shown.again)) {
            std::string wait = WaitText(job, phases);
            if (!wait.empty())
                std::fprintf(out_, "%s: %s\n", job.Port().c_str(), wait.c_str());
            shown.step = step;
            shown.again = again;
        }
        if (phases.empty() || shown.ended)
            continue;
        const PhaseProgress& p = phases.back();
        if (final) {
            PrintPhaseLine(job, p, true);
            shown.ended = true;
        } else if (Percent(p) / 25 > shown.quarter && Percent(p) < 100) {
            shown.quarter = Percent(p) / 25;
            PrintPhaseLine(job, p, false);
        }
    }
    std::fflush(out_);
}

// One event per device whenever its step, phase or percentage changes.
void ProgressView::PrintEvents()
{
    for (size_t i = 0; i < jobs_.size(); ++i) {
        const FlashJob& job = *jobs_[i];
        std::vector<PhaseProgress> phases = job.Progress().Phases();
        nlohmann::json event = ProgressJson(job, phases, WaitText(job, phases));
        std::string text = event.dump();
        if (text == shown_[i].event)
            continue;
        shown_[i].event = text;
        PrintJson(event);
    }
}

} // namespace flasher
