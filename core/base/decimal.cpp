// The one decimal parser.
#include "core/base/decimal.h"

Decimal parse_decimal(std::string_view text, uint64_t max) {
    if (text.empty()) return {0, Decimal_Error::Not_Digits};
    uint64_t value = 0;
    bool over = false;
    for (char c : text) {
        if (c < '0' || c > '9') return {0, Decimal_Error::Not_Digits};
        auto digit = static_cast<uint64_t>(c - '0');
        // value * 10 + digit > max, asked without computing it.
        if (over || digit > max || value > (max - digit) / 10) {
            over = true;
            continue;
        }
        value = value * 10 + digit;
    }
    if (over) return {0, Decimal_Error::Too_Large};
    return {value, Decimal_Error::None};
}
