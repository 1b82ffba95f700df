// The tunnel supervisor: runs cloudflared, publishes the link once the tunnel is up,
// restarts the program with a growing delay, and closes the tunnel when it goes unused.
#pragma once

#include <cstddef>
#include <cstdint>

// The supervisor's times, in nanoseconds.
struct Tunnel_Timing {
    int64_t first_delay;      // before the first restart
    int64_t delay_cap;        // the longest wait between runs
    int64_t stable_run;       // a link up this long resets the delay
    int64_t announce_limit;   // to publish a link before the program is killed
    int64_t kill_after_term;  // after the idle SIGTERM
    int64_t poll;             // the longest wait for output
    int64_t recheck;          // between checks once the output has ended
};

constexpr Tunnel_Timing TUNNEL_TIMING = {
    2'000'000'000, 300'000'000'000, 60'000'000'000, 60'000'000'000,
    2'000'000'000, 250'000'000,     100'000'000,
};

constexpr size_t TUNNEL_READ_CHUNK = 8192;

// Starts the supervisor on a self-cleaning thread; false when the thread could not be made.
bool start_tunnel_supervisor();
