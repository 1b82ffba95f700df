// The VM relay: both handshakes, then two pumps that copy raw bytes without looking at
// frames (masking, control frames and the closing handshake pass through unchanged).
#include "daemon/vm/relay.h"

#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>

#include <cerrno>

#include "core/base/clock.h"
#include "core/base/fd.h"
#include "core/base/thread.h"
#include "core/base/write_all.h"
#include "core/netproto/answers.h"
#include "core/netproto/ws.h"
#include "core/platform/platform.h"

namespace {

void _set_receive_timeout(int sock, int64_t ns) {
    struct timeval tv;
    ns_to_timeval(ns, tv);
    setsockopt(sock, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
}

// A blocking connect to the target's endpoint; an invalid Fd when the service is not there.
Fd _connect_vm(const VM_Target& target) {
    Fd sock = make_cloexec_socket(target.family, SOCK_STREAM);
    if (!sock) return sock;
    int rc;
    if (target.family == AF_INET6) {
        sockaddr_in6 a{};
        a.sin6_family = AF_INET6;
        a.sin6_port = htons(target.port);
        a.sin6_addr = in6addr_loopback;
        rc = connect(sock.get(), reinterpret_cast<sockaddr*>(&a), sizeof a);
    } else {
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(target.port);
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        rc = connect(sock.get(), reinterpret_cast<sockaddr*>(&a), sizeof a);
    }
    if (rc != 0) sock.reset();
    return sock;
}

// Sends the client upgrade and checks the service's 101. On success vm_buf holds the bytes
// of the service's first frames that came with its head.
bool _vm_handshake(int vm, const VM_Target& target, Conn_Buffer& vm_buf) {
    std::string key = ws_client_key();
    if (!send_all(vm, ws_client_request(target.path, target.host, key))) return false;
    // The whole head, not only each receive, must come within the time-out: a service
    // trickling bytes must not hold the tab's thread indefinitely.
    std::string head;
    if (!read_request_head(vm, vm_buf, mono_ns() + VM_HANDSHAKE_TIMEOUT_NS, head)) return false;
    Response_Head response;
    return parse_response_head(head, response) && ws_client_accepts(response, key);
}

// Copies one direction until it ends, then shuts both sockets down, which also ends the
// other direction's pump.
void _vm_pump(int from, int to) {
    char buf[VM_PUMP_BUFFER];
    for (;;) {
        ssize_t n = recv(from, buf, sizeof buf, 0);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        if (!send_all(to, {buf, static_cast<size_t>(n)})) break;
    }
    shutdown(from, SHUT_RDWR);
    shutdown(to, SHUT_RDWR);
}

}  // namespace

void handle_vm(int tab_sock, Conn_Buffer& leftover, const Request& req, const VM_Target& target,
               bool tunnel) {
    if (!is_websocket_request(req)) {
        respond(tab_sock, tunnel, "400 Bad Request", "text/plain", "not a websocket request");
        return;
    }
    Fd vm = _connect_vm(target);
    if (!vm) {
        respond(tab_sock, tunnel, "502 Bad Gateway", "text/plain", "cannot reach the VM service");
        return;
    }
    _set_receive_timeout(vm.get(), VM_HANDSHAKE_TIMEOUT_NS);
    Conn_Buffer vm_buf;
    vm_buf.reserve(CONN_BUFFER_CAPACITY);
    if (!_vm_handshake(vm.get(), target, vm_buf)) {
        respond(tab_sock, tunnel, "502 Bad Gateway", "text/plain",
                "the VM service refused the connection");
        return;
    }
    _set_receive_timeout(vm.get(), 0);
    _set_receive_timeout(tab_sock, 0);

    const std::string* key = req.header("sec-websocket-key");
    bool upgraded =
        tunnel ? ws_upgrade_response(tab_sock, *key, EDITOR_SUBPROTOCOL, TUNNEL_PLAIN_HEADERS)
               : ws_upgrade_response(tab_sock, *key, {}, {});
    if (!upgraded) return;
    if (!send_all(vm.get(), leftover) || !send_all(tab_sock, vm_buf)) return;
    leftover.clear();
    leftover.shrink_to_fit();
    vm_buf.clear();
    vm_buf.shrink_to_fit();

    int vm_sock = vm.get();
    Joinable_Thread back;
    if (!back.start([vm_sock, tab_sock] { _vm_pump(vm_sock, tab_sock); })) return;
    _vm_pump(tab_sock, vm_sock);
    back.join();
}
