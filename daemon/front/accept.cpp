// The two listeners' pools: short requests on reused threads, with the connections not yet
// admitted capped so that a flood cannot take the descriptors a tab needs.
#include "daemon/front/accept.h"

#include <unistd.h>

#include <algorithm>

#include "core/base/clock.h"
#include "core/netproto/conn_pool.h"
#include "daemon/front/admission.h"
#include "daemon/tunnel/policy.h"
#include "daemon/tunnel/state.h"

namespace {

// An answer still going after this long, on loopback, is one whose client stopped reading:
// under pressure it may be closed to make room.
constexpr int64_t ANSWER_STALL_NS = 1 * NS_PER_SEC;

// The tunnel keeps its own rule, TUNNEL_MAX_CONNS connections of any kind and the newcomer
// closed past it (with a head deadline of 10 s, a flood there clears itself); the pool's cap
// stays above that, so the pool never closes a tunnel connection itself.
constexpr size_t TUNNEL_POOL_CAP = 2 * TUNNEL_MAX_CONNS;

void _serve_tunnel(int sock) {
    // Over the cap the peer sees its connection closed without an answer.
    if (g_tunnel.conns.fetch_add(1) < TUNNEL_MAX_CONNS) serve_connection(sock, Listener::Tunnel);
    g_tunnel.conns.fetch_sub(1);
}

}  // namespace

size_t loopback_unadmitted_cap(uint64_t descriptor_limit) {
    return static_cast<size_t>(
        std::clamp<uint64_t>(descriptor_limit / 4, UNADMITTED_MIN, UNADMITTED_MAX));
}

void accept_loopback(int listener, size_t cap) {
    // Lives as long as its threads: for the rest of the process.
    auto* pool = new Conn_Pool(listener, {cap, ANSWER_STALL_NS},
                               [](int sock) { serve_connection(sock, Listener::Loopback); });
    // Without a first thread nothing is served: try again, as the accept loop itself would.
    int64_t wait = 10 * NS_PER_MS;
    while (!pool->start()) {
        sleep_ns(wait);
        wait = std::min<int64_t>(wait * 2, NS_PER_SEC);
    }
    for (;;) pause();
}

bool start_tunnel_accept(Fd listener) {
    // The listener stays open for the life of the process even without a pool, as
    // cloudflared was told of it.
    int fd = listener.release();
    auto* pool = new Conn_Pool(fd, {TUNNEL_POOL_CAP, ANSWER_STALL_NS}, _serve_tunnel);
    return pool->start();
}
