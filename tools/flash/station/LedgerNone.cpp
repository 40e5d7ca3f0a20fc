// Builds without SQLite (the Windows one): a station runs without a ledger.
#include "Ledger.h"

namespace flasher {

std::unique_ptr<Ledger> OpenLedger(const std::string& path, bool, std::string& error)
{
    error = "the ledger " + path + " cannot be used: this build of tambrix-flash has no SQLite";
    return nullptr;
}

} // namespace flasher
