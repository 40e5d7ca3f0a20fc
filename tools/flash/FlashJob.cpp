#include "FlashJob.h"

#include "Results.h"
#include "Text.h"

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

bool FlashJob::Configure(std::string& error, int& exitCode)
{
    exitCode = kExitUsage;
    tool_ = library_.create();
    if (!tool_) {
        error = "the library made no tool object";
        exitCode = kExitNoLibrary;
        return false;
    }
    std::string log = LogFileFor(options_, port_);
    if (!log.empty()) {
        logName_ = Widen(log);
        LogFileSettings settings = {LOG_TO_FILE, logName_.c_str(), LogPreset(options_.logLevel)};
        if (!Set(CFS_LOGFILE, &settings, sizeof settings, "the log file", error))
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
        if (!Set(CFS_PROTOCOL_SETTINGS, name.data(), name.size() * sizeof(wchar_t),
                 "the settings file (see the log with --log)", error))
            return false;
    }
    uint64_t type = options_.usb ? INTERFACE_USB_HID : INTERFACE_RS232;
    std::wstring port = Widen(port_);
    if (!Set(CFS_INTERFACE, &type, sizeof type, "the interface", error) ||
        !Set(CFS_PORTNAME, port.data(), port.size(), "the port name", error))
        return false;
    if (!options_.usb && !SetSerialLine(error))
        return false;
    auto callback = reinterpret_cast<void*>(&FlashJob::OnProgress);
    return Set(CFS_FWCALLBACK, callback, 8, "the progress callback", error);
}

int32_t FlashJob::OnProgress(uint64_t context, int32_t, uint64_t position, uint64_t total)
{
    auto* job = reinterpret_cast<FlashJob*>(static_cast<uintptr_t>(context));
    job->progress_.Update(position, total, Clock::now());
    return 0;
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

} // namespace flasher
