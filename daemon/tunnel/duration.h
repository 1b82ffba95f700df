// The duration grammar of --tunnel-idle ("0", or digits and one of s, m, h; at most 168h)
// and the way durations are shown to the user.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

// Nanoseconds, or nothing when the text is not a duration this daemon accepts.
std::optional<int64_t> parse_duration(std::string_view text);

// "%dh" for whole hours, else "%dm" for whole minutes, else "%ds" (seconds, toward zero).
std::string format_duration(int64_t ns);
