// device: asks the device on the port what it is and what it runs (its
// own report), without a firmware file.
#include "Commands.h"

#include "DeviceReport.h"
#include "FlashJob.h"
#include "Json.h"
#include "Results.h"

namespace flasher {

namespace {

void PrintReport(const std::string& port, const DeviceReport& report, bool verbose)
{
    std::string mode = report.Mode();
    std::printf("%s: running its %s\n", port.c_str(), mode.empty() ? "(mode not reported)" : mode.c_str());
    std::printf("application: %s\n", report.Application().empty() ? "-" : report.Application().c_str());
    std::printf("bootloader: %s\n", report.Bootloader().empty() ? "-" : report.Bootloader().c_str());
    if (!verbose)
        return;
    for (const auto& item : report.items)
        std::printf("  %s: %s\n", item.first.c_str(), item.second.c_str());
}

} // namespace

int DeviceCommand(const CommandOptions& options)
{
    Library library;
    int code = 0;
    auto jobs = PrepareJobs(options, library, code);
    if (jobs.empty())
        return code;
    FlashJob& job = *jobs.front();

    std::string text;
    uint32_t result = job.QueryDevice(text);
    if (result == CFS_RESULT_UNKNOWN_ID)
        return Fail(kExitNoLibrary, "this library cannot ask a device for its report (it lacks the extension)");
    Diagnosis diagnosis = Diagnose(job.FactsOf(Operation::Device, ""));
    PrintFailure(job.Port(), diagnosis);
    if (options.json)
        PrintJson(DeviceJson(job, text, diagnosis));
    else if (result == CFS_RESULT_OK)
        PrintReport(job.Port(), ParseDeviceReport(text), options.verbose);
    if (result == CFS_RESULT_OK)
        return 0;
    return diagnosis.noPermission ? kExitNoPermission : kExitNoDevice;
}

} // namespace flasher
