// The system's cryptographic random source (getrandom on Linux, arc4random_buf on macOS).
#pragma once

#include <cstddef>
#include <string>

void random_bytes(void* out, size_t n);

// n random bytes as 2n lower-case hexadecimal digits, high nibble first.
std::string random_hex(size_t n);

// The bytes as lower-case hexadecimal, two digits per byte.
std::string hex_of(const unsigned char* bytes, size_t n);
