#include "Sha1.h"

#include <cstdint>
#include <fstream>
#include <iterator>

namespace flasher {

namespace {

uint32_t Rotate(uint32_t value, int bits)
{
    return (value << bits) | (value >> (32 - bits));
}

void Block(uint32_t h[5], const unsigned char* block)
{
    uint32_t w[80];
    for (int i = 0; i < 16; ++i)
        w[i] = uint32_t(block[4 * i]) << 24 | uint32_t(block[4 * i + 1]) << 16 | uint32_t(block[4 * i + 2]) << 8 |
               uint32_t(block[4 * i + 3]);
    for (int i = 16; i < 80; ++i)
        w[i] = Rotate(w[i - 3] ^ w[i - 8] ^ w[i - 14] ^ w[i - 16], 1);
    uint32_t a = h[0], b = h[1], c = h[2], d = h[3], e = h[4];
    for (int i = 0; i < 80; ++i) {
        uint32_t f, k;
        if (i < 20) {
            f = (b & c) | (~b & d);
            k = 0x5A827999;
        } else if (i < 40) {
            f = b ^ c ^ d;
            k = 0x6ED9EBA1;
        } else if (i < 60) {
            f = (b & c) | (b & d) | (c & d);
            k = 0x8F1BBCDC;
        } else {
            f = b ^ c ^ d;
            k = 0xCA62C1D6;
        }
        uint32_t t = Rotate(a, 5) + f + e + k + w[i];
        e = d;
        d = c;
        c = Rotate(b, 30);
        b = a;
        a = t;
    }
    h[0] += a;
    h[1] += b;
    h[2] += c;
    h[3] += d;
    h[4] += e;
}

} // namespace

std::string Sha1Hex(const std::string& bytes)
{
    uint32_t h[5] = {0x67452301, 0xEFCDAB89, 0x98BADCFE, 0x10325476, 0xC3D2E1F0};
    std::string padded = bytes;
    padded.push_back(static_cast<char>(0x80));
    while (padded.size() % 64 != 56)
        padded.push_back('\0');
    uint64_t bits = static_cast<uint64_t>(bytes.size()) * 8;
    for (int i = 7; i >= 0; --i)
        padded.push_back(static_cast<char>(bits >> (8 * i)));
    for (size_t at = 0; at < padded.size(); at += 64)
        Block(h, reinterpret_cast<const unsigned char*>(padded.data() + at));
    static const char kHex[] = "0123456789abcdef";
    std::string text;
    for (uint32_t word : h)
        for (int shift = 28; shift >= 0; shift -= 4)
            text.push_back(kHex[(word >> shift) & 0xF]);
    return text;
}

std::string FileSha1(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return "";
    std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    return Sha1Hex(bytes);
}

} // namespace flasher
