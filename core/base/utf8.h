// UTF-8: validation, and the one escaper behind the log's %q, JSON strings and sanitising.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

// Length of the valid UTF-8 sequence at the start of s (1 to 4), or 0 when s is empty
// or starts with an invalid sequence (overlong forms, surrogates, above U+10FFFF).
size_t utf8_sequence_length(std::string_view s);

// How escape_text writes each byte. Valid UTF-8 sequences of two to four bytes always
// pass as they are; the rules say what happens to the rest.
struct Escape_Rules {
    bool quoted = false;           // in double quotes, with " and \ behind a backslash
    std::string_view letters;      // control bytes written as a backslash and one of "abtnvfr"
    std::string_view numeric;      // before two hex digits for the other control bytes and DEL
                                   // ("\\x", "\\u00"); empty: they pass as they are
    bool numeric_invalid = false;  // a byte outside valid UTF-8: numeric; else U+FFFD
};

std::string escape_text(std::string_view s, const Escape_Rules& rules);

// s with every byte that is not part of a valid sequence replaced by U+FFFD.
std::string utf8_sanitize(std::string_view s);

// s less a last character whose final bytes are missing (text cut at a byte count), so the
// cut falls on a character boundary. Bytes that could never start a character are kept.
std::string_view utf8_drop_cut_character(std::string_view s);
