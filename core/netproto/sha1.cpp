// SHA-1 (FIPS 180-4): 512-bit blocks, 80 rounds, big-endian words.
#include "core/netproto/sha1.h"

#include <cstring>

namespace {

constexpr size_t BLOCK_SIZE = 64;

uint32_t _rotl(uint32_t x, int n) {
    return (x << n) | (x >> (32 - n));
}

void _compress(uint32_t h[5], const unsigned char* block) {
    uint32_t w[80];
    for (int t = 0; t < 16; ++t)
        w[t] = (uint32_t{block[4 * t]} << 24) | (uint32_t{block[4 * t + 1]} << 16) |
               (uint32_t{block[4 * t + 2]} << 8) | uint32_t{block[4 * t + 3]};
    for (int t = 16; t < 80; ++t) w[t] = _rotl(w[t - 3] ^ w[t - 8] ^ w[t - 14] ^ w[t - 16], 1);
    uint32_t a = h[0], b = h[1], c = h[2], d = h[3], e = h[4];
    for (int t = 0; t < 80; ++t) {
        uint32_t f, k;
        if (t < 20) {
            f = (b & c) | (~b & d);
            k = 0x5A827999;
        } else if (t < 40) {
            f = b ^ c ^ d;
            k = 0x6ED9EBA1;
        } else if (t < 60) {
            f = (b & c) | (b & d) | (c & d);
            k = 0x8F1BBCDC;
        } else {
            f = b ^ c ^ d;
            k = 0xCA62C1D6;
        }
        uint32_t temp = _rotl(a, 5) + f + e + k + w[t];
        e = d;
        d = c;
        c = _rotl(b, 30);
        b = a;
        a = temp;
    }
    h[0] += a;
    h[1] += b;
    h[2] += c;
    h[3] += d;
    h[4] += e;
}

}  // namespace

Sha1_Digest sha1(std::string_view bytes) {
    uint32_t h[5] = {0x67452301, 0xEFCDAB89, 0x98BADCFE, 0x10325476, 0xC3D2E1F0};
    const auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
    size_t n = bytes.size();
    size_t full = n / BLOCK_SIZE * BLOCK_SIZE;
    for (size_t i = 0; i < full; i += BLOCK_SIZE) _compress(h, p + i);

    // Padding: 0x80, zeros, then the message length in bits as a 64-bit big-endian number;
    // one or two blocks depending on how much of the last block is taken.
    unsigned char tail[2 * BLOCK_SIZE] = {};
    size_t rest = n - full;
    std::memcpy(tail, p + full, rest);
    tail[rest] = 0x80;
    size_t tail_len = rest + 1 + 8 <= BLOCK_SIZE ? BLOCK_SIZE : 2 * BLOCK_SIZE;
    uint64_t bits = static_cast<uint64_t>(n) * 8;
    for (int i = 0; i < 8; ++i)
        tail[tail_len - 1 - i] = static_cast<unsigned char>(bits >> (8 * i));
    for (size_t i = 0; i < tail_len; i += BLOCK_SIZE) _compress(h, tail + i);

    Sha1_Digest out;
    for (int i = 0; i < 5; ++i)
        for (int j = 0; j < 4; ++j)
            out[4 * i + j] = static_cast<unsigned char>(h[i] >> (24 - 8 * j));
    return out;
}
