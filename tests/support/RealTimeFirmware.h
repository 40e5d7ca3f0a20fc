// The firmware file of the real-time flashes (on a pty natively, through a
// COM port under Wine): a boot and an application image of several blocks
// each, the last block short, and what each area must hold afterwards.
#pragma once

#include "files/FirmwareBuilder.h"

#include <cstdint>
#include <string>
#include <vector>

namespace testing_support {

struct RealTimeFirmware {
    std::vector<uint8_t> boot;
    std::vector<uint8_t> app;
    std::vector<uint8_t> file;

    // The bootloader is written without its header.
    std::string BootArea() const { return std::string(boot.begin() + firmware::kImageHeaderSize, boot.end()); }
    std::string ApplicationArea() const { return std::string(app.begin(), app.end()); }
    std::string File() const { return std::string(file.begin(), file.end()); }
};

// The application reports kRealTimeAppVersion once it runs.
constexpr const char* kRealTimeAppVersion = "E2E-APP-2";

inline RealTimeFirmware BuildRealTimeFirmware(uint8_t compat)
{
    firmware::ImageRecipe boot = firmware::DefaultBoot();
    boot.compat = {compat};
    boot.swRev = "E2E-BOOT-2";
    boot.size = 3000;
    firmware::ImageRecipe app = firmware::DefaultApp();
    app.compat = {compat};
    app.swRev = kRealTimeAppVersion;
    app.size = 12001;
    RealTimeFirmware f;
    f.boot = firmware::MakeImage(boot);
    f.app = firmware::MakeImage(app);
    firmware::ContainerRecipe recipe;
    recipe.tableIds = {compat};
    recipe.images = {f.boot, f.app};
    f.file = firmware::MakeContainer(recipe);
    return f;
}

} // namespace testing_support
