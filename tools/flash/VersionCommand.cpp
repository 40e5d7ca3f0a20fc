// version: what GetFileVersion reports for the file and the device on the
// port: the versions of the file's objects that suit that device.
#include "Commands.h"

#include "FlashJob.h"
#include "Json.h"
#include "Results.h"

#include <cstring>

namespace flasher {

namespace {

void PrintObject(const char* name, const char* version, const int32_t time[9])
{
    if (version[0] == '\0') {
        std::printf("%s: none for this device\n", name);
        return;
    }
    std::string built = BuildTimeText(time);
    std::printf("%s: %s%s%s\n", name, version, built.empty() ? "" : ", built ", built.c_str());
}

} // namespace

void PrintFailure(const std::string& port, const Diagnosis& d)
{
    if (!d.failed)
        return;
    std::string what = d.detail + (d.hint.empty() ? "" : "; " + d.hint);
    std::fprintf(stderr, "tambrix-flash: %s: %s\n", port.c_str(), what.c_str());
}

int VersionCommand(const CommandOptions& options)
{
    Library library;
    int code = 0;
    auto jobs = PrepareJobs(options, library, code);
    if (jobs.empty())
        return code;
    FlashJob& job = *jobs.front();

    FileVersionInfo info{};
    int32_t result = job.ReadVersion(options.file, info);
    Diagnosis diagnosis = Diagnose(job.FactsOf(Operation::Version, options.file));
    PrintFailure(job.Port(), diagnosis);
    if (diagnosis.noPermission && !options.json)
        return kExitNoPermission;
    if (options.json) {
        PrintJson(VersionJson(job, options.file, info, diagnosis));
    } else {
        if (result == VERSION_RESULT_OK) {
            PrintObject("application", info.appVersion, info.appBuildTime);
            PrintObject("bootloader", info.bootVersion, info.bootBuildTime);
        }
        if (!options.quiet || result != VERSION_RESULT_OK)
            std::printf("%s: result %d: %s\n", job.Port().c_str(), result, VersionMeaning(result));
    }
    return diagnosis.noPermission ? kExitNoPermission : ExitCodeOf(result);
}

} // namespace flasher
