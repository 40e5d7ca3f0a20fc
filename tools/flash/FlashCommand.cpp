// flash: one tool object per device, each on its own thread; the main
// thread shows progress and turns Ctrl-C into CFS_CANCELIO.
#include "Commands.h"

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

// The first Ctrl-C cancels every device; later ones are refused, since the
// library is putting the devices back into a usable state.
void HandleInterrupts(std::vector<std::unique_ptr<FlashJob>>& jobs, int& handled, ProgressView& view)
{
    // One line per Ctrl-C, even when several arrive between two looks.
    for (int count = g_interrupts.load(); handled < count; ++handled) {
        view.BreakLine();
        if (handled == 0) {
            std::fprintf(stderr, "tambrix-flash: cancelling; the device is being brought back, please wait\n");
            for (auto& job : jobs)
                job->Cancel();
        } else {
            std::fprintf(stderr, "tambrix-flash: not stopping now: the device is being brought back, please wait\n");
        }
    }
}

void PrintSummary(const std::vector<std::unique_ptr<FlashJob>>& jobs, int32_t worst)
{
    if (jobs.size() == 1) {
        const FlashJob& job = *jobs.front();
        std::printf("%s: result %d in %.1f s: %s\n", job.Port().c_str(), job.Result(), job.Seconds(),
                    FlashMeaning(job.Result()));
        return;
    }
    size_t width = 4;
    for (const auto& job : jobs)
        width = std::max(width, job->Port().size());
    std::printf("\n%-*s  %6s  %7s  %s\n", static_cast<int>(width), "PORT", "RESULT", "TIME", "MEANING");
    for (const auto& job : jobs)
        std::printf("%-*s  %6d  %6.1fs  %s\n", static_cast<int>(width), job->Port().c_str(), job->Result(),
                    job->Seconds(), FlashMeaning(job->Result()));
    std::printf("worst result %d: %s\n", worst, FlashMeaning(worst));
}

void RunJobs(std::vector<std::unique_ptr<FlashJob>>& jobs, const CommandOptions& options)
{
    FILE* out = options.json ? stderr : stdout;
    bool bar = IsTerminal(out);
    if (bar)
        PrepareTerminal(out);
    ProgressView view(out, bar, jobs);
    CatchInterrupts(g_interrupts);
    for (auto& job : jobs)
        job->StartFlash(options.file);
    int handled = 0;
    while (!AllFinished(jobs)) {
        std::this_thread::sleep_for(std::chrono::milliseconds(bar ? 100 : 200));
        HandleInterrupts(jobs, handled, view);
        view.Draw();
    }
    for (auto& job : jobs)
        job->Wait();
    view.Finish();
    if (bar)
        std::fputc('\n', out);
}

} // namespace

int FlashCommand(const CommandOptions& options)
{
    if (int code = CheckInputs(options))
        return code;
    Library library;
    std::string error;
    if (!library.Load(options.device.library, error))
        return Fail(kExitNoLibrary, error);

    std::vector<std::unique_ptr<FlashJob>> jobs;
    for (const std::string& port : options.device.ports) {
        jobs.push_back(std::make_unique<FlashJob>(library, options.device, port));
        int code = 0;
        if (!jobs.back()->Configure(error, code))
            return Fail(code, port + ": " + error);
    }
    RunJobs(jobs, options);

    std::vector<int32_t> results;
    for (const auto& job : jobs)
        results.push_back(job->Result());
    int32_t worst = WorstResult(results);
    if (options.json) {
        for (const auto& job : jobs)
            PrintJson(FlashJson(*job, options.file));
    } else {
        PrintSummary(jobs, worst);
    }
    return ExitCodeOf(worst);
}

} // namespace flasher
