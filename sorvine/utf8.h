// UTF-8 decoding: input bytes to valid text, and stepping over the scalars of valid text.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace sorvine {

// The bytes as valid UTF-8: each maximal invalid subpart (a lone byte, a truncated
// sequence, an overlong or surrogate form) becomes one U+FFFD.
std::string decodeUtf8(std::string_view bytes);

struct Scalar {
    char32_t value;
    size_t length;  // bytes taken, at least 1 unless at the end
};

// The scalar starting at byte pos. An invalid byte reads as U+FFFD of length 1, so any
// bytes can be walked; pos at or past the end gives length 0.
Scalar scalarAt(std::string_view s, size_t pos);

}  // namespace sorvine
