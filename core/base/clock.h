// Monotonic time in nanoseconds, and sleeping that resumes after signals.
#pragma once

#include <cstdint>

constexpr int64_t NS_PER_MS = 1'000'000;
constexpr int64_t NS_PER_SEC = 1'000'000'000;

// Nanoseconds on the monotonic clock; only differences mean anything.
int64_t mono_ns();

// Sleeps for ns nanoseconds; a sleep interrupted by a signal goes on for the time left.
void sleep_ns(int64_t ns);

// A receive or send time-out for setsockopt, never below 1 ms when ns > 0; 0 means none.
struct timeval;
void ns_to_timeval(int64_t ns, struct timeval& tv);
