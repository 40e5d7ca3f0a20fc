// ledger: the rows of a station's ledger as a table, CSV or JSON lines,
// or their counts by outcome and by version.
#include "Ledger.h"
#include "StationOptions.h"

#include "../Commands.h"
#include "../Results.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <map>
#include <tuple>

namespace flasher {

namespace {

std::string CsvField(const std::string& text)
{
    if (text.find_first_of(",\"\r\n") == std::string::npos)
        return text;
    std::string quoted = "\"";
    for (char c : text)
        quoted += c == '"' ? std::string("\"\"") : std::string(1, c);
    return quoted + "\"";
}

void PrintCsv(const std::vector<FlashRecord>& rows)
{
    std::string line;
    for (size_t c = 0; c < 22; ++c)
        line += (c ? "," : "") + std::string(kLedgerColumns[c]);
    std::printf("%s\r\n", line.c_str());
    for (const FlashRecord& row : rows) {
        line.clear();
        for (size_t c = 0; c < 22; ++c)
            line += (c ? "," : "") + CsvField(ColumnText(row, c));
        std::printf("%s\r\n", line.c_str());
    }
}

nlohmann::json RowJson(const FlashRecord& row)
{
    nlohmann::json object;
    for (size_t c = 0; c < 22; ++c) {
        std::string text = ColumnText(row, c);
        object[kLedgerColumns[c]] = text.empty() ? nlohmann::json(nullptr) : nlohmann::json(text);
    }
    object["id"] = row.id;
    object["tries"] = row.tries;
    object["result"] = row.result ? nlohmann::json(*row.result) : nlohmann::json(nullptr);
    object["seconds"] = row.seconds ? nlohmann::json(*row.seconds) : nlohmann::json(nullptr);
    return object;
}

void PrintJsonLine(const nlohmann::json& object)
{
    std::printf("%s\n", object.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace).c_str());
}

std::string Or(const std::string& text, const char* none = "-")
{
    return text.empty() ? none : text;
}

void PrintTable(const std::vector<FlashRecord>& rows)
{
    std::printf("%-5s  %-20s  %-24s  %-11s  %-24s  %7s  %s\n", "ID", "STARTED", "PORT", "OUTCOME", "APPLICATION",
                "SECONDS", "CAUSE");
    for (const FlashRecord& r : rows) {
        std::string app = Or(r.appBefore) + (r.appAfter.empty() || r.appAfter == r.appBefore ? "" : " -> " + r.appAfter);
        std::printf("%-5lld  %-20s  %-24s  %-11s  %-24s  %7s  %s\n", static_cast<long long>(r.id),
                    r.startedAt.c_str(), r.port.c_str(), Or(r.outcome, "open").c_str(), app.c_str(),
                    Or(ColumnText(r, 19)).c_str(), r.cause.c_str());
    }
}

// What the device runs once its row ended: the version after, else before.
std::string Version(const std::string& after, const std::string& before)
{
    return after.empty() ? before : after;
}

void PrintSummary(const std::vector<FlashRecord>& rows, bool json)
{
    std::map<std::string, int> outcomes;
    std::map<std::tuple<std::string, std::string, std::string>, int> versions;
    for (const FlashRecord& r : rows) {
        std::string outcome = Or(r.outcome, "open");
        ++outcomes[outcome];
        ++versions[{outcome, Version(r.appAfter, r.appBefore), Version(r.bootAfter, r.bootBefore)}];
    }
    if (json) {
        nlohmann::json byVersion = nlohmann::json::array();
        for (const auto& [key, count] : versions)
            byVersion.push_back({{"outcome", std::get<0>(key)},
                                 {"application", std::get<1>(key).empty() ? nlohmann::json(nullptr)
                                                                          : nlohmann::json(std::get<1>(key))},
                                 {"bootloader", std::get<2>(key).empty() ? nlohmann::json(nullptr)
                                                                         : nlohmann::json(std::get<2>(key))},
                                 {"count", count}});
        PrintJsonLine({{"event", "ledger-summary"}, {"rows", rows.size()}, {"outcomes", outcomes},
                       {"versions", byVersion}});
        return;
    }
    std::printf("%zu rows\n", rows.size());
    for (const auto& [outcome, count] : outcomes)
        std::printf("%-11s  %d\n", outcome.c_str(), count);
    std::printf("\n%-11s  %-24s  %-24s  %s\n", "OUTCOME", "APPLICATION", "BOOTLOADER", "COUNT");
    for (const auto& [key, count] : versions)
        std::printf("%-11s  %-24s  %-24s  %d\n", std::get<0>(key).c_str(), Or(std::get<1>(key)).c_str(),
                    Or(std::get<2>(key)).c_str(), count);
}

// "2026-12-11", "2026-12-11T13:00", "2026-12-11T13:00:05Z": compared as
// text with the stored times, which share the form.
bool ValidTime(const std::string& text)
{
    const std::string shape = "dddd-dd-ddTdd:dd:dd";
    std::string body = !text.empty() && text.back() == 'Z' ? text.substr(0, text.size() - 1) : text;
    if (body.size() != 10 && body.size() != 13 && body.size() != 16 && body.size() != 19)
        return false;
    for (size_t i = 0; i < body.size(); ++i) {
        char want = shape[i];
        if (want == 'd' ? !std::isdigit(static_cast<unsigned char>(body[i])) : body[i] != want)
            return false;
    }
    return true;
}

} // namespace

int LedgerCommand(const LedgerQuery& query)
{
    if (!query.since.empty() && !ValidTime(query.since))
        return Fail(kExitUsage, "--since " + query.since + ": not a time such as 2026-12-11 or 2026-12-11T13:00:00Z");
    const char* outcomes[] = {"flashed", "current", "failed", "cancelled", "interrupted"};
    if (!query.outcome.empty() && std::find(std::begin(outcomes), std::end(outcomes), query.outcome) == std::end(outcomes))
        return Fail(kExitUsage, "--outcome " + query.outcome + ": one of flashed, current, failed, cancelled, interrupted");
    std::FILE* exists = std::fopen(query.file.c_str(), "rb");
    if (!exists)
        return Fail(kExitNoInput, "the ledger " + query.file + ": no such file");
    std::fclose(exists);
    std::string error;
    auto ledger = OpenLedger(query.file, false, error);
    if (!ledger)
        return Fail(kExitNoInput, error);
    LedgerFilter filter;
    filter.since = !query.since.empty() && query.since.back() == 'Z' ? query.since.substr(0, query.since.size() - 1)
                                                                      : query.since;
    filter.port = query.port;
    filter.outcome = query.outcome;
    std::vector<FlashRecord> rows;
    if (!ledger->Select(filter, rows, error))
        return Fail(kExitNoInput, error);
    if (query.summary)
        PrintSummary(rows, query.json);
    else if (query.csv)
        PrintCsv(rows);
    else if (query.json)
        for (const FlashRecord& row : rows)
            PrintJsonLine(RowJson(row));
    else
        PrintTable(rows);
    return 0;
}

} // namespace flasher
