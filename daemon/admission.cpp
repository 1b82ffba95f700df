// One accepted connection: read one request head, answer it, close.
#include "daemon/admission.h"

#include <string>

#include "core/base/clock.h"
#include "core/base/fd.h"
#include "core/netproto/http.h"
#include "daemon/http.h"

namespace {

// A tunnel client gets 10 s for its head. A local one is not limited by the protocol,
// but one that stops mid-head must not hold its thread for ever; a real tab sends its
// head at once and never comes near this.
constexpr int64_t TUNNEL_HEAD_TIME_NS = 10 * NS_PER_SEC;
constexpr int64_t LOOPBACK_HEAD_TIME_NS = 60 * NS_PER_SEC;

}  // namespace

void handle_connection(int sock, Listener listener) {
    Fd owned(sock);
    int64_t start = mono_ns();
    bool tunnel = listener == Listener::Tunnel;
    Conn_Buffer buf;
    buf.reserve(CONN_BUFFER_CAPACITY);
    std::string head;
    int64_t deadline = start + (tunnel ? TUNNEL_HEAD_TIME_NS : LOOPBACK_HEAD_TIME_NS);
    if (!read_request_head(sock, buf, deadline, head)) return;
    Request req;
    if (!parse_request(head, req)) {
        respond(sock, tunnel, "400 Bad Request", "text/plain", tunnel ? "bad request" : "");
        return;
    }
    if (req.method == "GET" && !tunnel) {
        serve_static(sock, req.path);
        return;
    }
    respond(sock, tunnel, "405 Method Not Allowed", "text/plain", "");
    linger_unread_body(sock, req, buf.size());
}
