#include "files/libmocf_14/shared/sha1/sha1.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

namespace {

std::string Hex(const uint8_t* digest)
{
    static const char digits[] = "0123456789abcdef";
    std::string out;
    for (uint32_t i = 0; i < SHA1HashSize; ++i) {
        out += digits[digest[i] >> 4];
        out += digits[digest[i] & 15];
    }
    return out;
}

std::string HashRepeated(const std::string& text, int repeat)
{
    CSha1 sha;
    sha.Reset();
    for (int i = 0; i < repeat; ++i)
        EXPECT_EQ(sha.Input(text.data(), uint32_t(text.size())), shaSuccess);
    uint8_t digest[SHA1HashSize];
    EXPECT_EQ(sha.Result(digest), shaSuccess);
    return Hex(digest);
}

} // namespace

TEST(Sha1, TestVectorsOfRfc3174)
{
    struct Case {
        std::string text;
        int repeat;
        const char* digest;
    } cases[] = {
        {"abc", 1, "a9993e364706816aba3e25717850c26c9cd0d89d"},
        {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq", 1, "84983e441c3bd26ebaae4aa1f95129e5e54670f1"},
        {"a", 1000000, "34aa973cd4c4daa4f61eeb2bdbad27316534016f"},
        {"0123456701234567012345670123456701234567012345670123456701234567", 10,
         "dea356a2cddd90c7a7ecedc5ebb563934f460452"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(HashRepeated(c.text, c.repeat), c.digest) << c.text.substr(0, 8) << " x " << c.repeat;
}

TEST(Sha1, PaddingBoundariesAndSplitInputGiveTheSameDigest)
{
    // Lengths around the block size and the 8-byte length field of the
    // padding; bytes (7i + 3) mod 256. Digests from an independent SHA-1.
    struct Case {
        uint32_t length;
        const char* digest;
    } cases[] = {
        {0, "da39a3ee5e6b4b0d3255bfef95601890afd80709"},   {55, "ddf57317ef34bfee3b6df83d359098930eb278bc"},
        {56, "a0d492bb0fc889d0eca3bc137066ab6f4f74f369"},  {63, "c55856749bef509bdfe6bfebfc7bf4e793e82132"},
        {64, "bede92be29c3874e1b54ddc77988d606fc857a8e"},  {65, "b05a80522b053d6dc7e0a517d0e70212c7dad11f"},
        {119, "504e27376a6e0f0dba8295b85cb25dc4dfa17d23"}, {120, "82134b02fb3f702491be9bed581eeab59334acb2"},
        {1000, "4231a8a50a10fa9758db8ec71fdef855b751048a"},
    };
    for (const Case& c : cases) {
        std::vector<uint8_t> data(c.length);
        for (uint32_t i = 0; i < c.length; ++i)
            data[i] = uint8_t(i * 7 + 3);
        uint8_t digest[SHA1HashSize];
        CSha1 sha;
        ASSERT_EQ(sha.Compute(data.empty() ? digest : data.data(), c.length, digest), shaSuccess);
        EXPECT_EQ(Hex(digest), c.digest) << "length " << c.length;

        // The same bytes in uneven pieces take the buffered path.
        for (uint32_t piece : {1u, 3u, 63u, 65u}) {
            sha.Reset();
            for (uint32_t at = 0; at < c.length; at += piece)
                sha.Input(data.data() + at, std::min(piece, c.length - at));
            ASSERT_EQ(sha.Result(digest), shaSuccess);
            EXPECT_EQ(Hex(digest), c.digest) << "length " << c.length << " in pieces of " << piece;
        }
    }
}

TEST(Sha1, ResultCodes)
{
    CSha1 sha;
    uint8_t digest[SHA1HashSize];
    EXPECT_EQ(sha.Result(nullptr), shaNull);
    ASSERT_EQ(sha.Input("abc", 3), shaSuccess);
    ASSERT_EQ(sha.Result(digest), shaSuccess);
    // A second Result gives the same digest, however often it is asked.
    uint8_t again[SHA1HashSize];
    ASSERT_EQ(sha.Result(again), shaSuccess);
    EXPECT_EQ(Hex(again), "a9993e364706816aba3e25717850c26c9cd0d89d");
    EXPECT_EQ(sha.m_Sha1Context.Computed, 1);

#if defined(NDEBUG)
    // Input after the result is a state error that sticks until Reset.
    EXPECT_EQ(sha.Input("x", 1), shaStateError);
    EXPECT_EQ(sha.Result(digest), shaStateError);
    EXPECT_EQ(sha.Input(nullptr, 1), shaNull);
    sha.Reset();
    EXPECT_EQ(sha.Input(nullptr, 1), shaNull);
    EXPECT_EQ(sha.Input("abc", 3), shaSuccess);
    ASSERT_EQ(sha.Result(digest), shaSuccess);
    EXPECT_EQ(Hex(digest), "a9993e364706816aba3e25717850c26c9cd0d89d");
#elif !defined(_WIN32)
    // Debug builds stop at the misuse, naming it.
    EXPECT_DEATH(sha.Input("x", 1), "m_Sha1Context.Computed");
    sha.Reset();
    EXPECT_DEATH(sha.Input(nullptr, 1), "pBuffer");
#endif
}
