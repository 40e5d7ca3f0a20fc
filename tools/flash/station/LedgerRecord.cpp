#include "Ledger.h"

#include <chrono>
#include <cstdio>
#include <ctime>

namespace flasher {

const char* const kLedgerColumns[22] = {
    "id",         "station",    "started_at",  "ended_at",     "port",  "device",   "report_before",
    "report_after", "file_name", "file_sha1",  "app_before",   "app_after", "boot_before", "boot_after",
    "outcome",    "result",     "cause",       "device_state", "tries", "seconds",  "tool_version",
    "library_version"};

std::string ColumnText(const FlashRecord& r, size_t column)
{
    switch (column) {
    case 0: return std::to_string(r.id);
    case 1: return r.station;
    case 2: return r.startedAt;
    case 3: return r.endedAt;
    case 4: return r.port;
    case 5: return r.device;
    case 6: return r.reportBefore;
    case 7: return r.reportAfter;
    case 8: return r.fileName;
    case 9: return r.fileSha1;
    case 10: return r.appBefore;
    case 11: return r.appAfter;
    case 12: return r.bootBefore;
    case 13: return r.bootAfter;
    case 14: return r.outcome;
    case 15: return r.result ? std::to_string(*r.result) : "";
    case 16: return r.cause;
    case 17: return r.deviceState;
    case 18: return std::to_string(r.tries);
    case 19: {
        if (!r.seconds)
            return "";
        char text[32];
        std::snprintf(text, sizeof text, "%.3f", *r.seconds);
        return text;
    }
    case 20: return r.toolVersion;
    case 21: return r.libraryVersion;
    default: return "";
    }
}

std::string UtcNow()
{
    std::time_t now = std::chrono::system_clock::to_time_t(std::chrono::system_clock::now());
    std::tm utc{};
#ifdef _WIN32
    gmtime_s(&utc, &now);
#else
    gmtime_r(&now, &utc);
#endif
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &utc);
    return text;
}

} // namespace flasher
