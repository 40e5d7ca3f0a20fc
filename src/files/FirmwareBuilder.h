// Makes firmware files in memory: single images with a kiro application
// header, and MOCF containers (header record, SHA-1 digest record, object
// table, image records) written with CMocfCreator. Used by the firmware file
// tool, the tests, the fuzz initial corpus and the device simulator, so no
// firmware binary ever needs to be checked in.
//
// Typical use:
//   firmware::ImageRecipe boot = firmware::DefaultBoot();   // type 'B', 0x0A000000
//   firmware::ImageRecipe app = firmware::DefaultApp();     // type 'A', 0x0A000004
//   app.swRev = "2.1.0";
//   app.compat = {3};
//   firmware::ContainerRecipe recipe;
//   recipe.tableIds = {3};
//   recipe.images = {firmware::MakeImage(boot), firmware::MakeImage(app)};
//   std::vector<uint8_t> file = firmware::MakeContainer(recipe);
//
// All integers are written little-endian. Nothing here throws: failures
// come back as false (with a reason) or as an empty vector.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace firmware {

enum : uint32_t {
    kBootObjectType = 0x0A000000,
    kAppObjectType = 0x0A000004,
    kImageHeaderSize = 256,
};

// One firmware image. Texts are stored NUL-padded and may not be longer than
// their field (16 characters, svn 32).
struct ImageRecipe {
    uint32_t objectType = kAppObjectType;  // record type, also the header's tag
    char type = 'A';                       // 'A' application, 'B' bootloader
    uint8_t hver = 1;
    uint16_t crcimg = 0;
    std::string pname = "TAMBRIX01";
    std::string swRev = "1.0.0";
    std::string ccDate = "Jan 01 2024";    // month abbreviation, day, year
    std::string ccTime = "12:00:00";
    std::string host;
    std::string svn;
    std::string eng;
    uint32_t faddr = 0;
    uint32_t prun = 0;
    uint32_t entry = 0;
    uint32_t buildtime = 0;
    std::vector<uint8_t> compat;           // at most 16 ids; a 0 would end the list early
    std::vector<uint8_t> incompat;         // at most 16 ids
    uint32_t size = 1024;                  // whole image, the 256-byte header included
    uint32_t pattern = 1;                  // the bytes after the header follow from it
};

// A bootloader image (type 'B', object type 0x0A000000) and an application
// image (type 'A', object type 0x0A000004), compat id 1, 1024 bytes each.
ImageRecipe DefaultBoot();
ImageRecipe DefaultApp();

// The whole image, exactly as a single-image file holds it: object type,
// payload length (size - 8), the rest of the header, then the body.
bool BuildImage(const ImageRecipe& recipe, std::vector<uint8_t>& out, std::string* error = nullptr);
// Empty when the recipe cannot be built.
std::vector<uint8_t> MakeImage(const ImageRecipe& recipe);

struct ContainerRecipe {
    std::vector<uint8_t> headerPayload{0, 0, 0, 0};  // first byte must be 0 for a valid file
    bool digest = true;                               // SHA-1 digest record, second
    bool table = true;                                // object table record, third
    std::vector<uint32_t> tableIds{1};
    // Whole images as BuildImage or a single-image file give them; each
    // becomes one record of its object type (the first 4 bytes), with the
    // bytes after the first 8 as payload.
    std::vector<std::vector<uint8_t>> images;
};

bool BuildContainer(const ContainerRecipe& recipe, std::vector<uint8_t>& out, std::string* error = nullptr);
// Empty when the recipe cannot be built.
std::vector<uint8_t> MakeContainer(const ContainerRecipe& recipe);

// The usual fixture: a valid container with the default boot and
// application images, both and the table carrying the given compat ids.
std::vector<uint8_t> MakeStandardContainer(const std::vector<uint8_t>& compat = {1});

} // namespace firmware
