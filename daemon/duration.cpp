// The duration grammar of --tunnel-idle, and how durations are shown to the user.
#include "daemon/duration.h"

#include "core/base/clock.h"

std::optional<int64_t> parse_duration(std::string_view text) {
    if (text == "0") return 0;
    if (text.size() < 2) return std::nullopt;
    int64_t unit = 0;
    switch (text.back()) {
        case 's':
            unit = 1;
            break;
        case 'm':
            unit = 60;
            break;
        case 'h':
            unit = 3600;
            break;
        default:
            return std::nullopt;
    }
    // Checked digit by digit, so no number of any length can overflow.
    const int64_t limit = DURATION_MAX_SECONDS / unit;
    int64_t n = 0;
    for (char c : text.substr(0, text.size() - 1)) {
        if (c < '0' || c > '9') return std::nullopt;
        n = n * 10 + (c - '0');
        if (n > limit) return std::nullopt;
    }
    return n * unit * NS_PER_SEC;
}

std::string format_duration(int64_t ns) {
    constexpr int64_t minute = 60 * NS_PER_SEC;
    constexpr int64_t hour = 60 * minute;
    if (ns > 0 && ns % hour == 0) return std::to_string(ns / hour) + "h";
    if (ns > 0 && ns % minute == 0) return std::to_string(ns / minute) + "m";
    return std::to_string(ns / NS_PER_SEC) + "s";
}
