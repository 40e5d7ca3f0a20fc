// What went wrong and where the device is left, told from the library's
// status reports and the error lines of its log.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace flasher {

// The status numbers of the library's reports (FlashTool.h lists them).
enum StatusNumber : uint32_t {
    kStatusGetInfo = 1,
    kStatusGotoBoot = 2,
    kStatusBootImage = 5,
    kStatusBootRestart = 7,
    kStatusAppImage = 9,
    kStatusAppRestart = 11,
    kStatusCancelling = 12,
    kStatusSetUp = 14,
    kStatusOpening = 15,
    kStatusOpenMayRetry = 16,
    kStatusClosing = 17,
    kStatusBadFile = 18,
    kStatusCancelled = 19,
    kStatusNoOpen = 20,
    kStatusNoCom = 21,
    kStatusNoAnswer = 22,
    kStatusTimeout = 23,
};

// What the device is busy with while the library reports this status, in
// words ("waiting for the device to restart"); null for the reports that
// only open or close the interface.
const char* StepOf(uint32_t status);

// The reports of one operation, as far as the flasher needs them.
struct StatusTrail {
    uint32_t step = 0;          // the last report that names a step, 0 none
    uint32_t terminal = 0;      // the last of 18..23, 0 none
    bool bootEntered = false;   // 2 seen: the device was sent into its bootloader
    bool appStarted = false;    // 9 seen: the application area is being rewritten
    bool appWritten = false;    // 9 reached its end, or 11 seen
    bool bootWritten = false;   // 5 reached its end, or 7 seen
    bool restartWait = false;   // 7 or 11 seen

    void Add(uint32_t status, uint64_t x, uint64_t y);
};

// The error lines of the library's log that say more than a result.
struct LogFacts {
    std::string systemError;     // "Invalid argument": the last "Error: (PORT) 0x.. TEXT"
    std::string refusedLine;     // "115200 8-E-1": settings the port refused, else empty
    std::string openedLine;      // the line settings of the last "OPEN:" line
    std::vector<std::string> settingsErrors;   // "file.txt:2: ERROR: ..." lines
    bool portNameAsked = false;  // the library looked for the device under a new name
    bool noReport = false;       // a version or device query got no report
    std::string deniedNode;      // the last USB node this user had no permission to open
    std::string busyReason;      // "another program holds the device; ...": why a USB open failed
};

LogFacts ScanLog(const std::string& text);

enum class Operation { Flash, Version, Device };

struct Facts {
    Operation operation = Operation::Flash;
    int32_t result = 0;
    bool cancelled = false;
    bool usb = false;
    std::string port;
    std::string line;              // "115200 8-N-1"
    std::string file;
    bool startedInBootloader = false;
    StatusTrail trail;
    LogFacts log;
};

struct Diagnosis {
    bool failed = false;
    std::string failedStep;        // empty when it did not fail
    std::string detail;            // what failed, one line
    std::string hint;              // what to try, may be empty
    std::string deviceState;       // flash: "untouched", "bootloader", "flashed"
    std::string stateText;         // the state in words
    bool noPermission = false;     // a USB node this user may not open (exit code 77)
};

Diagnosis Diagnose(const Facts& facts);

// An upper bound, in seconds, of how long the library may still take
// before it sees a cancel and has brought the device back, at this step.
// Its timeouts: the reply and menu command timeouts, the restart wait and
// the number of tries (ms, ms, ms, count).
struct Timeouts {
    uint64_t replyMs = 1000;
    uint64_t menuMs = 1000;
    uint64_t resetMs = 10000;
    uint64_t retries = 3;
    uint64_t btlReplyMs = 5000;
    uint64_t btlRetries = 3;
};
int CancelBoundSeconds(uint32_t step, const Timeouts& t);

} // namespace flasher
