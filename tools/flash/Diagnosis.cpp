#include "Diagnosis.h"

#include "Results.h"
#include "UdevRule.h"

#include "tambrix01/FlashTool.h"

#include <sstream>

namespace flasher {

const char* StepOf(uint32_t status)
{
    switch (status) {
    case kStatusGetInfo: return "reading the device's report (P_INFO)";
    case kStatusGotoBoot: return "sending the device into its bootloader";
    case kStatusBootImage: return "writing the bootloader image";
    case kStatusBootRestart: return "waiting for the device to restart";
    case kStatusAppImage: return "writing the application image";
    case kStatusAppRestart: return "waiting for the device to restart with its new application";
    default: return nullptr;
    }
}

void StatusTrail::Add(uint32_t status, uint64_t x, uint64_t y)
{
    if (StepOf(status))
        step = status;
    if (status >= kStatusBadFile && status <= kStatusTimeout)
        terminal = status;
    bootEntered = bootEntered || status == kStatusGotoBoot || status == kStatusBootImage || status == kStatusAppImage;
    bool imageEnd = y > 0 && x >= y;
    if (status == kStatusBootImage && imageEnd)
        bootWritten = true;
    if (status == kStatusAppImage) {
        appStarted = true;
        appWritten = appWritten || imageEnd;
    }
    if (status == kStatusBootRestart)
        bootWritten = true;
    if (status == kStatusAppRestart)
        appWritten = true;
    restartWait = restartWait || status == kStatusBootRestart || status == kStatusAppRestart;
}

namespace {

bool StartsWith(const std::string& text, const char* prefix)
{
    return text.rfind(prefix, 0) == 0;
}

// "OPEN: /dev/ttyS0 @ 115200 8-N-1" gives "115200 8-N-1".
std::string OpenedSettings(const std::string& line)
{
    size_t at = line.rfind(" @ ");
    return at == std::string::npos ? "" : line.substr(at + 3);
}

// "Error: (/dev/x) 0x00000016 Invalid argument" gives "Invalid argument".
std::string SystemText(const std::string& line)
{
    size_t code = line.find(") 0x");
    if (code == std::string::npos)
        return "";
    size_t text = line.find(' ', code + 4);
    return text == std::string::npos ? "" : line.substr(text + 1);
}

} // namespace

LogFacts ScanLog(const std::string& text)
{
    LogFacts facts;
    std::istringstream lines(text);
    bool refusing = false;
    for (std::string line; std::getline(lines, line);) {
        // Stamp lines start the next line with a space.
        size_t first = line.find_first_not_of(' ');
        line = first == std::string::npos ? "" : line.substr(first);
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        if (StartsWith(line, "OPEN: ")) {
            facts.openedLine = OpenedSettings(line);
            refusing = false;
        } else if (StartsWith(line, "Cannot set (sdk) serial parameters")) {
            refusing = true;
        } else if (StartsWith(line, "Error: (")) {
            facts.systemError = SystemText(line);
            if (refusing)
                facts.refusedLine = facts.openedLine;
        } else if (line.find(": ERROR: ") != std::string::npos) {
            facts.settingsErrors.push_back(line);
        } else if (StartsWith(line, "do_usb_open - ") && line.find(": no permission to open it") != std::string::npos) {
            // "do_usb_open - /dev/hidraw3: (13) Permission denied: no permission to open it (...)"
            size_t end = line.find(": (");
            if (end != std::string::npos)
                facts.deniedNode = line.substr(14, end - 14);
        } else if (StartsWith(line, "do_usb_open - ") && (line.find(": another program holds the device") !=
                                                               std::string::npos ||
                                                           line.find(": another flasher holds the device") !=
                                                               std::string::npos)) {
            facts.busyReason = line.substr(line.find(": another ") + 2);
        } else if (StartsWith(line, "Can not get P_INFO to detect scanner type.")) {
            facts.noReport = true;
        } else if (line.find("client can not provided new port string") != std::string::npos ||
                   StartsWith(line, "New port string is empty")) {
            facts.portNameAsked = true;
        }
    }
    return facts;
}

namespace {

std::string Where(const Facts& f)
{
    return f.usb ? f.port + " (USB)" : f.port + " at " + f.line;
}

// The device's state after a flash that did not succeed, from how far the
// reports got.
void TellState(const Facts& f, Diagnosis& d)
{
    if (Flashed(f.result) || f.result == FLASH_RESULT_NO_SERVER_MODE || f.trail.appWritten) {
        d.deviceState = "flashed";
        d.stateText = "flashed: the new application is written";
        if (f.cancelled && !Flashed(f.result))
            d.stateText += "; the check that it runs was cancelled";
        else if (!Flashed(f.result))
            d.stateText += "; it did not answer as expected afterwards";
    } else if (f.trail.appStarted) {
        d.deviceState = "bootloader";
        d.stateText = "in its bootloader without an application: run flash again";
    } else if (f.trail.bootEntered || f.startedInBootloader) {
        d.deviceState = "bootloader";
        d.stateText = f.trail.bootWritten ? "in its bootloader, its application not yet written: run flash again"
                                          : "in its bootloader: run flash again";
    } else {
        d.deviceState = "untouched";
        d.stateText = "untouched: nothing was written to it";
    }
}

// The cause in words, most specific first.
void TellCause(const Facts& f, Diagnosis& d)
{
    const LogFacts& log = f.log;
    if (f.cancelled || (f.operation == Operation::Flash && f.result == FLASH_RESULT_CANCELLED)) {
        d.detail = "cancelled" + (d.failedStep.empty() ? std::string() : " while " + d.failedStep);
        return;
    }
    if (!log.deniedNode.empty()) {
        d.noPermission = true;
        d.detail = "no permission to open " + log.deniedNode;
        d.hint = "give this user its HID nodes with: " + UdevRuleCommandLine(log.deniedNode);
        return;
    }
    if (!log.busyReason.empty() && f.usb && f.trail.step == 0) {
        d.detail = "the device on " + f.port + " could not be opened: " + log.busyReason;
        return;
    }
    if (!log.refusedLine.empty()) {
        d.detail = "the port refused " + log.refusedLine + ": " + log.systemError;
        d.hint = "use line settings the port supports (--baud, --parity, --stop)";
        return;
    }
    if (!log.systemError.empty() && f.trail.step == 0) {
        d.detail = "the port " + f.port + " could not be opened: " + log.systemError;
        d.hint = "check the port's name and that no other program uses it";
        return;
    }
    switch (f.operation == Operation::Flash ? f.result : 0) {
    case FLASH_RESULT_BAD_FILE:
        d.detail = f.file + " is not firmware (neither an MOCF container nor a known image)";
        d.hint = "check the file with: tambrix-flash info " + f.file;
        return;
    case FLASH_RESULT_INCOMPATIBLE:
        d.detail = "the firmware in " + f.file + " does not fit the device on " + f.port;
        d.hint = "see which device is there with: tambrix-flash device --port " + f.port;
        return;
    case FLASH_RESULT_NO_PORT_NAME:
        d.detail = "the device came back under a new port name after its restart, and none was given";
        d.hint = "find its new name with: tambrix-flash ports";
        return;
    default:
        break;
    }
    bool restarting = f.trail.step == kStatusBootRestart || f.trail.step == kStatusAppRestart;
    if (restarting && (f.trail.terminal == kStatusNoCom || f.trail.terminal == kStatusTimeout ||
                       f.trail.terminal == kStatusNoOpen || log.portNameAsked || f.result < 0 ||
                       !log.systemError.empty())) {
        d.detail = "the device did not come back after its restart (new port name?)";
        if (!log.systemError.empty())
            d.detail += ": " + f.port + ": " + log.systemError;
        d.hint = "look for it with: tambrix-flash ports";
        return;
    }
    if (f.trail.step == kStatusGetInfo || (f.trail.step == 0 && f.trail.terminal == kStatusNoAnswer) ||
        log.noReport) {
        d.detail = "no answer to P_INFO on " + Where(f) + ": wrong port, wrong speed, or the device is off";
        d.hint = "check the cable and the port (tambrix-flash ports) and the device's line settings";
        return;
    }
    if (f.operation == Operation::Flash) {
        d.detail = std::string(FlashMeaning(f.result));
        if (!d.failedStep.empty())
            d.detail += " (while " + d.failedStep + ")";
    } else {
        d.detail = std::string(VersionMeaning(f.result));
    }
}

bool Failed(const Facts& f)
{
    if (f.operation == Operation::Flash)
        return !Flashed(f.result);
    return f.result != 0;
}

} // namespace

Diagnosis Diagnose(const Facts& f)
{
    Diagnosis d;
    d.failed = Failed(f);
    if (f.operation == Operation::Flash)
        TellState(f, d);
    if (!d.failed)
        return d;
    if (const char* step = StepOf(f.trail.step))
        d.failedStep = step;
    else if (!f.log.systemError.empty() || f.trail.terminal == kStatusNoOpen)
        d.failedStep = "opening the port";
    TellCause(f, d);
    return d;
}

int CancelBoundSeconds(uint32_t step, const Timeouts& t)
{
    // After the cancel is seen the device still gets its end-of-flash
    // command, with three times the menu timeout, and the port is opened
    // and closed around it.
    uint64_t completionMs = 3 * t.menuMs + 2000;
    uint64_t stepMs;
    switch (step) {
    case kStatusGotoBoot:
    case kStatusBootRestart:
    case kStatusAppRestart:
        stepMs = t.resetMs + t.menuMs;
        break;
    case kStatusBootImage:
    case kStatusAppImage:
        stepMs = t.btlRetries * t.btlReplyMs;
        break;
    default:
        // The report's tries, each with its wake-up, reply and pause.
        stepMs = t.retries * (550 + t.menuMs + 1000);
        break;
    }
    return static_cast<int>((stepMs + completionMs + 999) / 1000);
}

} // namespace flasher
