#include "PortWorker.h"

#include "Station.h"
#include "Watch.h"

#include "../Json.h"
#include "../ProgressView.h"
#include "../Results.h"

#include <algorithm>
#include <cstdio>
#include <filesystem>

namespace flasher {

namespace {

// Results a second try cannot change: the file or the device is the cause.
bool WorthAnotherTry(int32_t result)
{
    return result != 3 && result != 4 && result != 7 && result != 8 && result != 9 && result != -12;
}

std::string FileStamp()
{
    std::string now = UtcNow();
    now.erase(std::remove(now.begin(), now.end(), ':'), now.end());
    now.erase(std::remove(now.begin(), now.end(), '-'), now.end());
    return now;
}

std::string CauseOf(const Diagnosis& d)
{
    return d.failed ? d.detail + (d.hint.empty() ? "" : "; " + d.hint) : "";
}

} // namespace

PortWorker::PortWorker(Station& station, std::string port, std::string node)
    : station_(station), port_(std::move(port)), node_(std::move(node))
{
}

PortWorker::~PortWorker()
{
    Join();
}

void PortWorker::Start()
{
    thread_ = std::thread([this] {
        Run();
        ended_.store(true);
    });
}

void PortWorker::Join()
{
    if (thread_.joinable())
        thread_.join();
}

bool PortWorker::Present() const
{
    return station_.NodeOf(port_) == node_;
}

std::unique_ptr<PortWorker::Attempt> PortWorker::NewAttempt(int number, int tryNumber, std::string& error,
                                                            int& exitCode)
{
    const StationOptions& o = station_.Options();
    auto attempt = std::make_unique<Attempt>();
    attempt->options = o.command.device;
    attempt->options.ports = {port_};
    attempt->options.log = number > 0 && !o.logDir.empty() ? FileFor(o.logDir, number, tryNumber, ".log") : "";
    attempt->options.record =
        number > 0 && !o.recordDir.empty() ? FileFor(o.recordDir, number, tryNumber, ".jsonl") : "";
    attempt->job = std::make_unique<FlashJob>(station_.Lib(), attempt->options, port_);
    if (!attempt->job->Configure(error, exitCode))
        return nullptr;
    return attempt;
}

std::string PortWorker::FileFor(const std::string& dir, int number, int tryNumber, const char* extension) const
{
    std::string tag = port_.substr(port_.find_last_of("\\/") + 1);
    for (char& c : tag)
        if (c == ':' || c == '?' || c == '*' || c == '&' || c == '#')
            c = '_';
    std::string name = tag + "-" + FileStamp() + "-" + std::to_string(ProcessId()) + "-" + std::to_string(number);
    if (tryNumber > 1)
        name += "-try" + std::to_string(tryNumber);
    return (std::filesystem::path(dir) / (name + extension)).string();
}

bool PortWorker::Probe(std::string& report)
{
    std::string error;
    int code = 0;
    auto attempt = NewAttempt(0, 0, error, code);
    if (!attempt)
        return false;
    return attempt->job->QueryDevice(report) == CFS_RESULT_OK;
}

bool PortWorker::Pause(double seconds)
{
    // Whether the port is there costs a system call (a registry read on
    // Windows): looked at four times a second, the station's state more often.
    auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    for (int tick = 0; std::chrono::steady_clock::now() < end; ++tick) {
        if (station_.Closing() || (tick % 5 == 0 && !Present()))
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return !station_.Closing() && Present();
}

void PortWorker::Left(const std::string& why)
{
    station_.Output().Line(port_ + ": device left (" + why + ")");
    station_.Output().Event({{"event", "device-left"}, {"port", port_}, {"why", why}});
}

void PortWorker::Run()
{
    const StationOptions& o = station_.Options();
    bool taken = false;
    std::string identity;
    DeviceReport takenReport;
    int misses = 0;
    station_.Output().SetState(port_, "waiting");
    while (!station_.Closing() && Present()) {
        if (!taken)
            station_.Output().SetState(port_, "probing");
        std::string report;
        bool answered = Probe(report);
        if (!Present())
            break;
        if (answered) {
            DeviceReport now = ParseDeviceReport(report);
            std::string id = DeviceIdentity(now);
            if (taken && !SameDevice(takenReport, now)) {
                Left("another device answers");
                taken = false;
            }
            misses = 0;
            if (!taken && o.command.device.usb && station_.ClaimReturning(id)) {
                identity = id;
                takenReport = now;
                taken = true;
                station_.Output().SetState(port_, "done", "came back under this node after its flash");
                station_.Output().Line(port_ + ": the device flashed before came back under this node");
            }
            if (!taken) {
                // --count reached: the devices still flashing end first.
                if (!station_.MayTake()) {
                    if (o.once || !Pause(o.probeEvery))
                        break;
                    continue;
                }
                identity = id;
                takenReport = now;
                taken = true;
                Take(report, identity);
                if (o.command.device.usb && !Present())
                    station_.FlashedAndGone(identity);
                if (o.once)
                    break;
            }
        } else if (taken && ++misses >= 2) {
            Left("it stopped answering");
            taken = false;
        }
        if (!taken) {
            station_.Output().SetState(port_, "waiting");
            if (o.once)
                break;
        }
        if (!Pause(o.probeEvery))
            break;
    }
    // A port that went leaves the board; one the station stopped watching
    // shows how it ended.
    if (!Present()) {
        if (taken)
            Left("its port is gone");
        station_.Output().RemovePort(port_);
    }
}

bool PortWorker::Current(const DeviceReport& report)
{
    std::string error;
    int code = 0;
    auto attempt = NewAttempt(0, 0, error, code);
    if (!attempt)
        return false;
    FileVersionInfo info{};
    if (attempt->job->ReadVersion(station_.Options().command.file, info) != VERSION_RESULT_OK)
        return false;
    return RunsVersions(report, info.appVersion, info.bootVersion);
}

void PortWorker::Take(const std::string& text, const std::string& identity)
{
    const StationOptions& o = station_.Options();
    auto started = std::chrono::steady_clock::now();
    DeviceReport report = ParseDeviceReport(text);
    FlashRecord record;
    record.station = station_.Facts().host;
    record.startedAt = UtcNow();
    record.port = port_;
    record.device = identity;
    record.reportBefore = text;
    record.fileName = o.command.file;
    record.fileSha1 = station_.Facts().fileSha1;
    record.appBefore = report.Application();
    record.bootBefore = report.Bootloader();
    record.toolVersion = TAMBRIX_TOOL_VERSION;
    record.libraryVersion = station_.Facts().libraryVersion;
    station_.Record(record, true);

    std::string mode = report.Mode();
    station_.Output().Line(port_ + ": device arrived: application " +
                           (record.appBefore.empty() ? "-" : record.appBefore) + ", bootloader " +
                           (record.bootBefore.empty() ? "-" : record.bootBefore) +
                           (mode.empty() ? "" : " (running its " + mode + ")"));
    station_.Output().Event({{"event", "device-arrived"}, {"port", port_}, {"device", identity},
                             {"report", ReportJson(text)}});

    std::unique_ptr<Attempt> last;
    if (o.skipCurrent && Current(report)) {
        record.outcome = "current";
        record.deviceState = "untouched";
        record.appAfter = record.appBefore;
        record.bootAfter = record.bootBefore;
        station_.Output().SetState(port_, "current", "application " + record.appBefore + ", bootloader " +
                                                          (record.bootBefore.empty() ? "-" : record.bootBefore));
        station_.Output().Line(port_ + ": current: it runs the file's versions; not flashed");
    } else {
        Flash(record, last);
    }
    record.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    record.endedAt = UtcNow();
    station_.Record(record, false);
    station_.Ended(record.outcome);

    nlohmann::json result;
    if (last && last->job)
        result = FlashJson(*last->job, o.command.file, Diagnose(last->job->FactsOf(Operation::Flash, o.command.file)));
    else
        result = {{"event", "result"}, {"command", "flash"}, {"port", port_}, {"file", o.command.file},
                  {"result", record.result ? nlohmann::json(*record.result) : nlohmann::json(nullptr)},
                  {"device_state", record.deviceState}, {"detail", record.cause.empty() ? nlohmann::json(nullptr)
                                                                                        : nlohmann::json(record.cause)},
                  {"device_before", ReportJson(text)}};
    result["outcome"] = record.outcome;
    result["tries"] = record.tries;
    result["device"] = identity;
    if (record.id)
        result["ledger_id"] = record.id;
    station_.Output().Event(result);
}

void PortWorker::Flash(FlashRecord& record, std::unique_ptr<Attempt>& last)
{
    const StationOptions& o = station_.Options();
    Board& board = station_.Output();
    int number = station_.NextNumber();
    for (int tryNumber = 1;; ++tryNumber) {
        record.tries = tryNumber;
        last.reset();
        std::string error;
        int code = 0;
        auto attempt = NewAttempt(number, tryNumber, error, code);
        if (!attempt) {
            record.outcome = "failed";
            record.cause = error;
            record.deviceState = "untouched";
            board.SetState(port_, "FAILED", error);
            board.Error(port_ + ": " + error);
            return;
        }
        board.SetState(port_, "queued");
        if (!station_.AcquireSlot()) {
            record.outcome = "cancelled";
            record.deviceState = "untouched";
            record.cause = "the station was stopped before the flash began";
            board.SetState(port_, "cancelled", record.cause);
            return;
        }
        FlashJob& job = *attempt->job;
        board.SetState(port_, "flashing");
        board.SetJob(port_, &job);
        board.Line(port_ + ": flashing" +
                   (o.tries > 1 ? " (try " + std::to_string(tryNumber) + " of " + std::to_string(o.tries) + ")" : ""));
        job.StartFlash(o.command.file);
        std::string lastEvent;
        while (!job.Finished()) {
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
            if (station_.Cancelling() && !job.Cancelled()) {
                uint32_t step = job.Step();
                const char* text = StepOf(step);
                board.Error(port_ + ": the library first ends its current step (" +
                            std::string(text ? text : "setting the port up") + "): at most " +
                            std::to_string(CancelBoundSeconds(step, job.LibraryTimeouts())) + " s");
                job.Cancel();
            }
            if (board.Mode() == BoardMode::Json) {
                std::vector<PhaseProgress> phases = job.Progress().Phases();
                nlohmann::json event = ProgressJson(job, phases, WaitText(job, phases));
                std::string shown = event.dump();
                if (shown != lastEvent && !job.Finished()) {
                    lastEvent = shown;
                    board.Event(event);
                }
            }
        }
        job.Wait();
        board.SetJob(port_, nullptr);
        station_.ReleaseSlot();

        Diagnosis d = Diagnose(job.FactsOf(Operation::Flash, o.command.file));
        int32_t result = job.Result();
        record.result = result;
        record.deviceState = d.deviceState;
        record.cause = CauseOf(d);
        // Behind a cradle the library flashes the scanner, not the cradle
        // the probe heard: the versions before are those of the unit flashed,
        // so that the row compares like with like.
        DeviceReport flashedBefore = ParseDeviceReport(job.ReportBefore());
        if (!flashedBefore.Application().empty() || !flashedBefore.Bootloader().empty()) {
            record.appBefore = flashedBefore.Application();
            record.bootBefore = flashedBefore.Bootloader();
        }
        DeviceReport after = ParseDeviceReport(job.ReportAfter());
        record.reportAfter = job.ReportAfter();
        record.appAfter = after.Application();
        record.bootAfter = after.Bootloader();
        bool keepRecording = true;
        if (Flashed(result)) {
            record.outcome = "flashed";
            std::string change = VersionChange(ParseDeviceReport(job.ReportBefore()), after);
            char seconds[32];
            std::snprintf(seconds, sizeof seconds, "%.1f s", job.Seconds());
            board.SetState(port_, "done", std::string(seconds) + (change.empty() ? "" : ": " + change));
            board.Line(port_ + ": flashed in " + seconds + (change.empty() ? "" : ": " + change));
            keepRecording = !o.recordFailures;
        } else if (job.Cancelled()) {
            record.outcome = "cancelled";
            board.SetState(port_, "cancelled", "the device is " + d.stateText);
            board.Line(port_ + ": cancelled; the device is " + d.stateText);
        } else {
            record.outcome = "failed";
        }
        if (!keepRecording && !attempt->options.record.empty())
            std::remove(attempt->options.record.c_str());
        last = std::move(attempt);
        if (record.outcome != "failed")
            return;
        std::string probe;
        bool again = tryNumber < o.tries && WorthAnotherTry(result) && !station_.Cancelling() && Present() &&
                     Probe(probe);
        if (again) {
            board.Line(port_ + ": try " + std::to_string(tryNumber) + " failed (result " + std::to_string(result) +
                       "): " + record.cause + "; trying again");
            continue;
        }
        board.SetState(port_, "FAILED", record.cause + " (the device is " + d.stateText + ")");
        board.Line(port_ + ": FAILED (result " + std::to_string(result) + "): " + record.cause);
        board.Error(port_ + ": " + record.cause);
        board.Error(port_ + ": the device is " + d.stateText);
        return;
    }
}

} // namespace flasher
