// The two listeners' pools: each accepted connection runs serve_connection on a reused
// thread; tab sessions and relays go on on a thread of their own.
#pragma once

#include <cstddef>
#include <cstdint>

#include "core/base/fd.h"

// Connections not yet admitted on the loopback listener: a quarter of the descriptor limit,
// which leaves the rest to sessions, their programs and files; within these bounds.
constexpr size_t UNADMITTED_MIN = 16;
constexpr size_t UNADMITTED_MAX = 256;
size_t loopback_unadmitted_cap(uint64_t descriptor_limit);

// Serves the loopback listener for the rest of the process's life, at most cap connections
// not yet admitted at once.
[[noreturn]] void accept_loopback(int listener, size_t cap);

// Starts the tunnel listener's pool, which keeps the listener for the life of the process;
// at most TUNNEL_MAX_CONNS tunnel connections are open at once. False when its first thread
// could not be made.
bool start_tunnel_accept(Fd listener);
