#include "platform/Platform.h"

#include <gtest/gtest.h>

using platform::Format;

TEST(Format, StringConventionIsTheSameOnEveryPlatform)
{
    EXPECT_EQ(Format(L"%s|%ls|%hs", L"wide", L"also", "narrow"), "wide|also|narrow");
    EXPECT_EQ(Format(L"[%-6s][%6hs][%.2s]", L"ab", "cd", L"xyz"), "[ab    ][    cd][xy]");
    EXPECT_EQ(Format(L"%s %hs", static_cast<const wchar_t*>(nullptr), static_cast<const char*>(nullptr)),
              "(null) (null)");
}

TEST(Format, NumbersAndCharacters)
{
    EXPECT_EQ(Format(L"%d %5d %-3d| %08x %X %u %%", -7, 42, 1, 0xabcU, 0xBEEFU, 4000000000U),
              "-7    42 1  | 00000abc BEEF 4000000000 %");
    EXPECT_EQ(Format(L"%6d.%03d", 12, 7), "    12.007");
    EXPECT_EQ(Format(L"%lld %llx %zu", -5LL, 0x1122334455ULL, static_cast<size_t>(9)), "-5 1122334455 9");
    EXPECT_EQ(Format(L"%c%c%hc", 'A', 0x20AC, 'z'), "A\xE2\x82\xAC" "z");
    EXPECT_EQ(Format(L"%*d|%.*s", 4, 3, 2, L"abc"), "   3|ab");
}

TEST(Format, OutputIsUtf8)
{
    EXPECT_EQ(Format(L"%s", L"\u00e9\u4e2d"), "\xC3\xA9\xE4\xB8\xAD");
    // Narrow text that is not UTF-8 is taken as Latin-1.
    EXPECT_EQ(Format(L"%hs", "\xE9"), "\xC3\xA9");
    EXPECT_EQ(Format(L"%hs", "\xC3\xA9"), "\xC3\xA9");
    EXPECT_EQ(platform::Utf8ToWide("\xC3\xA9x"), L"\u00e9x");
}

TEST(Format, OddFormatsAreHarmless)
{
    EXPECT_EQ(Format(L"100%"), "100");
    EXPECT_EQ(Format(L"%q"), "");
    int written = 0;
    EXPECT_EQ(Format(L"a%nb", &written), "ab");
    EXPECT_EQ(written, 0);
}
