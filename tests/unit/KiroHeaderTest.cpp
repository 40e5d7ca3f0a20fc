#include "files/FirmwareBuilder.h"
#include "files/LibMOCF.h"
#include "flash/KiroAppTool.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

using testing_support::CapturedLog;

namespace {

struct KiroHeaderTest : ::testing::Test {
    void SetUp() override
    {
        log = Retain(new Log());
        captured = new CapturedLog(log);
        tool = Retain(new KiroAppTool(nullptr, nullptr, nullptr, log));
    }
    void TearDown() override
    {
        Release(tool);
        delete captured;
        Release(log);
    }
    Log* log = nullptr;
    CapturedLog* captured = nullptr;
    KiroAppTool* tool = nullptr;
};

} // namespace

TEST_F(KiroHeaderTest, TheTableCoversExactly256Bytes)
{
    uint32_t total = 0, fields = 0;
    for (const KiroHeaderField* f = kKiroHeaderFields; f->kind != KIRO_FIELD_END; ++f, ++fields)
        total += KiroFieldSize(f->kind);
    EXPECT_EQ(total, 256u);
    EXPECT_EQ(fields, 25u);
}

TEST_F(KiroHeaderTest, UnpacksEveryFieldOfABuiltImage)
{
    firmware::ImageRecipe recipe = firmware::DefaultBoot();
    recipe.pname = "PRODUCT-NAME-16c";
    recipe.swRev = "1.2";
    recipe.ccDate = "Aug 22 2016";
    recipe.ccTime = "13:45:07";
    recipe.svn = std::string(32, 'v');
    recipe.crcimg = 0xBEEF;
    recipe.hver = 7;
    recipe.faddr = 0x11223344;
    recipe.entry = 0x80000001;
    recipe.compat = {3, 9};
    recipe.incompat = {4};
    recipe.size = 300;
    std::vector<uint8_t> image = firmware::MakeImage(recipe);

    kiro_header h;
    memset(&h, 0x5A, sizeof h);
    ASSERT_EQ(tool->UnpackKiroHeader(image.data(), image.size(), &h), 0);
    EXPECT_EQ(h.tag, 0x0A000000u);
    EXPECT_EQ(h.len, 292u);
    EXPECT_EQ(h.crcimg, 0xBEEF);
    EXPECT_EQ(h.type, 'B');
    EXPECT_EQ(h.hver, 7);
    EXPECT_STREQ(h.pname, "PRODUCT-NAME-16c");
    // NUL padding turns into blanks; the byte after the field ends the text.
    EXPECT_STREQ(h.sw_rev, "1.2             ");
    EXPECT_STREQ(h.cc_date, "Aug 22 2016     ");
    EXPECT_STREQ(h.cc_time, "13:45:07        ");
    EXPECT_STREQ(h.host, "                ");
    EXPECT_EQ(std::string(h.svn), std::string(32, 'v'));
    EXPECT_EQ(h.faddr, 0x11223344u);
    EXPECT_EQ(h.entry, 0x80000001u);
    EXPECT_EQ(h.c_array[0], 3);
    EXPECT_EQ(h.c_array[1], 9);
    EXPECT_EQ(h.c_array[2], 0);
    EXPECT_EQ(h.ic_array[0], 4);
    EXPECT_EQ(captured->Text(), "");
}

TEST_F(KiroHeaderTest, RefusesShortImagesAndBrokenTables)
{
    std::vector<uint8_t> image = firmware::MakeImage(firmware::DefaultApp());
    kiro_header h;

    struct Case {
        const char* name;
        std::vector<KiroHeaderField> table;
        uint64_t available;
        const char* message;
    };
    std::vector<KiroHeaderField> standard;
    for (const KiroHeaderField* f = kKiroHeaderFields; f->kind != KIRO_FIELD_END; ++f)
        standard.push_back(*f);
    std::vector<KiroHeaderField> missing(standard.begin(), standard.end() - 1);
    std::vector<KiroHeaderField> extra = standard;
    extra.push_back(standard.back());
    for (auto* table : {&standard, &missing, &extra})
        table->push_back({KIRO_FIELD_END, nullptr, 0});

    Case cases[] = {
        {"one byte short", standard, 255, "Invalid r mocf transfer, len=24\n"},
        {"no bytes", standard, 0, "Invalid r mocf transfer, len=0\n"},
        {"a field missing", missing, 256, "Invalid r mocf transfer, len=24\n"},
        {"a field too many", extra, 300, "Invalid r mocf transfer, len=26\n"},
        {"empty table", {{KIRO_FIELD_END, nullptr, 0}}, 256, "Invalid r mocf transfer, len=0\n"},
    };
    for (const Case& c : cases) {
        captured->Clear();
        EXPECT_EQ(UnpackKiroHeaderFields(log, c.table.data(), image.data(), c.available, &h), -1) << c.name;
        EXPECT_EQ(captured->Text(), c.message) << c.name;
    }
}

TEST_F(KiroHeaderTest, ObjectShorterThanItsHeader)
{
    // A single image of 64 bytes loads, but it holds no whole header.
    std::vector<uint8_t> tiny(64, 0);
    tiny[0] = 0x04;
    tiny[3] = 0x0A;
    tiny[4] = 56;
    LibMOCF* mocf = tool->mocf;
    ASSERT_EQ(mocf->ParseImage(tiny.data(), uint32_t(tiny.size())), 0);
    kiro_header h;
    EXPECT_EQ(tool->UnpackObjectHeader(mocf->ObjectAt(0), &h), -1);
    EXPECT_EQ(captured->Text(), "Invalid r mocf transfer, len=11\n");
}

TEST(FirmwareBuilder, RefusesWhatCannotBeStored)
{
    struct Case {
        const char* name;
        void (*change)(firmware::ImageRecipe&);
        const char* error;
    } cases[] = {
        {"smaller than the header", [](firmware::ImageRecipe& s) { s.size = 255; },
         "image size 255 is below the 256-byte header"},
        {"long sw_rev", [](firmware::ImageRecipe& s) { s.swRev = std::string(17, '1'); },
         "sw_rev is longer than 16 characters"},
        {"long svn", [](firmware::ImageRecipe& s) { s.svn = std::string(33, 's'); }, "svn is longer than 32 characters"},
        {"17 compat ids", [](firmware::ImageRecipe& s) { s.compat.assign(17, 1); }, "compat holds more than 16 ids"},
    };
    for (const Case& c : cases) {
        firmware::ImageRecipe recipe = firmware::DefaultApp();
        c.change(recipe);
        std::vector<uint8_t> out;
        std::string error;
        EXPECT_FALSE(firmware::BuildImage(recipe, out, &error)) << c.name;
        EXPECT_EQ(error, c.error);
        EXPECT_TRUE(out.empty());
    }

    firmware::ContainerRecipe recipe;
    recipe.images = {{1, 2, 3}};
    std::string error;
    std::vector<uint8_t> out;
    EXPECT_FALSE(firmware::BuildContainer(recipe, out, &error));
    EXPECT_EQ(error, "image 1 is shorter than its 8-byte record header");
}

TEST(FirmwareBuilder, ImagesDifferByPattern)
{
    firmware::ImageRecipe a = firmware::DefaultApp();
    firmware::ImageRecipe b = a;
    b.pattern = a.pattern + 1;
    EXPECT_EQ(firmware::MakeImage(a), firmware::MakeImage(a));
    EXPECT_NE(firmware::MakeImage(a), firmware::MakeImage(b));
}
