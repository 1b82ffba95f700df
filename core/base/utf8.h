// UTF-8 validation helpers shared by the JSON writer and the quoting of log values.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

// Length of the valid UTF-8 sequence at the start of s (1 to 4), or 0 when s is empty
// or starts with an invalid sequence (overlong forms, surrogates, above U+10FFFF).
size_t utf8_sequence_length(std::string_view s);

// s with every byte that is not part of a valid sequence replaced by U+FFFD.
std::string utf8_sanitize(std::string_view s);
