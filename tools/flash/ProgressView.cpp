#include "ProgressView.h"

#include <algorithm>

namespace flasher {

namespace {

constexpr int kBarWidth = 30;

int Percent(const PhaseProgress& phase)
{
    return phase.size ? static_cast<int>(phase.done * 100 / phase.size) : 0;
}

std::string Bar(const PhaseProgress& phase)
{
    int filled = phase.size ? static_cast<int>(phase.done * kBarWidth / phase.size) : 0;
    return "[" + std::string(filled, '#') + std::string(kBarWidth - filled, '-') + "]";
}

std::string Rate(const PhaseProgress& phase, Clock::time_point now)
{
    double rate = phase.Rate(now);
    return rate > 0 ? Bytes(static_cast<uint64_t>(rate)) + "/s" : "-";
}

} // namespace

ProgressView::ProgressView(FILE* out, bool bar, const std::vector<std::unique_ptr<FlashJob>>& jobs)
    : out_(out), bar_(bar), jobs_(jobs), shown_(jobs.size())
{
    for (const auto& job : jobs_)
        portWidth_ = std::max(portWidth_, job->Port().size());
}

void ProgressView::Draw()
{
    if (bar_)
        DrawBars();
    else
        PrintLines(false);
}

void ProgressView::BreakLine()
{
    if (bar_ && drawn_) {
        std::fputc('\n', out_);
        std::fflush(out_);
        drawn_ = false;
    }
}

void ProgressView::Finish()
{
    Draw();
    if (!bar_)
        PrintLines(true);
}

std::string ProgressView::BarLine(const FlashJob& job, Clock::time_point now) const
{
    std::string port = job.Port() + std::string(portWidth_ - job.Port().size(), ' ');
    std::vector<PhaseProgress> phases = job.Progress().Phases();
    if (phases.empty())
        return port + "  " + (job.Finished() ? "ended before any transfer" : "talking to the device ...");
    const PhaseProgress& p = phases.back();
    // After the last byte of a phase the library still restarts and
    // checks the device: no time left to show, but not done either.
    std::string tail = job.Finished() ? "" : p.Complete() ? "finishing ..." : Duration(p.SecondsLeft(now)) + " left";
    if (job.Cancelled() && !job.Finished())
        tail = "cancelling ...";
    char text[200];
    std::snprintf(text, sizeof text, "%-11s %s %3d%%  %s / %s  %s  %s", PhaseName(p.phase), Bar(p).c_str(), Percent(p),
                  Bytes(p.done).c_str(), Bytes(p.size).c_str(), Rate(p, now).c_str(), tail.c_str());
    std::string line = port + "  " + text;
    return line;
}

void ProgressView::DrawBars()
{
    Clock::time_point now = Clock::now();
    if (drawn_ && jobs_.size() > 1)
        std::fprintf(out_, "\x1b[%zuA", jobs_.size() - 1);
    for (size_t i = 0; i < jobs_.size(); ++i)
        std::fprintf(out_, "\r%s\x1b[K%s", BarLine(*jobs_[i], now).c_str(), i + 1 < jobs_.size() ? "\n" : "");
    std::fflush(out_);
    drawn_ = true;
}

void ProgressView::PrintPhaseLine(const FlashJob& job, const PhaseProgress& p, Clock::time_point now, bool ended)
{
    if (ended) {
        double seconds = std::chrono::duration<double>(p.last - p.start).count();
        std::fprintf(out_, "%s: %s %3d%%  %s of %s in %.1f s\n", job.Port().c_str(), PhaseName(p.phase), Percent(p),
                     Bytes(p.done).c_str(), Bytes(p.size).c_str(), seconds);
    } else {
        std::fprintf(out_, "%s: %s %3d%%  %s of %s  %s  %s left\n", job.Port().c_str(), PhaseName(p.phase),
                     Percent(p), Bytes(p.done).c_str(), Bytes(p.size).c_str(), Rate(p, now).c_str(),
                     Duration(p.SecondsLeft(now)).c_str());
    }
}

// A phase is announced when it starts, at each quarter, and when it ends:
// when the next one starts or the flash is over.
void ProgressView::PrintLines(bool final)
{
    Clock::time_point now = Clock::now();
    for (size_t i = 0; i < jobs_.size(); ++i) {
        std::vector<PhaseProgress> phases = jobs_[i]->Progress().Phases();
        Shown& shown = shown_[i];
        for (; shown.phases < phases.size(); ++shown.phases) {
            if (shown.phases > 0)
                PrintPhaseLine(*jobs_[i], phases[shown.phases - 1], now, true);
            shown.quarter = -1;
        }
        if (phases.empty() || shown.ended)
            continue;
        const PhaseProgress& p = phases.back();
        if (final) {
            PrintPhaseLine(*jobs_[i], p, now, true);
            shown.ended = true;
        } else if (Percent(p) / 25 > shown.quarter && Percent(p) < 100) {
            shown.quarter = Percent(p) / 25;
            PrintPhaseLine(*jobs_[i], p, now, false);
        }
    }
    std::fflush(out_);
}

} // namespace flasher
