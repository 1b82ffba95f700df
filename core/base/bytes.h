// Little-endian integers of session messages and file envelopes.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

inline void put_u32le(std::string& out, uint32_t v) {
    for (int i = 0; i < 4; ++i) out.push_back(static_cast<char>((v >> (8 * i)) & 0xff));
}

inline uint32_t get_u32le(std::string_view in) {
    uint32_t v = 0;
    for (int i = 0; i < 4; ++i)
        v |= static_cast<uint32_t>(static_cast<unsigned char>(in[i])) << (8 * i);
    return v;
}

// Compares two secrets in constant time once their lengths are equal; an empty
// expected value never matches.
inline bool token_equal(std::string_view presented, std::string_view expected) {
    if (expected.empty() || presented.size() != expected.size()) return false;
    unsigned char diff = 0;
    for (size_t i = 0; i < expected.size(); ++i)
        diff |= static_cast<unsigned char>(presented[i] ^ expected[i]);
    return diff == 0;
}
