// The firmware files the whole-flash tests use: a container with a boot and
// an application image for one compat id, and what each area holds once the
// file is flashed. Header only, so that hosts which must not link the test
// support (the Windows flash host, the fuzz targets) can build the same files.
#pragma once

#include "files/FirmwareBuilder.h"

#include <cstdint>
#include <string>
#include <vector>

namespace testing_support {

using Bytes = std::vector<uint8_t>;

struct FirmwareFile {
    Bytes boot;   // empty in a file that holds only the application
    Bytes app;
    Bytes file;

    // The bootloader is written without its header.
    Bytes BootArea() const { return boot.empty() ? Bytes{} : Bytes(boot.begin() + firmware::kImageHeaderSize, boot.end()); }
};

struct FileShape {
    std::string bootRevision = "BOOT-2";
    uint32_t bootSize = 5000;   // 0: no boot image
    std::string appRevision = "APP-2";
    uint32_t appSize = 20000;
};

inline FirmwareFile StandardFile(uint8_t compat, const FileShape& shape = {})
{
    firmware::ImageRecipe app = firmware::DefaultApp();
    app.compat = {compat};
    app.swRev = shape.appRevision;
    app.size = shape.appSize;
    FirmwareFile f;
    f.app = firmware::MakeImage(app);
    firmware::ContainerRecipe recipe;
    recipe.tableIds = {compat};
    recipe.images = {f.app};
    if (shape.bootSize != 0) {
        firmware::ImageRecipe boot = firmware::DefaultBoot();
        boot.compat = {compat};
        boot.swRev = shape.bootRevision;
        boot.size = shape.bootSize;
        f.boot = firmware::MakeImage(boot);
        recipe.images.insert(recipe.images.begin(), f.boot);
    }
    f.file = firmware::MakeContainer(recipe);
    return f;
}

// The real-time flashes (on a pty natively, through a COM port under Wine):
// several blocks per area, the last one short. The application reports
// kRealTimeAppVersion once it runs.
constexpr const char* kRealTimeAppVersion = "E2E-APP-2";

inline FirmwareFile RealTimeFile(uint8_t compat)
{
    return StandardFile(compat, {"E2E-BOOT-2", 3000, kRealTimeAppVersion, 12001});
}

inline std::string AsString(const Bytes& bytes) { return std::string(bytes.begin(), bytes.end()); }

} // namespace testing_support
