// The firmware file most whole-flash tests use: a container with a boot and
// an application image for one compat id, and what a unit holds once the
// file is flashed into it.
#pragma once

#include "sim/FirmwareUnit.h"

#include <cstdint>
#include <string>
#include <vector>

namespace testing_support {

struct FirmwareFile {
    std::vector<uint8_t> boot;
    std::vector<uint8_t> app;
    std::vector<uint8_t> file;
};

FirmwareFile StandardFile(uint8_t compat, const std::string& appRevision = "APP-2", uint32_t appSize = 20000);

// The boot area holds the boot image without its header, the application
// area the application image whole.
bool HoldsFile(const sim::FirmwareUnit& unit, const FirmwareFile& file);

} // namespace testing_support
