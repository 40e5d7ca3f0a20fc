#include "Json.h"

#include "DeviceReport.h"
#include "Results.h"

#include <cstdio>
#include <cstring>

namespace flasher {

namespace {

// Milliseconds are enough; more digits only look precise.
double Rounded(double seconds)
{
    return static_cast<double>(static_cast<int64_t>(seconds * 1000)) / 1000;
}

nlohmann::json OrNull(const std::string& text)
{
    return text.empty() ? nlohmann::json(nullptr) : nlohmann::json(text);
}

void AddDiagnosis(nlohmann::json& object, const Diagnosis& d)
{
    object["failed_step"] = d.failed ? OrNull(d.failedStep) : nlohmann::json(nullptr);
    object["detail"] = d.failed ? OrNull(d.detail) : nlohmann::json(nullptr);
    object["hint"] = d.failed ? OrNull(d.hint) : nlohmann::json(nullptr);
}

nlohmann::json Common(const char* command, const FlashJob& job, const std::string& file, int exitCode)
{
    return {{"event", "result"},
            {"command", command},
            {"port", job.Port()},
            {"file", file},
            {"result", job.Result()},
            {"exit_code", exitCode},
            {"seconds", Rounded(job.Seconds())}};
}

nlohmann::json ObjectVersion(const char* version, const int32_t time[9])
{
    if (version[0] == '\0')
        return nullptr;
    std::string built = BuildTimeText(time);
    return {{"version", version}, {"built", built.empty() ? nlohmann::json(nullptr) : nlohmann::json(built)}};
}

} // namespace

std::string BuildTimeText(const int32_t t[9])
{
    if (t[5] <= 0 || t[4] < 1 || t[4] > 12 || t[3] < 1)
        return "";
    char text[40];
    std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d", t[5] + 1900, t[4], t[3], t[2], t[1], t[0]);
    return text;
}

nlohmann::json ReportJson(const std::string& text)
{
    DeviceReport report = ParseDeviceReport(text);
    if (report.Empty())
        return nullptr;
    nlohmann::json items = nlohmann::json::object();
    for (const auto& item : report.items)
        if (!items.contains(item.first))
            items[item.first] = item.second;
    return {{"mode", OrNull(report.Mode())},
            {"application", OrNull(report.Application())},
            {"bootloader", OrNull(report.Bootloader())},
            {"report", items}};
}

nlohmann::json ProgressJson(const FlashJob& job, const std::vector<PhaseProgress>& phases, const std::string& wait)
{
    nlohmann::json event = {{"event", "progress"}, {"command", "flash"}, {"port", job.Port()}};
    event["step"] = OrNull(wait);
    event["status"] = job.Step() ? nlohmann::json(job.Step()) : nlohmann::json(nullptr);
    if (phases.empty()) {
        event["phase"] = nullptr;
        return event;
    }
    const PhaseProgress& p = phases.back();
    event["phase"] = PhaseName(p.phase);
    event["bytes"] = p.done;
    event["size"] = p.size;
    event["percent"] = p.size ? static_cast<int>(p.done * 100 / p.size) : 0;
    event["again"] = p.again;
    event["cancelling"] = job.Cancelled() && !job.Finished();
    return event;
}

nlohmann::json FlashJson(const FlashJob& job, const std::string& file, const Diagnosis& diagnosis)
{
    nlohmann::json object = Common("flash", job, file, FlashExitCode(job.Result()));
    object["meaning"] = FlashMeaning(job.Result());
    object["flashed"] = Flashed(job.Result());
    object["cancelled"] = job.Cancelled();
    object["fast"] = job.Fast();
    object["fast_fallback"] = job.FellBack();
    nlohmann::json phases = nlohmann::json::array();
    for (const PhaseProgress& p : job.Progress().Phases())
        phases.push_back({{"phase", PhaseName(p.phase)},
                          {"bytes", p.done},
                          {"size", p.size},
                          {"seconds", Rounded(p.Seconds(p.last))}});
    object["phases"] = phases;
    object["device_state"] = diagnosis.deviceState;
    AddDiagnosis(object, diagnosis);
    object["device_before"] = ReportJson(job.ReportBefore());
    object["device_after"] = ReportJson(job.ReportAfter());
    return object;
}

nlohmann::json DeviceJson(const FlashJob& job, const std::string& report, const Diagnosis& diagnosis)
{
    nlohmann::json object = {{"event", "device"},
                             {"command", "device"},
                             {"port", job.Port()},
                             {"result", job.Result()},
                             {"seconds", Rounded(job.Seconds())}};
    object["device"] = ReportJson(report);
    AddDiagnosis(object, diagnosis);
    return object;
}

nlohmann::json VersionJson(const FlashJob& job, const std::string& file, const FileVersionInfo& info,
                           const Diagnosis& diagnosis)
{
    nlohmann::json object = Common("version", job, file, ExitCodeOf(job.Result()));
    object["meaning"] = VersionMeaning(job.Result());
    bool found = job.Result() == VERSION_RESULT_OK;
    object["application"] = found ? ObjectVersion(info.appVersion, info.appBuildTime) : nullptr;
    object["bootloader"] = found ? ObjectVersion(info.bootVersion, info.bootBuildTime) : nullptr;
    AddDiagnosis(object, diagnosis);
    return object;
}

nlohmann::json PortJson(const PortInfo& port)
{
    auto id = [](int value) { return value < 0 ? nlohmann::json(nullptr) : nlohmann::json(value); };
    return {{"event", "port"},
            {"command", "ports"},
            {"kind", port.kind},
            {"port", port.name},
            {"vendor_id", id(port.vendorId)},
            {"product_id", id(port.productId)},
            {"description", port.description}};
}

void PrintJson(const nlohmann::json& object)
{
    // Texts from a device or the system may not be UTF-8: replaced, not thrown.
    std::string line = object.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
    std::printf("%s\n", line.c_str());
    std::fflush(stdout);
}

} // namespace flasher
