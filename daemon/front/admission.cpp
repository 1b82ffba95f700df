// Admission and routing of loopback connections: Host, Origin and token, in that order,
// then one handler per route; refused Origins are reported once each. Tunnel connections
// get their head read here under the tunnel's limits and go to the tunnel's own rules.
#include "daemon/front/admission.h"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

#include <algorithm>
#include <mutex>
#include <string>
#include <vector>

#include "core/base/bytes.h"
#include "core/base/clock.h"
#include "core/base/fd.h"
#include "core/base/io_wait.h"
#include "core/base/log.h"
#include "core/netproto/answers.h"
#include "core/netproto/conn_pool.h"
#include "core/netproto/http.h"
#include "core/netproto/ws.h"
#include "daemon/files/post.h"
#include "daemon/front/options.h"
#include "daemon/front/site.h"
#include "daemon/front/static_files.h"
#include "daemon/session/session.h"
#include "daemon/tunnel/policy.h"
#include "daemon/tunnel/state.h"
#include "daemon/vm/relay.h"
#include "daemon/vm/target.h"

namespace {

// A local client that stops in the middle of its head does not hold its thread forever.
constexpr int64_t LOOPBACK_HEAD_DEADLINE_NS = 60 * NS_PER_SEC;

// Every answer outside a session or relay ends once its client has taken no byte for this
// long (the send time-out bounds each stall, send_file's included).
int64_t _answer_deadline_ns = ANSWER_DEADLINE_NS;

// Origins already reported as refused; made at the first refusal, never shrinks and never
// freed (connection threads may outlive static destructors).
std::mutex _refused_mu;
std::vector<std::string>* _refused = nullptr;

// A refusal answer, then the drain of a body that may still be on its way.
void _refuse(int sock, const Request& req, const Conn_Buffer& buf, std::string_view status,
             std::string_view body, std::string_view extra_headers = {}) {
    http_respond(sock, status, "text/plain", body, extra_headers);
    linger_unread_body(sock, req, buf.size());
}

void _serve_tab(int sock, Request& req, std::string& head, Conn_Buffer& buf) {
    if (!token_ok(query_param(req.query, "t")))
        return _refuse(sock, req, buf, "403 Forbidden", "bad token");
    if (!is_websocket_request(req)) {
        http_respond(sock, "400 Bad Request", "text/plain", "not a websocket request");
        return;
    }
    // A session may stay for hours on a thread of its own, and sends to it wait as long as
    // the tab takes to read them.
    Conn_Pool::detach();
    set_socket_timeout(sock, SO_SNDTIMEO, 0);
    if (!ws_upgrade_response(sock, *req.header("sec-websocket-key"), "", "")) return;
    const std::string* origin = req.header("origin");
    log_line("tab connected (" + (origin ? *origin : std::string("no Origin")) + ")");

    WS_Conn conn;
    conn.sock = sock;
    conn.buf = std::move(buf);  // may already hold the tab's first frames
    // The request's memory is not needed for the life of the session.
    req = Request{};
    std::string().swap(head);
    run_tab(sock, conn, "");
    log_line("tab disconnected");
}

void _serve_fs_post(int sock, const Request& req, Conn_Buffer& buf) {
    std::string cors = cors_headers(req);
    const std::string* token = req.header("x-editor-token");
    if (!token_ok(token ? std::string_view(*token) : std::string_view{}))
        return _refuse(sock, req, buf, "403 Forbidden", "bad token", cors);
    Conn_Pool::admitted();
    handle_fs_post(sock, req, buf, cors, Listener::Loopback);
}

void _serve_vm(int sock, const Request& req, Conn_Buffer& buf) {
    if (!token_ok(query_param(req.query, "t")))
        return _refuse(sock, req, buf, "403 Forbidden", "bad token");
    // The relay must never connect back into the daemon's own listeners.
    const int excluded[] = {g_cfg.port, g_cfg.tunnel_port};
    VM_Target target;
    if (!vm_target_of(query_param(req.query, "to"), excluded, target))
        return _refuse(sock, req, buf, "403 Forbidden", "bad target");
    Conn_Pool::detach();
    set_socket_timeout(sock, SO_SNDTIMEO, 0);
    handle_vm(sock, buf, req, target, false);
}

void _serve_preflight(int sock, const Request& req, const Conn_Buffer& buf) {
    const std::string* origin = req.header("origin");
    const std::string* method = req.header("access-control-request-method");
    bool from_site = origin && !g_cfg.site_origin.empty() && *origin == g_cfg.site_origin;
    if (!from_site || !method || *method != "POST")
        return _refuse(sock, req, buf, "403 Forbidden", "");
    preflight_reply(sock, req);
}

void _serve_loopback(int sock, int64_t started_ns) {
    Conn_Buffer buf;
    buf.reserve(CONN_BUFFER_CAPACITY);
    std::string head;
    // The head reader removes its receive time-out again: a session may idle for hours.
    if (!read_request_head(sock, buf, started_ns + LOOPBACK_HEAD_DEADLINE_NS, head)) return;
    Conn_Pool::answering();
    Request req;
    if (!parse_request(head, req)) {
        http_respond(sock, "400 Bad Request", "text/plain", "");
        return;
    }
    const std::string* host = req.header("host");
    if (!host_is_local(host ? std::string_view(*host) : std::string_view{}, g_cfg.port))
        return _refuse(sock, req, buf, "403 Forbidden", "bad host");
    if (const std::string* origin = req.header("origin"); origin && !origin_allowed(*origin)) {
        log_refused_origin(*origin);
        return _refuse(sock, req, buf, "403 Forbidden", "bad origin");
    }
    switch (route_of(req.method, req.path)) {
        case Route::Tab:
            return _serve_tab(sock, req, head, buf);
        case Route::Vm:
            return _serve_vm(sock, req, buf);
        case Route::Fs_Post:
            return _serve_fs_post(sock, req, buf);
        case Route::Fs_Preflight:
            return _serve_preflight(sock, req, buf);
        case Route::Static:
            return serve_static(sock, req.path);
        case Route::Not_Allowed:
            return _refuse(sock, req, buf, "405 Method Not Allowed", "");
    }
}

// Through the tunnel anyone may connect: the head must be complete within 10 s of the
// accept.
void _serve_tunnel(int sock, int64_t started_ns) {
    Conn_Buffer buf;
    buf.reserve(CONN_BUFFER_CAPACITY);
    std::string head;
    if (!read_request_head(sock, buf, started_ns + TUNNEL_HEAD_DEADLINE_NS, head)) return;
    Conn_Pool::answering();
    Request req;
    if (!parse_request(head, req)) {
        respond(sock, true, "400 Bad Request", "text/plain", "bad request");
        return;
    }
    std::string().swap(head);
    handle_tunnel_connection(sock, req, buf);
}

}  // namespace

