// The --json output: one object per line, one line per device or port.
#pragma once

#include "FlashJob.h"
#include "Diagnosis.h"
#include "Ports.h"

#include <nlohmann/json.hpp>

namespace flasher {

// Every object carries "event": "progress" while a device flashes,
// "result" at the end of flash and version, "device" for device, "port"
// for ports.
nlohmann::json ProgressJson(const FlashJob& job, const std::vector<PhaseProgress>& phases, const std::string& wait);
nlohmann::json FlashJson(const FlashJob& job, const std::string& file, const Diagnosis& diagnosis);
nlohmann::json VersionJson(const FlashJob& job, const std::string& file, const FileVersionInfo& info,
                           const Diagnosis& diagnosis);
nlohmann::json DeviceJson(const FlashJob& job, const std::string& report, const Diagnosis& diagnosis);
nlohmann::json PortJson(const PortInfo& port);
// A device's report: {"mode", "application", "bootloader", "report": {tag: value}}; null when empty.
nlohmann::json ReportJson(const std::string& text);
void PrintJson(const nlohmann::json& object);

// "2026-12-09T12:00:00" from the library's nine build-time numbers; empty
// when they hold no date.
std::string BuildTimeText(const int32_t time[9]);

} // namespace flasher
