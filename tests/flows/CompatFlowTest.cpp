// Which firmware fits which device: the file classification with its compat
// table, the verdicts against the device's P_INFO lists (on the cable and
// behind a cradle), and the choice of the object whose own ids the device
// accepts.
#include "flows/EngineFixture.h"
#include "flows/FlowFixture.h"

#include "files/LibMOCF.h"
#include "flash/KiroAppTool.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

namespace {

using flows::Bytes;
using flows::Container;
using flows::Image;

// An engine without a device: files and P_INFO lists are all these checks see.
struct CompatRig {
    flows::Engine holder;
    KIRO_FlashTool* engine = holder.engine;
    testing_support::CapturedLog log{holder.log};
    testing_support::TempDir dir;

    std::wstring File(const Bytes& bytes, const std::string& name = "fw.bin")
    {
        dir.Write(name, std::string(bytes.begin(), bytes.end()));
        return dir.WideFile(name);
    }
    void DeviceLists(const std::vector<uint32_t>& compat, const std::vector<uint32_t>& incompat)
    {
        std::fill(std::begin(engine->pinfo.Compatable), std::end(engine->pinfo.Compatable), 0u);
        std::fill(std::begin(engine->pinfo.inCompatable), std::end(engine->pinfo.inCompatable), 0u);
        std::copy(compat.begin(), compat.end(), engine->pinfo.Compatable);
        std::copy(incompat.begin(), incompat.end(), engine->pinfo.inCompatable);
    }
    bool Logged(const std::string& part) const { return log.Contains(part); }
};

std::vector<uint32_t> Ids(uint32_t first, size_t count)
{
    std::vector<uint32_t> ids(count);
    for (size_t i = 0; i < count; ++i)
        ids[i] = first + static_cast<uint32_t>(i);
    return ids;
}

TEST(CompatFlow, FileTypeAndCompatTableOfEachKindOfFile)
{
    Bytes app = Image('A', 1024);
    Bytes jg3hBoot = Image('B', 1024, {0x41}, "1.0", 0x4833474A);
    struct Case {
        const char* what;
        Bytes file;
        int32_t type;
        std::vector<uint32_t> ids;
        int32_t objects;
    } cases[] = {
        {"container", Container({Image('B', 1000), app}, {0x41, 0x42, 0x7000}), 'P', {0x41, 0x42, 0x7000}, 6},
        {"container without table", [] {
             firmware::ContainerRecipe recipe;
             recipe.table = false;
             recipe.images = {Image('A', 1024)};
             return firmware::MakeContainer(recipe);
         }(), 'P', {}, 4},
        {"bare application", app, 'A', {}, 1},
        {"JG3H object whose header says boot", jg3hBoot, 'B', {}, 1},
        {"not firmware", Bytes(100, 0x5A), -1, {}, 0},
    };
    for (Case& c : cases) {
        SCOPED_TRACE(c.what);
        CompatRig rig;
        rig.engine->fileCompatCount = 9;   // left by an earlier file
        EXPECT_EQ(rig.engine->GetFileType(rig.File(c.file).c_str()), c.type);
        ASSERT_EQ(rig.engine->fileCompatCount, c.ids.size());
        EXPECT_TRUE(std::equal(c.ids.begin(), c.ids.end(), rig.engine->fileCompat));
        EXPECT_EQ(rig.engine->CountObjects(), c.objects);
        rig.engine->UnloadFile();
        EXPECT_EQ(rig.engine->fileCompatCount, 0u);
        EXPECT_EQ(rig.engine->CountObjects(), 0);
    }
    CompatRig rig;
    EXPECT_EQ(rig.engine->GetFileType(rig.dir.WideFile("missing.bin").c_str()), -1);
}

// A table of more than 100 ids makes the file unusable, and even with the
// count kept no reader goes past the 100 ids held.
TEST(CompatFlow, TableAboveHundredIdsIsRefusedAndNeverReadPastTheHeldIds)
{
    CompatRig hundred;
    EXPECT_EQ(hundred.engine->GetFileType(hundred.File(Container({Image('A', 1024)}, Ids(1, 100))).c_str()), 'P');
    EXPECT_EQ(hundred.engine->fileCompat[99], 100u);

    CompatRig rig;
    EXPECT_EQ(rig.engine->GetFileType(rig.File(Container({Image('A', 1024)}, Ids(1, 101))).c_str()), -1);
    EXPECT_EQ(rig.engine->fileCompatCount, 101u);
    EXPECT_EQ(rig.engine->FileCompatHeld(), 100u);

    // The not-compatible listing walks the file list: 100 lines, no more.
    rig.DeviceLists({0x900}, {});
    EXPECT_EQ(rig.engine->CheckAttachedDevice('P'), CompatVerdict::NotCompatible);
    EXPECT_TRUE(rig.Logged("File Compat: 99 is: 0x00"));
    EXPECT_FALSE(rig.Logged("File Compat: 100 is"));
}

TEST(CompatFlow, VerdictOnTheDeviceOnTheCable)
{
    std::vector<uint32_t> full = Ids(0x100, 32);
    struct Case {
        const char* what;
        int32_t fileType;
        std::vector<uint32_t> fileIds;
        std::vector<uint32_t> compat;
        std::vector<uint32_t> incompat;
        CompatVerdict verdict;
        std::vector<std::string> lines;
    } cases[] = {
        {"no compat record in P_INFO", 'P', {0x41}, {}, {0x41}, CompatVerdict::NotApplicable,
         {"**WARNING** Workaround - Missing COMPAT Record"}},
        {"bare object file", 'A', {0x41}, {0x41}, {}, CompatVerdict::NotApplicable, {}},
        {"empty file list", 'P', {}, {0x41}, {}, CompatVerdict::NotApplicable, {}},
        {"second device id matches", 'P', {0x7, 0x42}, {0x41, 0x42}, {0x50}, CompatVerdict::Compatible,
         {"File is compatible at entry 1", "pinfo Compatable[1] = 0x42."}},
        {"id on both device lists", 'P', {0x42}, {0x42}, {0x30, 0x42}, CompatVerdict::NotCompatible,
         {"File is incompatible at entry 1", "pinfo inCompatable[1] = 0x42.", "File is not compatible, not in list",
          "PINFO Compat: 0 is: 0x42", "PINFO InCompat: 1 is: 0x42", "File Compat: 0 is: 0x42"}},
        {"no shared id", 'P', {0x7}, {0x41}, {}, CompatVerdict::NotCompatible,
         {"File is not compatible, not in list", "PINFO Compat: 0 is: 0x41", "File Compat: 0 is: 0x07"}},
        {"match in the 32nd slot of a full list", 'P', {0x11F}, full, {}, CompatVerdict::Compatible,
         {"File is compatible at entry 31"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        CompatRig rig;
        rig.DeviceLists(c.compat, c.incompat);
        rig.engine->fileCompatCount = static_cast<uint32_t>(c.fileIds.size());
        std::copy(c.fileIds.begin(), c.fileIds.end(), rig.engine->fileCompat);
        EXPECT_EQ(rig.engine->CheckAttachedDevice(c.fileType), c.verdict);
        for (const std::string& line : c.lines)
            EXPECT_TRUE(rig.Logged(line)) << line;
    }
}

// Full device lists are read to their 32nd entry and not into whatever
// follows them in the record.
TEST(CompatFlow, FullDeviceListsAreNotReadPastTheirEnd)
{
    CompatRig rig;
    rig.DeviceLists(Ids(0x100, 32), Ids(0x200, 32));
    rig.engine->pinfo.Compatable[31] = 0x41;
    rig.engine->pinfo.flash = 0x41;   // the field after the incompat list
    rig.engine->fileCompatCount = 1;
    rig.engine->fileCompat[0] = 0x41;
    EXPECT_EQ(rig.engine->CheckAttachedDevice('P'), CompatVerdict::Compatible);
    EXPECT_EQ(rig.engine->CheckScannerBehindCradle(), 0);
}

TEST(CompatFlow, VerdictOnTheScannerBehindTheCradle)
{
    struct Case {
        const char* what;
        std::vector<uint32_t> compat;
        std::vector<uint32_t> incompat;
        int32_t result;
        const char* line;
    } cases[] = {
        {"compatible", {0x30, 0x41}, {}, 0, "pinfo Compatable[n] = 0x41."},
        {"refused by the incompat list", {0x41}, {0x41}, FLOW_INCOMPATIBLE, "pinfo inCompatable[n] = 0x41."},
        {"no shared id", {0x30}, {}, FLOW_INCOMPATIBLE,
         "Firmware is not comatible with scanner. exit with file incompatible error."},
        {"scanner without compat record", {}, {}, FLOW_INCOMPATIBLE,
         "Firmware is not comatible with scanner. exit with file incompatible error."},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        CompatRig rig;
        rig.DeviceLists(c.compat, c.incompat);
        rig.engine->fileCompatCount = 1;
        rig.engine->fileCompat[0] = 0x41;
        EXPECT_EQ(rig.engine->CheckScannerBehindCradle(), c.result);
        EXPECT_EQ(rig.engine->target_device_type, c.result == 0 ? 1u : 0u);
        EXPECT_TRUE(rig.Logged(c.line));
    }
}

TEST(CompatFlow, FirstObjectOfTheIdAndTypeThatTheDeviceAcceptsIsChosen)
{
    CompatRig rig;
    Bytes file = Container({
        Image('A', 600, {0x30}, "NO-MATCH"),
        Image('B', 600, {0x41}, "BOOT", firmware::kAppObjectType),   // right id, wrong header type
        Image('A', 700, {0x30, 0x41}, "FIRST-MATCH"),
        Image('A', 800, {0x41}, "SECOND-MATCH"),
        Image('A', 900, {0x41}, "JG3H", 0x4833474A),
    });
    ASSERT_EQ(rig.engine->GetFileType(rig.File(file).c_str()), 'P');
    rig.DeviceLists({0x20, 0x41}, {});

    auto swRev = [&](MocfObject* object) {
        kiro_header header;
        EXPECT_EQ(rig.engine->appTool->UnpackObjectHeader(object, &header), 0);
        return std::string(header.sw_rev, strnlen(header.sw_rev, 16));
    };
    MocfObject* app = rig.engine->FindObjectByCompat(firmware::kAppObjectType, 'A');
    ASSERT_NE(app, nullptr);
    EXPECT_EQ(swRev(app).substr(0, 11), "FIRST-MATCH");
    EXPECT_TRUE(rig.Logged("Object compat id in kiro_header: 0x30"));
    EXPECT_TRUE(rig.Logged("Object compat id matched from P_INFO: 0x41"));

    MocfObject* boot = rig.engine->FindObjectByCompat(firmware::kAppObjectType, 'B');
    ASSERT_NE(boot, nullptr);
    EXPECT_EQ(swRev(boot).substr(0, 4), "BOOT");
    MocfObject* jg3h = rig.engine->FindObjectByCompat(0x4833474A, 'A');
    ASSERT_NE(jg3h, nullptr);
    EXPECT_EQ(swRev(jg3h).substr(0, 4), "JG3H");
    EXPECT_EQ(rig.engine->FindObjectByCompat(0x4833474A, 'B'), nullptr);

    rig.DeviceLists({0x55}, {});
    EXPECT_EQ(rig.engine->FindObjectByCompat(firmware::kAppObjectType, 'A'), nullptr);
}

} // namespace