void serve_connection(int sock, Listener listener) {
    int64_t started = mono_ns();
    // Session messages are small and answered at once: without this, Nagle's algorithm and
    // the peer's delayed acknowledgement hold back a message after output by ~40 ms.
    int one = 1;
    setsockopt(sock, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    set_socket_timeout(sock, SO_SNDTIMEO, _answer_deadline_ns);
    if (listener == Listener::Tunnel)
        _serve_tunnel(sock, started);
    else
        _serve_loopback(sock, started);
}

void handle_connection(int sock, Listener listener) {
    Fd owned(sock);
    serve_connection(sock, listener);
}

void set_answer_deadline(int64_t ns) {
    _answer_deadline_ns = ns;
}

void log_refused_origin(std::string_view origin) {
    std::lock_guard lock(_refused_mu);
    if (!_refused) {
        _refused = new std::vector<std::string>;
        _refused->reserve(REFUSED_ORIGINS_MAX);
    }
    if (_refused->size() >= REFUSED_ORIGINS_MAX) return;
    if (std::find(_refused->begin(), _refused->end(), origin) != _refused->end()) return;
    _refused->emplace_back(origin);
    // Written under the lock, so the once-only rule also holds for the lines themselves.
    if (g_cfg.site_origin.empty())
        log_line("refused a page from " + quote(origin) +
                 " \xE2\x80\x94 only this daemon's own page may connect (start it with --site to "
                 "allow " +
                 std::string(DEFAULT_SITE_ORIGIN) + ")");
    else
        log_line("refused a page from " + quote(origin) +
                 " \xE2\x80\x94 only this daemon's own page and " + g_cfg.site_origin +
                 " may connect");
}

size_t refused_origin_count() {
    std::lock_guard lock(_refused_mu);
    return _refused ? _refused->size() : 0;
}

Route route_of(std::string_view method, std::string_view path) {
    if (method == "GET") {
        if (path == "/ws") return Route::Tab;
        if (path == "/vm") return Route::Vm;
        return Route::Static;
    }
    if (path == "/fs" && method == "POST") return Route::Fs_Post;
    if (path == "/fs" && method == "OPTIONS") return Route::Fs_Preflight;
    return Route::Not_Allowed;
}

bool origin_allowed(std::string_view origin) {
    constexpr std::string_view own_scheme = "http://";
    if (origin.size() >= own_scheme.size() && origin.substr(0, own_scheme.size()) == own_scheme &&
        host_is_local(origin.substr(own_scheme.size()), g_cfg.port))
        return true;
    return !g_cfg.site_origin.empty() && origin == g_cfg.site_origin;
}

bool token_ok(std::string_view presented) {
    return token_equal(presented, g_cfg.token);
}
