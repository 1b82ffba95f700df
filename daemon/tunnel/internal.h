// What the tunnel's files share among themselves and with their tests, apart from what
// the rest of the daemon calls: the steps of the supervisor, of reading cloudflared's
// output, of the preparation, of the web build table and of the first-use records.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "daemon/tunnel/lines.h"
#include "daemon/tunnel/prepare.h"
#include "daemon/tunnel/static_table.h"
#include "daemon/tunnel/supervisor.h"

// With g_tunnel.mu held: the tunnel is not ready until the next publication.
void _clear_host_locked();

namespace tunnel_internal {

// The supervisor.

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

// Reading cloudflared's output.

void _feed(Tunnel_Run& run, std::string_view bytes, int64_t now, const Tunnel_Out& out);
void _on_line(Tunnel_Run& run, std::string_view line, int64_t now, const Tunnel_Out& out);
void _tunnel_publish(Tunnel_Run& run, int64_t now, const Tunnel_Out& out);

// The preparation.

// A result text, or the problem that prevented it.
struct Text_Result {
    std::string text;
    std::string error;
    bool ok() const { return error.empty(); }
};

bool _is_executable(const std::string& path);
Text_Result _find_cloudflared(const std::string& name);
// The version line of `path --version`, within the given limits.
Text_Result _cloudflared_probe(const std::string& path,
                               int64_t answer_limit_ns = PROBE_ANSWER_LIMIT_NS,
                               int64_t exit_limit_ns = PROBE_EXIT_LIMIT_NS);
// The problem with a version line that names a version below the minimum, or "".
std::string _version_problem(const std::string& path, std::string_view line);
// The five-line install hint around a problem.
std::string _install_hint(std::string_view problem);
// The first line of the output, trimmed, cut to 200 bytes.
std::string _version_line(std::string_view output);

// The web build table.

enum class Read_Outcome { Ok, Skip, Error };

struct Read_Result {
    Read_Outcome outcome = Read_Outcome::Skip;
    std::string body;   // Ok
    std::string error;  // Error: the whole message
};

// One file of the web build: skipped unless it is a regular file that is not a symbolic
// link, refused above 32 MiB, read with one allocation of its exact size.
Read_Result _read_regular(const std::string& path);

// Reads exactly size bytes from fd; an early end is "it changed while being read".
Read_Result _read_exact(int fd, size_t size, const std::string& path);

// The first-use records of the published link.

struct Peer_First {
    bool is_new = false;      // first use of the current link from this address
    bool first_over = false;  // the first address past the per-link limit
};

// Records the address for the link the request was admitted with (nothing when that link
// is no longer the current one).
Peer_First _peer_first(std::string_view peer, std::string_view admitted_token);

}  // namespace tunnel_internal
