#include "files/libmocf_14/shared/sha1/sha1.h"

#include <cassert>
#include <cstring>

namespace {

inline uint32_t Rol(uint32_t value, int bits) { return (value << bits) | (value >> (32 - bits)); }

inline uint32_t LoadBigEndian(const uint8_t* p)
{
    return (uint32_t(p[0]) << 24) | (uint32_t(p[1]) << 16) | (uint32_t(p[2]) << 8) | uint32_t(p[3]);
}

} // namespace

CSha1::CSha1()
{
    Reset();
}

int32_t CSha1::Compute(const void* pBuffer, uint32_t length, uint8_t* pDigest)
{
    Reset();
    Input(pBuffer, length);
    return Result(pDigest);
}

int32_t CSha1::Reset()
{
    SHA1Context& c = m_Sha1Context;
    memset(&c, 0, sizeof c);
    c.Intermediate_Hash[0] = 0x67452301;
    c.Intermediate_Hash[1] = 0xEFCDAB89;
    c.Intermediate_Hash[2] = 0x98BADCFE;
    c.Intermediate_Hash[3] = 0x10325476;
    c.Intermediate_Hash[4] = 0xC3D2E1F0;
    return shaSuccess;
}

int32_t CSha1::Input(const void* pBuffer, uint32_t length)
{
    assert(pBuffer);
    assert(! m_Sha1Context.Computed);
    SHA1Context& c = m_Sha1Context;
    if (!length)
        return shaSuccess;
    if (!pBuffer)
        return shaNull;
    if (c.Computed) {
        c.Corrupted = shaStateError;
        return shaStateError;
    }
    if (c.Corrupted)
        return c.Corrupted;

    uint64_t bits = (uint64_t(c.Length_High) << 32 | c.Length_Low) + uint64_t(length) * 8;
    if (bits < uint64_t(length) * 8) {
        // The message would pass 2^64 bits.
        c.Corrupted = 1;
        return shaSuccess;
    }
    c.Length_Low = uint32_t(bits);
    c.Length_High = uint32_t(bits >> 32);

    auto* p = static_cast<const uint8_t*>(pBuffer);
    // Top up a partly filled block first, then hash whole blocks straight
    // from the caller's buffer and keep the tail for later.
    if (c.Message_Block_Index > 0) {
        uint32_t take = 64 - uint32_t(c.Message_Block_Index);
        if (take > length)
            take = length;
        memcpy(c.Message_Block + c.Message_Block_Index, p, take);
        c.Message_Block_Index = int16_t(c.Message_Block_Index + take);
        p += take;
        length -= take;
        if (c.Message_Block_Index < 64)
            return shaSuccess;
        ProcessMessageBlock(c.Message_Block);
        c.Message_Block_Index = 0;
    }
    for (; length >= 64; p += 64, length -= 64)
        ProcessMessageBlock(p);
    memcpy(c.Message_Block, p, length);
    c.Message_Block_Index = int16_t(length);
    return shaSuccess;
}

int32_t CSha1::Result(uint8_t* pDigest)
{
    SHA1Context& c = m_Sha1Context;
    if (!pDigest)
        return shaNull;
    if (c.Corrupted)
        return c.Corrupted;
    if (!c.Computed) {
        PadMessage();
        // The message may be sensitive; keep nothing of it.
        memset(c.Message_Block, 0, sizeof c.Message_Block);
        c.Length_Low = 0;
        c.Length_High = 0;
        c.Computed = 1;
    }
    for (uint32_t i = 0; i < SHA1HashSize; ++i)
        pDigest[i] = uint8_t(c.Intermediate_Hash[i >> 2] >> 8 * (3 - (i & 3)));
    return shaSuccess;
}

void CSha1::PadMessage()
{
    SHA1Context& c = m_Sha1Context;
    // 0x80, zeros, and the 64-bit bit count in the last 8 bytes of a block;
    // when fewer than 8 bytes are left the padding spills into a new block.
    int i = c.Message_Block_Index;
    c.Message_Block[i++] = 0x80;
    if (i > 56) {
        memset(c.Message_Block + i, 0, size_t(64 - i));
        ProcessMessageBlock(c.Message_Block);
        i = 0;
    }
    memset(c.Message_Block + i, 0, size_t(56 - i));
    for (int k = 0; k < 4; ++k) {
        c.Message_Block[56 + k] = uint8_t(c.Length_High >> 8 * (3 - k));
        c.Message_Block[60 + k] = uint8_t(c.Length_Low >> 8 * (3 - k));
    }
    ProcessMessageBlock(c.Message_Block);
    c.Message_Block_Index = 0;
}

void CSha1::ProcessMessageBlock(const uint8_t* block)
{
    uint32_t w[16];
    for (int t = 0; t < 16; ++t)
        w[t] = LoadBigEndian(block + 4 * t);

    uint32_t* h = m_Sha1Context.Intermediate_Hash;
    uint32_t a = h[0], b = h[1], c = h[2], d = h[3], e = h[4];

    // The message schedule is kept as a ring of 16 words.
    auto schedule = [&w](int t) {
        uint32_t x = w[(t + 13) & 15] ^ w[(t + 8) & 15] ^ w[(t + 2) & 15] ^ w[t & 15];
        return w[t & 15] = Rol(x, 1);
    };
    auto round = [&](uint32_t f, uint32_t k, uint32_t wt) {
        uint32_t temp = Rol(a, 5) + f + e + k + wt;
        e = d;
        d = c;
        c = Rol(b, 30);
        b = a;
        a = temp;
    };

    int t = 0;
    for (; t < 16; ++t)
        round((b & c) | (~b & d), 0x5A827999, w[t]);
    for (; t < 20; ++t)
        round((b & c) | (~b & d), 0x5A827999, schedule(t));
    for (; t < 40; ++t)
        round(b ^ c ^ d, 0x6ED9EBA1, schedule(t));
    for (; t < 60; ++t)
        round((b & c) | (b & d) | (c & d), 0x8F1BBCDC, schedule(t));
    for (; t < 80; ++t)
        round(b ^ c ^ d, 0xCA62C1D6, schedule(t));

    h[0] += a;
    h[1] += b;
    h[2] += c;
    h[3] += d;
    h[4] += e;
}
