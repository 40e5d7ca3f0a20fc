// One device: its own tool object, configured from the command line, and
// the thread that runs the library's operation on it.
#pragma once

#include "Diagnosis.h"
#include "Options.h"
#include "Progress.h"
#include "System.h"

#include <atomic>
#include <mutex>
#include <string>
#include <thread>

namespace flasher {

class FlashJob {
public:
    FlashJob(const Library& library, const DeviceOptions& options, std::string port);
    FlashJob(const FlashJob&) = delete;
    FlashJob& operator=(const FlashJob&) = delete;
    ~FlashJob();

    // Creates and configures the tool object; false with the reason (one
    // line, or the settings file's own error lines) and the exit code.
    bool Configure(std::string& error, int& exitCode);

    // FlashScanner on a thread of its own.
    void StartFlash(const std::string& file);
    // GetFileVersion on the calling thread.
    int32_t ReadVersion(const std::string& file, FileVersionInfo& info);
    // Asks the device for its report on the calling thread: 0 and the
    // report's "tag: value" lines, or the library's setting result.
    uint32_t QueryDevice(std::string& report);

    // Sets CFS_CANCELIO; the library ends the flash and brings the device back.
    void Cancel();
    bool Cancelled() const { return cancelled_; }
    bool Finished() const { return finished_.load(); }
    void Wait();

    const std::string& Port() const { return port_; }
    int32_t Result() const { return result_; }
    double Seconds() const { return seconds_; }
    const ProgressTracker& Progress() const { return progress_; }
    // The last status report that names a step, 0 before any.
    uint32_t Step() const { return step_.load(); }
    // Whether the library gives every status report (its extension).
    bool HasStatusReports() const { return statusReports_; }

    // The library's timeouts, for how long a cancel may take (read when
    // the tool was configured).
    const Timeouts& LibraryTimeouts() const { return timeouts_; }
    // What the flasher knows once the operation is over.
    Facts FactsOf(Operation operation, const std::string& file) const;
    // The device's reports before and after the last flash; empty when the
    // library has none (or lacks the extension).
    std::string ReportBefore() const { return ReportText(CFS_TAMBRIX_REPORT_BEFORE); }
    std::string ReportAfter() const { return ReportText(CFS_TAMBRIX_REPORT_AFTER); }
    // "115200 8-N-1"
    std::string LineText() const;
    // Whether the flash ran on the fast profile (the host's or the settings
    // file's), and whether it fell back to the full pauses.
    bool Fast() const;
    bool FellBack() const;

private:
    static int32_t OnProgress(uint64_t context, int32_t zero, uint64_t position, uint64_t total);
    static void OnStatus(void* context, uint32_t status, uint64_t x, uint64_t y);
    bool Set(int32_t id, void* value, uint64_t size, const char* what, std::string& error);
    bool SetSerialLine(std::string& error);
    bool SetLog(std::string& error);
    std::string ReportText(int32_t id) const;
    Timeouts ReadTimeouts() const;
    std::string LogText() const;

    const Library& library_;
    const DeviceOptions& options_;
    std::string port_;
    CFlashTool* tool_ = nullptr;
    std::wstring logName_;
    std::string logPath_;        // the log the flasher reads back
    bool ownLog_ = false;        // the flasher's own, removed at the end
    bool statusReports_ = false;
    std::thread thread_;
    std::atomic<bool> finished_{false};
    bool cancelled_ = false;
    int32_t result_ = 0;
    double seconds_ = 0;
    ProgressTracker progress_;
    std::atomic<uint32_t> step_{0};
    Timeouts timeouts_;
    mutable std::mutex trailMutex_;
    StatusTrail trail_;
};

} // namespace flasher
