// The accept loops of the two listeners: each accepted connection runs handle_connection
// on a self-cleaning thread of its own.
#pragma once

#include "core/base/fd.h"

// The loopback listener, for the rest of the process's life, with no cap on connections.
[[noreturn]] void accept_loopback(int listener);

// Starts the tunnel listener's loop on a self-cleaning thread, which keeps the listener for
// the life of the process; at most TUNNEL_MAX_CONNS tunnel connections are open at once.
// False when the thread could not be made.
bool start_tunnel_accept(Fd listener);
