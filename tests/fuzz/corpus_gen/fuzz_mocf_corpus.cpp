// Writes the initial corpus of fuzz_mocf: small valid containers and
// single images from the firmware builder, in the directory given.
#include "files/FirmwareBuilder.h"
#include "files/libmocf_14/shared/TlvContainerCreator.h"

#include <cstdio>
#include <string>
#include <vector>

namespace {

bool Write(const std::string& dir, const char* name, const std::vector<uint8_t>& bytes)
{
    std::string path = dir + "/" + name;
    FILE* out = std::fopen(path.c_str(), "wb");
    if (!out || bytes.empty()) {
        std::fprintf(stderr, "fuzz_mocf_corpus: %s: cannot write\n", path.c_str());
        if (out)
            std::fclose(out);
        return false;
    }
    bool ok = std::fwrite(bytes.data(), 1, bytes.size(), out) == bytes.size();
    return std::fclose(out) == 0 && ok;
}

firmware::ImageRecipe Small(firmware::ImageRecipe recipe, uint32_t size)
{
    recipe.size = size;
    return recipe;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: fuzz_mocf_corpus DIR\n");
        return 64;
    }
    std::string dir = argv[1];
    std::vector<uint8_t> boot = firmware::MakeImage(Small(firmware::DefaultBoot(), 300));
    std::vector<uint8_t> app = firmware::MakeImage(Small(firmware::DefaultApp(), 301));

    firmware::ContainerRecipe standard;
    standard.tableIds = {1, 2};
    standard.images = {boot, app};

    firmware::ContainerRecipe bare = standard;
    bare.digest = false;

    firmware::ImageRecipe jg3h = Small(firmware::DefaultApp(), 262);
    jg3h.objectType = 0x4833474a;
    jg3h.compat = {1, 2, 3};
    jg3h.incompat = {9};
    firmware::ContainerRecipe noTable;
    noTable.table = false;
    noTable.images = {app, firmware::MakeImage(jg3h), boot};

    // Records the builder has no words for: an empty one, an unknown type
    // with an odd length, no fill at the end.
    CMocfCreator creator;
    uint8_t header[4] = {};
    creator.AddHeaderRecord(header, sizeof header);
    creator.AddDigestRecord();
    creator.AddObject(0x0A000005, app.data() + 8, uint32_t(app.size() - 8));
    creator.AddObject(0x1234, "odd", 3);
    creator.AddObject(9, nullptr, 0);
    creator.AddObject(0x0A000001, boot.data() + 8, uint32_t(boot.size() - 8));
    creator.Seal();
    std::vector<uint8_t> odd(creator.Data(), creator.Data() + creator.Size());

    firmware::ImageRecipe single = Small(firmware::DefaultBoot(), 280);
    single.objectType = 0x0B400000;

    bool ok = Write(dir, "container", firmware::MakeContainer(standard)) &&
              Write(dir, "container-no-digest", firmware::MakeContainer(bare)) &&
              Write(dir, "container-no-table", firmware::MakeContainer(noTable)) &&
              Write(dir, "container-odd-records", odd) && Write(dir, "single-app", app) &&
              Write(dir, "single-boot", firmware::MakeImage(single));
    return ok ? 0 : 1;
}
