#include "FlashJob.h"

#include "Commands.h"

#include "Results.h"
#include "Text.h"

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace flasher {

namespace {

uint64_t LogPreset(char level)
{
    return level == 'L' ? 1 : level == 'H' ? 3 : 2;
}

uint8_t ParityValue(char parity)
{
    switch (parity) {
    case 'O': return ODDPARITY;
    case 'E': return EVENPARITY;
    case 'M': return MARKPARITY;
    case 'S': return SPACEPARITY;
    default: return NOPARITY;
    }
}

// A log of the flasher's own, to tell the cause of a failure when the user
// asked for none: one per tool object, as the library keeps it open.
std::string OwnLogPath()
{
    static std::atomic<int> count{0};
    std::error_code error;
    std::filesystem::path dir = std::filesystem::temp_directory_path(error);
    if (error)
        dir = ".";
    return (dir / ("tambrix-flash-" + std::to_string(ProcessId()) + "-" + std::to_string(++count) + ".log")).string();
}

} // namespace

FlashJob::FlashJob(const Library& library, const DeviceOptions& options, std::string port)
    : library_(library), options_(options), port_(std::move(port))
{
}

FlashJob::~FlashJob()
{
    Wait();
    if (tool_)
        library_.destroy(tool_);
    if (ownLog_)
        std::remove(logPath_.c_str());
}

bool FlashJob::Set(int32_t id, void* value, uint64_t size, const char* what, std::string& error)
{
    uint32_t r = tool_->SetSetting(id, value, size);
    if (r != CFS_RESULT_OK)
        error = std::string(what) + " refused by the library (" + std::to_string(r) + ")";
    return r == CFS_RESULT_OK;
}

bool FlashJob::SetSerialLine(std::string& error)
{
    WIN32_232_SETTINGS serial{};
    serial.dcb.DCBlength = sizeof serial.dcb;
    serial.dcb.BaudRate = options_.baud;
    serial.dcb.ByteSize = 8;
    serial.dcb.fBinary = 1;
    serial.dcb.Parity = ParityValue(options_.parity);
    serial.dcb.fParity = options_.parity != 'N';
    serial.dcb.StopBits = options_.stopBits == 2 ? TWOSTOPBITS : ONESTOPBIT;
    return Set(CFS_WIN32_232_SETTINGS, &serial, sizeof serial, "the serial settings", error);
}

std::string FlashJob::LineText() const
{
    return std::to_string(options_.baud) + " 8-" + std::string(1, options_.parity) + "-" +
           std::to_string(options_.stopBits);
}

bool FlashJob::SetLog(std::string& error)
{
    logPath_ = LogFileFor(options_, port_);
    uint64_t preset = LogPreset(options_.logLevel);
    if (logPath_.empty()) {
        logPath_ = OwnLogPath();
        ownLog_ = true;
        preset = LogPreset('M');
    }
    logName_ = Widen(logPath_);
    LogFileSettings settings = {LOG_TO_FILE, logName_.c_str(), preset};
    if (Set(CFS_LOGFILE, &settings, sizeof settings, "the log file", error))
        return true;
    // Without a log of its own the flasher only loses detail.
    if (ownLog_) {
        ownLog_ = false;
        logPath_.clear();
        return true;
    }
    error = "the log file " + logPath_ + " cannot be written";
    return false;
}

bool FlashJob::Configure(std::string& error, int& exitCode)
{
    exitCode = kExitUsage;
    tool_ = library_.create();
    if (!tool_) {
        error = "the library made no tool object";
        exitCode = kExitNoLibrary;
        return false;
    }
    if (!SetLog(error)) {
        exitCode = kExitCantCreate;
        return false;
    }
    std::string record = RecordFileFor(options_, port_);
    if (!record.empty()) {
        std::wstring name = Widen(record);
        if (!Set(CFS_PELLARO_RECORD_FILE, name.data(), name.size(), "the recording file (cannot be written?)", error))
            return false;
    }
    if (!options_.settings.empty()) {
        std::wstring name = Widen(options_.settings);
        if (!Set(CFS_PROTOCOL_SETTINGS, name.data(), name.size() * sizeof(wchar_t), "the settings file", error)) {
            LogFacts facts = ScanLog(LogText());
            error = "the settings file " + options_.settings + " has errors";
            for (const std::string& line : facts.settingsErrors)
                error += "\n  " + line;
            return false;
        }
    }
    // After the settings file: the command line has the last word.
    if (options_.fast) {
        uint64_t on = 1;
        if (!Set(CFS_PELLARO_FAST, &on, sizeof on, "the fast profile", error))
            return false;
    }
    uint64_t type = options_.usb ? INTERFACE_USB_HID : INTERFACE_RS232;
    std::wstring port = Widen(port_);
    if (!Set(CFS_INTERFACE, &type, sizeof type, "the interface", error) ||
        !Set(CFS_PORTNAME, port.data(), port.size(), "the port name", error))
        return false;
    if (!options_.usb && !SetSerialLine(error))
        return false;
    StatusReportSettings reports = {&FlashJob::OnStatus, this};
    statusReports_ = tool_->SetSetting(CFS_TAMBRIX_STATUS_REPORTS, &reports, sizeof reports) == CFS_RESULT_OK;
    timeouts_ = ReadTimeouts();
    auto callback = reinterpret_cast<void*>(&FlashJob::OnProgress);
    return Set(CFS_FWCALLBACK, callback, 8, "the progress callback", error);
}

int32_t FlashJob::OnProgress(uint64_t context, int32_t, uint64_t position, uint64_t total)
{
    auto* job = reinterpret_cast<FlashJob*>(static_cast<uintptr_t>(context));
    // The status reports say the same with the phase named.
    if (!job->statusReports_)
        job->progress_.Update(position, total, Clock::now());
    return 0;
}

void FlashJob::OnStatus(void* context, uint32_t status, uint64_t x, uint64_t y)
{
    auto* job = static_cast<FlashJob*>(context);
    if (status == kStatusBootImage || status == kStatusAppImage)
        job->progress_.UpdatePhase(status == kStatusAppImage ? Phase::App : Phase::Boot, x, y, Clock::now());
    if (StepOf(status))
        job->step_.store(status);
    std::lock_guard<std::mutex> lock(job->trailMutex_);
    job->trail_.Add(status, x, y);
}

void FlashJob::StartFlash(const std::string& file)
{
    thread_ = std::thread([this, name = Widen(file)] {
        Clock::time_point start = Clock::now();
        result_ = static_cast<int32_t>(tool_->FlashScanner(reinterpret_cast<uintptr_t>(this), name.c_str()));
        seconds_ = std::chrono::duration<double>(Clock::now() - start).count();
        if (Flashed(result_))
            progress_.Complete();
        finished_.store(true);
    });
}

int32_t FlashJob::ReadVersion(const std::string& file, FileVersionInfo& info)
{
    std::wstring name = Widen(file);
    Clock::time_point start = Clock::now();
    result_ = static_cast<int32_t>(tool_->GetFileVersion(name.c_str(), &info));
    seconds_ = std::chrono::duration<double>(Clock::now() - start).count();
    finished_.store(true);
    return result_;
}

uint32_t FlashJob::QueryDevice(std::string& report)
{
    std::vector<wchar_t> text(16384);
    Clock::time_point start = Clock::now();
    uint32_t r = tool_->GetSetting(CFS_TAMBRIX_DEVICE_REPORT, text.data(), text.size());
    seconds_ = std::chrono::duration<double>(Clock::now() - start).count();
    result_ = static_cast<int32_t>(r);
    finished_.store(true);
    if (r == CFS_RESULT_OK)
        report = Narrow(text.data());
    return r;
}

std::string FlashJob::ReportText(int32_t id) const
{
    std::vector<wchar_t> text(16384);
    if (tool_->GetSetting(id, text.data(), text.size()) != CFS_RESULT_OK)
        return "";
    return Narrow(text.data());
}

void FlashJob::Cancel()
{
    if (cancelled_ || finished_.load())
        return;
    cancelled_ = true;
    uint64_t one = 1;
    tool_->SetSetting(CFS_CANCELIO, &one, sizeof one);
}

void FlashJob::Wait()
{
    if (thread_.joinable())
        thread_.join();
}

Timeouts FlashJob::ReadTimeouts() const
{
    Timeouts t;
    auto get = [this](int32_t id, uint64_t& value) {
        uint64_t read = 0;
        if (tool_->GetSetting(id, &read, sizeof read) == CFS_RESULT_OK)
            value = read;
    };
    get(CFS_PELLARO_TIMEOUT_REPLY, t.replyMs);
    get(CFS_PELLARO_TIMEOUT_MENUCMD, t.menuMs);
    get(CFS_PELLARO_RESET_TIMEOUT, t.resetMs);
    get(CFS_PELLARO_RETRY_MAX, t.retries);
    get(CFS_PELLARO_BTLTOR_TIMEOUT_REPLY, t.btlReplyMs);
    get(CFS_PELLARO_BTLRTY_RETRY_MAX, t.btlRetries);
    return t;
}

std::string FlashJob::LogText() const
{
    if (logPath_.empty())
        return "";
    std::ifstream in(logPath_, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

Facts FlashJob::FactsOf(Operation operation, const std::string& file) const
{
    Facts facts;
    facts.operation = operation;
    facts.result = result_;
    facts.cancelled = cancelled_;
    facts.usb = options_.usb;
    facts.port = port_;
    facts.line = LineText();
    facts.file = file;
    {
        std::lock_guard<std::mutex> lock(trailMutex_);
        facts.trail = trail_;
    }
    facts.log = ScanLog(LogText());
    if (operation == Operation::Flash) {
        std::string before = ReportBefore();
        facts.startedInBootloader = before.find("\nmode: boot\n") != std::string::npos ||
                                    before.rfind("mode: boot\n", 0) == 0;
    }
    return facts;
}

bool FlashJob::Fast() const
{
    uint64_t on = 0;
    return tool_ && tool_->GetSetting(CFS_PELLARO_FAST, &on, sizeof on) == CFS_RESULT_OK && on != 0;
}

bool FlashJob::FellBack() const
{
    uint64_t fellBack = 0;
    return tool_ && tool_->GetSetting(CFS_TAMBRIX_FAST_FALLBACK, &fellBack, sizeof fellBack) == CFS_RESULT_OK &&
           fellBack != 0;
}

std::vector<std::unique_ptr<FlashJob>> PrepareJobs(const CommandOptions& options, Library& library, int& exitCode)
{
    std::vector<std::unique_ptr<FlashJob>> jobs;
    if ((exitCode = CheckInputs(options)))
        return jobs;
    std::string error;
    if (!library.Load(options.device.library, error)) {
        exitCode = Fail(kExitNoLibrary, error);
        return jobs;
    }
    for (const std::string& port : options.device.ports) {
        jobs.push_back(std::make_unique<FlashJob>(library, options.device, port));
        if (!jobs.back()->Configure(error, exitCode)) {
            Fail(exitCode, port + ": " + error);
            jobs.clear();
            return jobs;
        }
    }
    return jobs;
}

} // namespace flasher
