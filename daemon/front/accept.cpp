// The accept loops of the two listeners, both on the one accept_forever.
#include "daemon/front/accept.h"

#include <unistd.h>

#include "daemon/config/config.h"
#include "core/base/thread.h"
#include "daemon/front/admission.h"
#include "daemon/front/listen.h"
#include "daemon/tunnel/policy.h"
#include "daemon/tunnel/state.h"

namespace {

bool _start_connection(int sock, Listener listener) {
    return start_detached([sock, listener] { handle_connection(sock, listener); });
}

[[noreturn]] void _tunnel_accept(int listener) {
    accept_forever(listener, [](int sock) {
        // Over the cap the peer sees its connection closed without an answer.
        if (g_tunnel.conns.fetch_add(1) >= TUNNEL_MAX_CONNS ||
            !_start_connection(sock, Listener::Tunnel)) {
            g_tunnel.conns.fetch_sub(1);
            ::close(sock);
        }
    });
}

}  // namespace

void accept_loopback(int listener) {
    accept_forever(listener, [](int sock) {
        if (!_start_connection(sock, Listener::Loopback)) ::close(sock);
    });
}

bool start_tunnel_accept(Fd listener) {
    int fd = listener.release();
    if (start_detached([fd] { _tunnel_accept(fd); })) return true;
    // Without the loop nobody accepts; the listener still stays open, as cloudflared was
    // told of it.
    return false;
}
