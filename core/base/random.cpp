// The system's cryptographic random source (getrandom on Linux, arc4random_buf on macOS).
#include "core/base/random.h"

#include <cerrno>
#include <cstdlib>
#include <vector>

#if defined(__APPLE__)
#include <stdlib.h>
#else
#include <sys/random.h>
#endif

void random_bytes(void* out, size_t n) {
#if defined(__APPLE__)
    arc4random_buf(out, n);
#else
    auto* p = static_cast<unsigned char*>(out);
    while (n > 0) {
        ssize_t got = getrandom(p, n, 0);
        if (got < 0) {
            if (errno == EINTR) continue;
            // Without a random source no token can be made safely.
            abort();
        }
        p += got;
        n -= static_cast<size_t>(got);
    }
#endif
}

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
