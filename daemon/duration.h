// The duration grammar of --tunnel-idle, and how durations are shown to the user.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

// At most 168 hours, the longest idle time a tunnel may be given.
constexpr int64_t DURATION_MAX_SECONDS = 604'800;

// "0", or digits followed by one of s, m, h, at most 168h; nanoseconds, or nothing.
std::optional<int64_t> parse_duration(std::string_view text);

// "%dh" for whole hours, else "%dm" for whole minutes, else "%ds" (seconds rounded toward 0).
std::string format_duration(int64_t ns);
