// The process-wide tunnel state shared by the supervisor and the tunnel's admission, and
// the pid of the running cloudflared that the exit-signal handler reads.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <cstdint>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <string_view>

#include "daemon/tunnel/limiter.h"
#include "daemon/tunnel/static_table.h"

struct Tunnel_State {
    std::mutex mu;      // guards host .. peers_full; never held with the limiter's mutex
    std::string host;   // public host of the published link; empty: the tunnel is not ready
    std::string token;  // token of the published link
    int tabs = 0;       // tab sessions open through the tunnel
    // When the last tunnel tab closed; before any did, the first publication (monotonic ns).
    int64_t last_use = 0;
    bool idle_clock = false;                   // set at the first publication, never cleared
    std::set<std::string, std::less<>> peers;  // addresses that used the current link
    std::string peers_token;                   // the link token peers belongs to
    bool peers_full = false;                   // the over-limit notice was given for it

    // Read-only after start-up, read without a lock.
    Static_Table static_files;
    std::string named_token;  // a named tunnel's token, made once by the preparation
    int64_t loaded_at = 0;    // when static_files was complete (monotonic ns)

    std::atomic<int32_t> conns{0};  // open tunnel connections
    Refusal_Limiter limiter;
};

extern Tunnel_State g_tunnel;

// static_table_read into g_tunnel's table, with the load time taken right after it
// completed; start-up calls it before the first other thread.
std::optional<std::string> static_table_load(const std::string& web);

// The tunnel static answer: the entry of g_tunnel's table for a request path ("/" means
// "/index.html"), or nullptr; the caller answers 404 then.
const Static_File* tunnel_static_find(std::string_view request_path);

// The running cloudflared, or 0. The exit-signal handler reads it, so it must be lock-free.
extern std::atomic<pid_t> g_child_pid;
static_assert(std::atomic<pid_t>::is_always_lock_free);
