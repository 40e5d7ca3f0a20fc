// What a station is told on its command line.
#pragma once

#include "../Options.h"

#include <string>
#include <vector>

namespace flasher {

struct StationOptions {
    CommandOptions command;          // the file, the line settings, --json, -q
    std::vector<std::string> patterns;   // --port: paths or globs
    std::vector<std::string> usbIds;     // --usb-id VID:PID
    double probeEvery = 2;           // seconds between probes of a quiet port
    bool skipCurrent = false;
    int tries = 2;
    int count = 0;                   // 0: no limit
    bool once = false;
    int maxParallel = 16;
    std::string logDir;
    std::string recordDir;
    bool recordFailures = false;
    std::string ledger;              // FILE.db, may be empty
};

struct LedgerQuery {
    std::string file;
    bool csv = false;
    bool json = false;
    bool summary = false;
    std::string since;               // ISO 8601, may be empty
    std::string port;
    std::string outcome;
};

int StationCommand(const StationOptions& options);
int LedgerCommand(const LedgerQuery& query);

} // namespace flasher
