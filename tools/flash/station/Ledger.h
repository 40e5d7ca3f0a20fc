// The station's record of every device it took: one row per device, begun
// when the device is taken and completed when it ends, so that a crash
// leaves rows that the next start can call interrupted. Behind this small
// interface so that another store can take the SQLite file's place.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace flasher {

struct FlashRecord {
    int64_t id = 0;
    std::string station;             // host name
    std::string startedAt, endedAt;  // ISO 8601 UTC; endedAt empty while open
    std::string port;
    std::string device;              // the identity the station tells devices apart by
    std::string reportBefore, reportAfter;
    std::string fileName, fileSha1;
    std::string appBefore, appAfter, bootBefore, bootAfter;
    std::string outcome;             // flashed, current, failed, cancelled, interrupted; empty while open
    std::optional<int32_t> result;   // the library's
    std::string cause;
    std::string deviceState;
    int tries = 0;
    std::optional<double> seconds;
    std::string toolVersion, libraryVersion;
};

// The columns in table order, for exports.
extern const char* const kLedgerColumns[22];
// A record's column as text (empty for NULL).
std::string ColumnText(const FlashRecord& record, size_t column);

struct LedgerFilter {
    std::string since;   // started_at at or after; empty: all
    std::string port;
    std::string outcome;
};

class Ledger {
public:
    virtual ~Ledger() = default;
    // Stores the open row and gives its id.
    virtual bool Begin(FlashRecord& record, std::string& error) = 0;
    // Completes the row of record.id with every field of record.
    virtual bool Complete(const FlashRecord& record, std::string& error) = 0;
    virtual bool Select(const LedgerFilter& filter, std::vector<FlashRecord>& rows, std::string& error) = 0;
    // Open rows whose station is gone, marked interrupted at open.
    virtual int Interrupted() const = 0;
};

// Opens (creating when missing) the ledger file. forStation: this process
// will add rows, so open rows of stations that are no longer running are
// marked interrupted first. Null with the reason when it cannot be used.
std::unique_ptr<Ledger> OpenLedger(const std::string& path, bool forStation, std::string& error);

// "2026-12-11T13:45:01Z", now.
std::string UtcNow();

} // namespace flasher
