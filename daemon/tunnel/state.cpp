// The process-wide tunnel state.
#include "daemon/tunnel/state.h"

Tunnel_State g_tunnel;
std::atomic<pid_t> g_child_pid{0};
