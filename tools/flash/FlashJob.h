// One device: its own tool object, configured from the command line, and
// the thread that runs the library's operation on it.
#pragma once

#include "Options.h"
#include "Progress.h"
#include "System.h"

#include <atomic>
#include <string>
#include <thread>

namespace flasher {

class FlashJob {
public:
    FlashJob(const Library& library, const DeviceOptions& options, std::string port);
    FlashJob(const FlashJob&) = delete;
    FlashJob& operator=(const FlashJob&) = delete;
    ~FlashJob();

    // Creates and configures the tool object; false with a one-line reason
    // and the exit code to leave with.
    bool Configure(std::string& error, int& exitCode);

    // FlashScanner on a thread of its own.
    void StartFlash(const std::string& file);
    // GetFileVersion on the calling thread.
    int32_t ReadVersion(const std::string& file, FileVersionInfo& info);

    // Sets CFS_CANCELIO; the library ends the flash and brings the device back.
    void Cancel();
    bool Cancelled() const { return cancelled_; }
    bool Finished() const { return finished_.load(); }
    void Wait();

    const std::string& Port() const { return port_; }
    int32_t Result() const { return result_; }
    double Seconds() const { return seconds_; }
    const ProgressTracker& Progress() const { return progress_; }

private:
    static int32_t OnProgress(uint64_t context, int32_t zero, uint64_t position, uint64_t total);
    bool Set(int32_t id, void* value, uint64_t size, const char* what, std::string& error);
    bool SetSerialLine(std::string& error);

    const Library& library_;
    const DeviceOptions& options_;
    std::string port_;
    CFlashTool* tool_ = nullptr;
    std::wstring logName_;
    std::thread thread_;
    std::atomic<bool> finished_{false};
    bool cancelled_ = false;
    int32_t result_ = 0;
    double seconds_ = 0;
    ProgressTracker progress_;
};

} // namespace flasher
