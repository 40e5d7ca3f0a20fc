// flash: one tool object per device, each on its own thread; the main
// thread shows progress and turns Ctrl-C into CFS_CANCELIO.
#include "Commands.h"

#include "DeviceReport.h"
#include "FlashJob.h"
#include "Json.h"
#include "ProgressView.h"
#include "Results.h"

#include <algorithm>
#include <atomic>
#include <memory>

namespace flasher {

namespace {

std::atomic<int> g_interrupts{0};

bool AllFinished(const std::vector<std::unique_ptr<FlashJob>>& jobs)
{
    for (const auto& job : jobs)
        if (!job->Finished())
            return false;
    return true;
}

// The library sees a cancel at its next status report and then still
// brings the device back: say which step it ends first, and the bound.
void CancelAll(std::vector<std::unique_ptr<FlashJob>>& jobs, ProgressView& view)
{
    std::fprintf(stderr, "tambrix-flash: cancelling; the device is being brought back, please wait\n");
    for (size_t i = 0; i < jobs.size(); ++i) {
        FlashJob& job = *jobs[i];
        if (job.Finished())
            continue;
        uint32_t step = job.Step();
        int bound = CancelBoundSeconds(step, job.LibraryTimeouts());
        const char* text = StepOf(step);
        std::fprintf(stderr, "tambrix-flash: %s: the library first ends its current step (%s): at most %d s\n",
                     job.Port().c_str(), text ? text : "setting the port up", bound);
        view.Cancelling(i, bound);
        job.Cancel();
    }
}

// The first Ctrl-C cancels every device; later ones are refused, since the
// library is putting the devices back into a usable state.
void HandleInterrupts(std::vector<std::unique_ptr<FlashJob>>& jobs, int& handled, ProgressView& view)
{
    // One line per Ctrl-C, even when several arrive between two looks.
    for (int count = g_interrupts.load(); handled < count; ++handled) {
        view.BreakLine();
        if (handled == 0)
            CancelAll(jobs, view);
        else
            std::fprintf(stderr, "tambrix-flash: not stopping now: the device is being brought back, please wait\n");
    }
}

constexpr const char* kFellBackText =
    "fast profile: the device did not keep up, the rest of the flash ran on the full pauses";

struct Outcome {
    Diagnosis diagnosis;
    std::string versions;   // "application 1.0 -> 2.0, ..."
};

Outcome OutcomeOf(const FlashJob& job, const std::string& file)
{
    Outcome outcome;
    outcome.diagnosis = Diagnose(job.FactsOf(Operation::Flash, file));
    outcome.versions =
        VersionChange(ParseDeviceReport(job.ReportBefore()), ParseDeviceReport(job.ReportAfter()));
    return outcome;
}

// One or two lines on standard error for a device that did not flash:
// what failed and what to try, then the device's state.
void PrintCause(const FlashJob& job, const Diagnosis& d)
{
    if (!d.failed)
        return;
    std::string what = d.detail + (d.hint.empty() ? "" : "; " + d.hint);
    std::fprintf(stderr, "tambrix-flash: %s: %s\n", job.Port().c_str(), what.c_str());
    // Nothing else to say about a device this user could not even reach.
    if (d.noPermission && d.deviceState == "untouched")
        return;
    std::fprintf(stderr, "tambrix-flash: %s: the device is %s\n", job.Port().c_str(), d.stateText.c_str());
}

void PrintSummary(const std::vector<std::unique_ptr<FlashJob>>& jobs, const std::vector<Outcome>& outcomes,
                  int32_t worst)
{
    if (jobs.size() == 1) {
        const FlashJob& job = *jobs.front();
        std::printf("%s: result %d in %.1f s: %s\n", job.Port().c_str(), job.Result(), job.Seconds(),
                    FlashMeaning(job.Result()));
        if (job.FellBack())
            std::printf("%s: %s\n", job.Port().c_str(), kFellBackText);
        if (!outcomes.front().versions.empty())
            std::printf("%s: %s\n", job.Port().c_str(), outcomes.front().versions.c_str());
        return;
    }
    size_t width = 4;
    for (const auto& job : jobs)
        width = std::max(width, job->Port().size());
    std::printf("\n%-*s  %6s  %7s  %-10s  %s\n", static_cast<int>(width), "PORT", "RESULT", "TIME", "DEVICE",
                "MEANING");
    for (size_t i = 0; i < jobs.size(); ++i)
        std::printf("%-*s  %6d  %6.1fs  %-10s  %s%s\n", static_cast<int>(width), jobs[i]->Port().c_str(),
                    jobs[i]->Result(), jobs[i]->Seconds(), outcomes[i].diagnosis.deviceState.c_str(),
                    FlashMeaning(jobs[i]->Result()), jobs[i]->FellBack() ? " (fast: fell back)" : "");
    std::printf("worst result %d: %s\n", worst, FlashMeaning(worst));
}

ViewMode ModeFor(const CommandOptions& options)
{
    if (options.quiet)
        return ViewMode::Quiet;
    if (options.json)
        return ViewMode::Json;
    if (options.verbose || !IsTerminal(stdout))
        return ViewMode::Lines;
    return ViewMode::Bar;
}

void RunJobs(std::vector<std::unique_ptr<FlashJob>>& jobs, const CommandOptions& options)
{
    ViewMode mode = ModeFor(options);
    if (mode == ViewMode::Bar)
        PrepareTerminal(stdout);
    ProgressView view(stdout, mode, jobs);
    CatchInterrupts(g_interrupts);
    for (auto& job : jobs)
        job->StartFlash(options.file);
    int handled = 0;
    while (!AllFinished(jobs)) {
        std::this_thread::sleep_for(std::chrono::milliseconds(mode == ViewMode::Bar ? 100 : 200));
        HandleInterrupts(jobs, handled, view);
        view.Draw();
    }
    for (auto& job : jobs)
        job->Wait();
    view.Finish();
}

} // namespace

int FlashCommand(const CommandOptions& options)
{
    Library library;
    int code = 0;
    auto jobs = PrepareJobs(options, library, code);
    if (jobs.empty())
        return code;
    RunJobs(jobs, options);

    std::vector<int32_t> results;
    std::vector<Outcome> outcomes;
    for (const auto& job : jobs) {
        results.push_back(job->Result());
        outcomes.push_back(OutcomeOf(*job, options.file));
        PrintCause(*job, outcomes.back().diagnosis);
    }
    int32_t worst = WorstResult(results);
    // A missing udev rule is what the user must fix first, whatever the
    // library's result says about the open that failed.
    bool noPermission = false;
    for (const Outcome& outcome : outcomes)
        noPermission = noPermission || outcome.diagnosis.noPermission;
    if (options.json) {
        for (size_t i = 0; i < jobs.size(); ++i)
            PrintJson(FlashJson(*jobs[i], options.file, outcomes[i].diagnosis));
    } else if (!noPermission && (!options.quiet || !Flashed(worst))) {
        PrintSummary(jobs, outcomes, worst);
    }
    return noPermission ? kExitNoPermission : FlashExitCode(worst);
}

} // namespace flasher
