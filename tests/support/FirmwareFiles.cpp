#include "support/FirmwareFiles.h"

#include "files/FirmwareBuilder.h"

namespace testing_support {

FirmwareFile StandardFile(uint8_t compat, const std::string& appRevision, uint32_t appSize)
{
    firmware::ImageRecipe boot = firmware::DefaultBoot();
    boot.compat = {compat};
    boot.swRev = "BOOT-2";
    boot.size = 5000;
    firmware::ImageRecipe app = firmware::DefaultApp();
    app.compat = {compat};
    app.swRev = appRevision;
    app.size = appSize;
    FirmwareFile f;
    f.boot = firmware::MakeImage(boot);
    f.app = firmware::MakeImage(app);
    firmware::ContainerRecipe recipe;
    recipe.tableIds = {compat};
    recipe.images = {f.boot, f.app};
    f.file = firmware::MakeContainer(recipe);
    return f;
}

bool HoldsFile(const sim::FirmwareUnit& unit, const FirmwareFile& file)
{
    std::vector<uint8_t> boot(file.boot.begin() + firmware::kImageHeaderSize, file.boot.end());
    return unit.BootArea().data == boot && unit.ApplicationArea().data == file.app;
}

} // namespace testing_support
