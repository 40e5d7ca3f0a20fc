#include "files/FirmwareBuilder.h"

#include "files/libmocf_14/shared/TlvContainerCreator.h"
#include "files/libmocf_14/shared/TlvContainerParser.h"

#include <cstring>
#include <exception>

namespace firmware {

namespace {

bool Fail(std::string* error, const std::string& text)
{
    if (error)
        *error = text;
    return false;
}

bool PutText(uint8_t* at, size_t width, const std::string& text, const char* field, std::string* error)
{
    if (text.size() > width)
        return Fail(error, std::string(field) + " is longer than " + std::to_string(width) + " characters");
    memcpy(at, text.data(), text.size());
    return true;
}

bool PutIds(uint8_t* at, const std::vector<uint8_t>& ids, const char* field, std::string* error)
{
    if (ids.size() > 16)
        return Fail(error, std::string(field) + " holds more than 16 ids");
    if (!ids.empty())
        memcpy(at, ids.data(), ids.size());
    return true;
}

void PutLe16(uint8_t* p, uint16_t value)
{
    p[0] = uint8_t(value);
    p[1] = uint8_t(value >> 8);
}

} // namespace

ImageRecipe DefaultBoot()
{
    ImageRecipe recipe;
    recipe.objectType = kBootObjectType;
    recipe.type = 'B';
    recipe.swRev = "1.0.0";
    recipe.compat = {1};
    recipe.pattern = 2;
    return recipe;
}

ImageRecipe DefaultApp()
{
    ImageRecipe recipe;
    recipe.objectType = kAppObjectType;
    recipe.type = 'A';
    recipe.swRev = "1.0.0";
    recipe.compat = {1};
    recipe.pattern = 3;
    return recipe;
}

bool BuildImage(const ImageRecipe& recipe, std::vector<uint8_t>& out, std::string* error)
{
    if (recipe.size < kImageHeaderSize)
        return Fail(error, "image size " + std::to_string(recipe.size) + " is below the 256-byte header");
    try {
        out.assign(recipe.size, 0);
    } catch (const std::exception&) {
        return Fail(error, "no memory for " + std::to_string(recipe.size) + " bytes");
    }
    uint8_t* h = out.data();
    WriteLe32(h + 0, recipe.objectType);
    WriteLe32(h + 4, recipe.size - 8);
    PutLe16(h + 8, recipe.crcimg);
    h[12] = uint8_t(recipe.type);
    h[13] = recipe.hver;
    if (!PutText(h + 16, 16, recipe.pname, "pname", error) || !PutText(h + 32, 16, recipe.swRev, "sw_rev", error) ||
        !PutText(h + 48, 16, recipe.ccDate, "cc_date", error) || !PutText(h + 64, 16, recipe.ccTime, "cc_time", error) ||
        !PutText(h + 80, 16, recipe.host, "host", error) || !PutText(h + 96, 32, recipe.svn, "svn", error) ||
        !PutText(h + 128, 16, recipe.eng, "eng", error) || !PutIds(h + 160, recipe.compat, "compat", error) ||
        !PutIds(h + 176, recipe.incompat, "incompat", error)) {
        out.clear();
        return false;
    }
    WriteLe32(h + 144, recipe.faddr);
    WriteLe32(h + 148, recipe.prun);
    WriteLe32(h + 152, recipe.entry);
    WriteLe32(h + 156, recipe.buildtime);

    // xorshift32: cheap, repeatable, and no two patterns give the same body.
    uint32_t state = recipe.pattern ? recipe.pattern : 0x9E3779B9u;
    for (size_t i = kImageHeaderSize; i < out.size(); ++i) {
        state ^= state << 13;
        state ^= state >> 17;
        state ^= state << 5;
        out[i] = uint8_t(state);
    }
    return true;
}

std::vector<uint8_t> MakeImage(const ImageRecipe& recipe)
{
    std::vector<uint8_t> out;
    BuildImage(recipe, out);
    return out;
}

bool BuildContainer(const ContainerRecipe& recipe, std::vector<uint8_t>& out, std::string* error)
{
    out.clear();
    CMocfCreator creator;
    if (recipe.headerPayload.size() > 0xFFFFFFF0u)
        return Fail(error, "header record too long");
    if (!creator.AddHeaderRecord(recipe.headerPayload.data(), uint32_t(recipe.headerPayload.size())))
        return Fail(error, "no memory for the header record");
    if (recipe.digest && !creator.AddDigestRecord())
        return Fail(error, "no memory for the digest record");
    if (recipe.table && !creator.AddObjectTable(recipe.tableIds.data(), uint32_t(recipe.tableIds.size())))
        return Fail(error, "cannot add the object table");
    for (size_t i = 0; i < recipe.images.size(); ++i) {
        const std::vector<uint8_t>& image = recipe.images[i];
        if (image.size() < 8)
            return Fail(error, "image " + std::to_string(i + 1) + " is shorter than its 8-byte record header");
        if (image.size() - 8 > 0xFFFFFFF0u ||
            !creator.AddObject(ReadLe32(image.data()), image.data() + 8, uint32_t(image.size() - 8)))
            return Fail(error, "container would pass 4 GiB or memory ran out");
    }
    if (!creator.Seal())
        return Fail(error, "cannot compute the digest");
    try {
        out.assign(creator.Data(), creator.Data() + creator.Size());
    } catch (const std::exception&) {
        return Fail(error, "no memory for the container");
    }
    return true;
}

std::vector<uint8_t> MakeContainer(const ContainerRecipe& recipe)
{
    std::vector<uint8_t> out;
    BuildContainer(recipe, out);
    return out;
}

std::vector<uint8_t> MakeStandardContainer(const std::vector<uint8_t>& compat)
{
    ImageRecipe boot = DefaultBoot();
    ImageRecipe app = DefaultApp();
    boot.compat = compat;
    app.compat = compat;
    ContainerRecipe recipe;
    recipe.tableIds.assign(compat.begin(), compat.end());
    recipe.images = {MakeImage(boot), MakeImage(app)};
    return MakeContainer(recipe);
}

} // namespace firmware
