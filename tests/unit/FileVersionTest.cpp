// The header texts the version query hands to the host: the version text
// trimmed of the blanks unpacking leaves, the build time read from the date
// and time texts.
#include "files/FirmwareBuilder.h"
#include "flash/FileVersion.h"
#include "flash/KiroAppTool.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <array>
#include <string>
#include <vector>

namespace {

using BuildTime = std::array<int32_t, 9>;

struct BuildTimeCase {
    const char* what;
    const char* date;
    const char* time;
    BuildTime expected;   // second, minute, hour, day, month, year - 1900, 0, 0, -1
    bool monthKnown;
};

class BuildTimeTest : public ::testing::TestWithParam<BuildTimeCase> {};

TEST_P(BuildTimeTest, ReadsDateAndTime)
{
    const BuildTimeCase& c = GetParam();
    BuildTime got;
    got.fill(0x55);
    EXPECT_EQ(ParseBuildTime(c.date, c.time, got.data()), c.monthKnown);
    EXPECT_EQ(got, c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Texts, BuildTimeTest,
    ::testing::Values(
        BuildTimeCase{"march", "Mar 05 2016", "13:45:07", {7, 45, 13, 5, 3, 116, 0, 0, -1}, true},
        BuildTimeCase{"may", "May 05 2016", "00:00:00", {0, 0, 0, 5, 5, 116, 0, 0, -1}, true},
        BuildTimeCase{"lowerCase", "dec 31 1999", "23:59:59", {59, 59, 23, 31, 12, 99, 0, 0, -1}, true},
        BuildTimeCase{"upperCase", "JAN 01 2024", "12:00:00", {0, 0, 12, 1, 1, 124, 0, 0, -1}, true},
        BuildTimeCase{"spaceDay", "Aug  9 2016", "9:05:01", {1, 5, 9, 9, 8, 116, 0, 0, -1}, true},
        BuildTimeCase{"empty", "", "", {0, 0, 0, 0, 0, -1900, 0, 0, -1}, true},
        BuildTimeCase{"invalidMonth", "Foo 05 2016", "13:45:07", {7, 45, 13, 5, 1, 116, 0, 0, -1}, false},
        BuildTimeCase{"twoLetters", "Ma", "", {0, 0, 0, 0, 1, -1900, 0, 0, -1}, false},
        // Nothing past a short text is read, whatever the field holds behind it.
        BuildTimeCase{"shortTexts", "Jun 7", "08:3", {0, 3, 8, 7, 6, -1900, 0, 0, -1}, true},
        BuildTimeCase{"noDigits", "Jul xx yyyy", "aa:bb:cc", {0, 0, 0, 0, 7, -1900, 0, 0, -1}, true}),
    [](const ::testing::TestParamInfo<BuildTimeCase>& info) { return std::string(info.param.what); });

TEST(BuildTime, ReadsNothingPastTheTextsEnd)
{
    // A trimmed text leaves its old characters behind its terminator.
    char date[17] = "Jun 7\0 99 2016";
    char time[17] = "08\0:30:59";
    BuildTime got{};
    ParseBuildTime(date, time, got.data());
    EXPECT_EQ(got, (BuildTime{0, 0, 8, 7, 6, -1900, 0, 0, -1}));
}

struct TrimCase {
    const char* what;
    std::string stored;   // sw_rev as the image holds it (NUL-padded to 16)
    const char* trimmed;
};

class VersionTrimTest : public ::testing::TestWithParam<TrimCase> {};

// Through the header unpacking, which turns the stored NUL fill into blanks.
TEST_P(VersionTrimTest, LeavesNoBlankAtEitherEnd)
{
    const TrimCase& c = GetParam();
    firmware::ImageRecipe recipe = firmware::DefaultApp();
    recipe.swRev = c.stored;
    recipe.ccDate = " Mar 05 2016 ";
    recipe.ccTime = "\t13:45:07";
    std::vector<uint8_t> image = firmware::MakeImage(recipe);
    ASSERT_FALSE(image.empty());

    Log* log = Retain(new Log());
    KiroAppTool* tool = Retain(new KiroAppTool(nullptr, nullptr, nullptr, log));
    kiro_header header{};
    ASSERT_EQ(tool->UnpackKiroHeader(image.data(), image.size(), &header), 0);
    Release(tool);
    Release(log);

    TrimHeaderTexts(header);
    EXPECT_STREQ(header.sw_rev, c.trimmed);
    EXPECT_STREQ(header.cc_date, "Mar 05 2016");
    EXPECT_STREQ(header.cc_time, "13:45:07");
}

INSTANTIATE_TEST_SUITE_P(
    Texts, VersionTrimTest,
    ::testing::Values(TrimCase{"leadingBlanks", "  1.2", "1.2"},
                      TrimCase{"nulFill", "1.2", "1.2"},
                      TrimCase{"inner", " SIM APP 2 ", "SIM APP 2"},
                      TrimCase{"tabs", "\t3.0.1\t", "3.0.1"},
                      TrimCase{"full", "ABCDEFGHIJKLMNOP", "ABCDEFGHIJKLMNOP"},
                      TrimCase{"blank", "    ", ""},
                      TrimCase{"empty", "", ""}),
    [](const ::testing::TestParamInfo<TrimCase>& info) { return std::string(info.param.what); });

} // namespace
