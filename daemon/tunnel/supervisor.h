// The tunnel supervisor: runs cloudflared, publishes the link once the tunnel is up,
// restarts the program with a growing delay, and closes the tunnel when it goes unused.
#pragma once

#include <cstdint>
#include <string>

#include "daemon/tunnel/lines.h"

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

namespace tunnel_internal {

struct Run_Result {
    std::string start_error;  // empty when the program started
    std::string exit;         // "status 1", "signal 15", "status unknown"
    bool published = false;
    int64_t up_ns = 0;  // from publication to exit
    bool idle_stop = false;
};

// One run of cloudflared, from its start to its reaped exit.
Run_Result _tunnel_run(const Tunnel_Timing& timing, const Tunnel_Out& out);

// The supervisor loop; returns after the idle close. The daemon runs it with TUNNEL_TIMING
// and tunnel_default_out(); tests give shorter times and capture the output.
void _tunnel_supervise(const Tunnel_Timing& timing, const Tunnel_Out& out);

// How the wait status reads in the restart line.
std::string _exit_description(int status);

// The wait before the next run: the first delay after a link that stayed up long enough.
int64_t _restart_wait(const Run_Result& r, int64_t delay, const Tunnel_Timing& timing);

// The delay after a wait: doubled, up to the cap.
int64_t _next_delay(int64_t wait, const Tunnel_Timing& timing);

// Under g_tunnel.mu: an idle time is set, the clock runs, no tab is open and the last use
// is at least that long ago.
bool _idle_due(int64_t now);

}  // namespace tunnel_internal
