// The --json output: one object per line, one line per device or port.
#pragma once

#include "FlashJob.h"
#include "Ports.h"

#include <nlohmann/json.hpp>

namespace flasher {

nlohmann::json FlashJson(const FlashJob& job, const std::string& file);
nlohmann::json VersionJson(const FlashJob& job, const std::string& file, const FileVersionInfo& info);
nlohmann::json PortJson(const PortInfo& port);
void PrintJson(const nlohmann::json& object);

// "2026-12-09T12:00:00" from the library's nine build-time numbers; empty
// when they hold no date.
std::string BuildTimeText(const int32_t time[9]);

} // namespace flasher
