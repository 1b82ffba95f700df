// Decimal numbers in wire text and on the command line (Content-Length, ports, durations,
// version parts): the one parser, always with an upper bound.
#pragma once

#include <cstdint>
#include <string_view>

enum class Decimal_Error { None, Not_Digits, Too_Large };

struct Decimal {
    uint64_t value = 0;  // 0 unless ok()
    Decimal_Error error = Decimal_Error::None;
    bool ok() const { return error == Decimal_Error::None; }
};

// text as a number of at most max: one or more ASCII digits and nothing else (no sign, no
// space, leading zeros allowed). Not_Digits for an empty text or any other byte, even when
// the digits before it already exceed max; Too_Large for digits alone above max. Checked
// digit by digit, so no run of digits overflows.
Decimal parse_decimal(std::string_view text, uint64_t max);
