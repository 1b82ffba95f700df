// Random hexadecimal text from the system's cryptographic source (random_bytes).
#pragma once

#include <cstddef>
#include <string>

// n random bytes as 2n lower-case hexadecimal digits, high nibble first.
std::string random_hex(size_t n);

// The bytes as lower-case hexadecimal, two digits per byte.
std::string hex_of(const unsigned char* bytes, size_t n);
