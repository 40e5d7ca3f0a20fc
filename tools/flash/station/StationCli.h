// The station's and the ledger's command lines, added to tambrix-flash's.
#pragma once

#include "StationOptions.h"

#include <CLI/CLI.hpp>

namespace flasher {

struct StationCommands {
    CLI::App* station = nullptr;
    CLI::App* ledger = nullptr;
};

StationCommands AddStationCommands(CLI::App& app, StationOptions& station, LedgerQuery& ledger);

// The checks the parser cannot make; 0 or the exit code, its line printed.
int CheckStationOptions(const StationOptions& options);

} // namespace flasher
