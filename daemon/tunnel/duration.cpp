// The --tunnel-idle duration grammar and the user-facing rendering of durations.
#include "daemon/tunnel/duration.h"

#include "core/base/clock.h"
#include "core/base/decimal.h"

namespace {

// The longest idle time a tunnel may be given: one week.
constexpr int64_t MAX_DURATION_SEC = 604'800;

}  // namespace

std::optional<int64_t> parse_duration(std::string_view text) {
    if (text == "0") return 0;
    if (text.size() < 2) return std::nullopt;
    int64_t unit_sec;
    switch (text.back()) {
        case 's':
            unit_sec = 1;
            break;
        case 'm':
            unit_sec = 60;
            break;
        case 'h':
            unit_sec = 3600;
            break;
        default:
            return std::nullopt;
    }
    std::string_view digits = text.substr(0, text.size() - 1);
    Decimal n = parse_decimal(digits, MAX_DURATION_SEC / unit_sec);
    if (!n.ok()) return std::nullopt;
    return static_cast<int64_t>(n.value) * unit_sec * NS_PER_SEC;
}

std::string format_duration(int64_t ns) {
    constexpr int64_t minute = 60 * NS_PER_SEC, hour = 60 * minute;
    if (ns > 0 && ns % hour == 0) return std::to_string(ns / hour) + "h";
    if (ns > 0 && ns % minute == 0) return std::to_string(ns / minute) + "m";
    return std::to_string(ns / NS_PER_SEC) + "s";
}
