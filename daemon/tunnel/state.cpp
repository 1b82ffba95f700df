// The process-wide tunnel state, and the web build table loaded into it.
#include "daemon/tunnel/state.h"

#include "core/base/clock.h"

Tunnel_State g_tunnel;
std::atomic<pid_t> g_child_pid{0};

std::optional<std::string> static_table_load(const std::string& web) {
    if (auto err = static_table_read(web, g_tunnel.static_files)) return err;
    g_tunnel.loaded_at = mono_ns();
    return std::nullopt;
}

const Static_File* tunnel_static_find(std::string_view request_path) {
    return static_lookup(g_tunnel.static_files, request_path == "/" ? "/index.html" : request_path);
}
