// Random hexadecimal text from the system's cryptographic source.
#include "core/base/random.h"

#include <vector>

#include "core/platform/platform.h"

std::string hex_of(const unsigned char* bytes, size_t n) {
    static const char digits[] = "0123456789abcdef";
    std::string out;
    out.reserve(2 * n);
    for (size_t i = 0; i < n; ++i) {
        out.push_back(digits[bytes[i] >> 4]);
        out.push_back(digits[bytes[i] & 15]);
    }
    return out;
}

std::string random_hex(size_t n) {
    std::vector<unsigned char> bytes(n);
    random_bytes(bytes.data(), n);
    return hex_of(bytes.data(), n);
}
