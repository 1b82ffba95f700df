// The process-wide tunnel state.
#include "daemon/tunnel_state.h"

Tunnel_State g_tunnel;
std::atomic<pid_t> g_child_pid{0};
