// Admission of requests that come through the tunnel: the decision table, the routes it
// admits, and the first-use records of the published link.
#include "daemon/tunnel/policy.h"

#include <sys/socket.h>

#include <mutex>
#include <vector>

#include "core/base/ascii.h"
#include "core/base/bytes.h"
#include "core/base/clock.h"
#include "core/base/io_wait.h"
#include "core/base/log.h"
#include "core/netproto/conn_pool.h"
#include "core/netproto/ws.h"
#include "daemon/config/config.h"
#include "daemon/files/post.h"
#include "daemon/session/session.h"
#include "daemon/tunnel/internal.h"
#include "daemon/tunnel/state.h"
#include "daemon/vm/relay.h"

using namespace tunnel_internal;
namespace answers = tunnel_answers;

namespace {

constexpr std::string_view TOKEN_PREFIX = "tok.";
constexpr std::string_view TARGET_PREFIX = "vm.";

std::string_view _trim_space_tab(std::string_view s) {
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
    return s;
}

// Exactly n comma-separated entries, trimmed of spaces and tabs; a value without a comma is
// one entry. The views point into value.
bool _ws_protocol_list(std::string_view value, size_t n, std::vector<std::string_view>& out) {
    out.clear();
    for (;;) {
        size_t comma = value.find(',');
        out.push_back(_trim_space_tab(value.substr(0, comma)));
        if (out.size() > n) return false;
        if (comma == std::string_view::npos) break;
        value.remove_prefix(comma + 1);
    }
    return out.size() == n;
}

}  // namespace

std::optional<std::string> ws_token_of(std::string_view protocols) {
    std::vector<std::string_view> entries;
    if (!_ws_protocol_list(protocols, 2, entries)) return std::nullopt;
    if (entries[0] != EDITOR_SUBPROTOCOL || !entries[1].starts_with(TOKEN_PREFIX))
        return std::nullopt;
    return std::string(entries[1].substr(TOKEN_PREFIX.size()));
}

std::optional<WS_VM_Protocols> ws_vm_protocols_of(std::string_view protocols) {
    std::vector<std::string_view> entries;
    if (!_ws_protocol_list(protocols, 3, entries)) return std::nullopt;
    if (entries[0] != EDITOR_SUBPROTOCOL || !entries[1].starts_with(TOKEN_PREFIX) ||
        !entries[2].starts_with(TARGET_PREFIX))
        return std::nullopt;
    return WS_VM_Protocols{std::string(entries[1].substr(TOKEN_PREFIX.size())),
                           std::string(entries[2].substr(TARGET_PREFIX.size()))};
}

namespace {

std::string_view _header_or_empty(const Request& req, std::string_view name) {
    const std::string* v = req.header(name);
    return v ? std::string_view(*v) : std::string_view{};
}

Tunnel_Decision _refuse(const Tunnel_Answer& a) {
    Tunnel_Decision d;
    d.answer = a;
    return d;
}

Tunnel_Decision _route(Tunnel_Route route) {
    Tunnel_Decision d;
    d.route = route;
    return d;
}

// The declared body of a POST /fs, judged as its transport judges it: nothing (admitted)
// or the refusal.
std::optional<Tunnel_Answer> _body_length_refusal(const Request& req) {
    switch (fs_post_length(req).error) {
        case Decimal_Error::Not_Digits:
            return answers::LENGTH_REQUIRED;
        case Decimal_Error::Too_Large:
            return answers::TOO_LARGE;
        case Decimal_Error::None:
            break;
    }
    return std::nullopt;
}

Tunnel_Decision _decide_fs(const Request& req, const Tunnel_Snapshot& snap, bool same_origin) {
    if (!same_origin) return _refuse(answers::BAD_ORIGIN);
    if (!token_equal(_header_or_empty(req, "x-editor-token"), snap.token))
        return _refuse(answers::BAD_TOKEN);
    if (auto refusal = _body_length_refusal(req)) return _refuse(*refusal);
    return _route(Tunnel_Route::Fs);
}

Tunnel_Decision _decide_tab(const Request& req, const Tunnel_Snapshot& snap, bool same_origin) {
    if (!same_origin) return _refuse(answers::BAD_ORIGIN);
    // A token in the URL ends up in logs and histories: refused even when it is right.
    if (req.target.find('?') != std::string::npos) return _refuse(answers::TOKEN_IN_URL);
    std::optional<std::string> token = ws_token_of(_header_or_empty(req, "sec-websocket-protocol"));
    if (!token) return _refuse(answers::BAD_PROTOCOL);
    if (!token_equal(*token, snap.token)) return _refuse(answers::BAD_TOKEN);
    if (snap.tabs >= TUNNEL_MAX_TABS) return _refuse(answers::TOO_MANY_TABS);
    return _route(Tunnel_Route::Tab);
}

Tunnel_Decision _decide_vm(const Request& req, const Tunnel_Snapshot& snap, bool same_origin) {
    if (!same_origin) return _refuse(answers::BAD_ORIGIN);
    if (req.target.find('?') != std::string::npos) return _refuse(answers::TOKEN_IN_URL);
    std::optional<WS_VM_Protocols> p =
        ws_vm_protocols_of(_header_or_empty(req, "sec-websocket-protocol"));
    if (!p) return _refuse(answers::BAD_PROTOCOL);
    if (!token_equal(p->token, snap.token)) return _refuse(answers::BAD_TOKEN);
    // The relay must never connect back into the daemon's own listeners.
    const int excluded[] = {g_cfg.port, g_cfg.tunnel_port};
    Tunnel_Decision d = _route(Tunnel_Route::Vm);
    if (!vm_target_of_b64(p->target, excluded, d.target)) return _refuse(answers::BAD_TARGET);
    return d;
}

Tunnel_Snapshot _snapshot() {
    std::lock_guard lock(g_tunnel.mu);
    return {g_tunnel.host, g_tunnel.token, g_tunnel.tabs};
}

// The first use of the link from an address (or the first address past the limit) is told
// to the user, in the log and in every open tab.
void _first_use(const std::string& peer, const std::string& country,
                const std::string& admitted_token) {
    Peer_First f = _peer_first(peer, admitted_token);
    const std::string limit = std::to_string(TUNNEL_MAX_PEERS_PER_LINK);
    if (f.is_new) {
        log_line("tunnel: first request with the link from " + quote(peer) + " (" + country + ")");
        notice_others(nullptr, "The tunnel link was used from " + peer + " (" + country +
                                   "). If that was not you, stop quelmar now.");
    } else if (f.first_over) {
        log_line("tunnel: more than " + limit +
                 " addresses have used the link — naming no more of them");
        notice_others(nullptr, "More than " + limit +
                                   " addresses have used the tunnel link. If that was not you, "
                                   "stop quelmar now.");
    }
}

// Takes a tab slot; the refusal when the link went away (or changed) since the decision,
// or when the tabs were taken meanwhile.
std::optional<Tunnel_Answer> _take_tab_slot(const std::string& admitted_token) {
    std::lock_guard lock(g_tunnel.mu);
    if (g_tunnel.host.empty() || g_tunnel.token != admitted_token) return answers::NOT_READY;
    if (g_tunnel.tabs >= TUNNEL_MAX_TABS) return answers::TOO_MANY_TABS;
    ++g_tunnel.tabs;
    return std::nullopt;
}

// The idle clock of the supervisor counts from the moment the last tunnel tab went away.
void _give_back_tab_slot() {
    std::lock_guard lock(g_tunnel.mu);
    if (--g_tunnel.tabs == 0) g_tunnel.last_use = mono_ns();
}

void _tunnel_tab(int sock, Request& req, Conn_Buffer& buf, const std::string& peer,
                 const std::string& country, const std::string& admitted_token) {
    if (!is_websocket_request(req)) {
        respond(sock, true, "400 Bad Request", "text/plain", "not a websocket request");
        return;
    }
    // Neither refusal is drained: the request was a WebSocket upgrade without a body.
    if (auto refusal = _take_tab_slot(admitted_token)) {
        respond(sock, true, refusal->status, "text/plain", refusal->body);
        return;
    }
    // The session runs on a thread of its own, under the tunnel's own limits.
    Conn_Pool::detach();
    set_socket_timeout(sock, SO_SNDTIMEO, TUNNEL_SEND_TIMEOUT_NS);
    set_socket_timeout(sock, SO_RCVTIMEO, TUNNEL_TAB_RECV_TIMEOUT_NS);
    if (ws_upgrade_response(sock, *req.header("sec-websocket-key"), EDITOR_SUBPROTOCOL,
                            TUNNEL_PLAIN_HEADERS)) {
        // Recorded so the address is not announced again by a later file request; the tab
        // itself is always announced.
        _peer_first(peer, admitted_token);
        log_line("tunnel tab connected from " + quote(peer) + " (" + country + ")");
        std::string notice = "A tab connected through the tunnel from " + peer + " (" + country +
                             "). If that was not you, stop quelmar now.";
        WS_Conn conn;
        conn.sock = sock;
        conn.buf = std::move(buf);  // may already hold the tab's first frames
        req = Request{};            // not needed for the life of the session
        run_tab(sock, conn, notice);
        log_line("tunnel tab disconnected from " + quote(peer) + " (" + country + ")");
    }
    _give_back_tab_slot();
}

}  // namespace

std::string tunnel_peer_of(const std::string* cf_connecting_ip) {
    if (!cf_connecting_ip || cf_connecting_ip->empty() ||
        cf_connecting_ip->size() > TUNNEL_PEER_MAX)
        return "local";
    for (char c : *cf_connecting_ip)
        if (!is_hex_digit(c) && c != '.' && c != ':') return "local";
    return *cf_connecting_ip;
}

std::string tunnel_country_of(const std::string* cf_ipcountry) {
    if (!cf_ipcountry || cf_ipcountry->size() != 2) return "??";
    for (char c : *cf_ipcountry)
        if (!((c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9'))) return "??";
    return *cf_ipcountry;
}

Tunnel_Decision tunnel_decide(const Request& req, const Tunnel_Snapshot& snap) {
    if (snap.host.empty()) return _refuse(answers::NOT_READY);
    const std::string* host = req.header("host");
    if (!host || *host != snap.host) return _refuse(answers::BAD_HOST);
    const std::string* origin = req.header("origin");
    bool same_origin = origin && origin->size() == 8 + snap.host.size() &&
                       origin->starts_with("https://") && origin->ends_with(snap.host);
    bool foreign = origin && !same_origin;
    if (req.method == "POST" && req.path == "/fs") return _decide_fs(req, snap, same_origin);
    if (req.method == "GET" && req.path == "/ws") return _decide_tab(req, snap, same_origin);
    if (req.method == "GET" && req.path == "/vm") return _decide_vm(req, snap, same_origin);
    if (req.method == "GET") {
        const Static_File* file = tunnel_static_find(req.path);
        if (!file) return _refuse(answers::NOT_FOUND);
        if (foreign) return _refuse(answers::BAD_ORIGIN);
        Tunnel_Decision d = _route(Tunnel_Route::Static);
        d.file = file;
        return d;
    }
    return _refuse(answers::NOT_ALLOWED);
}

Peer_First tunnel_internal::_peer_first(std::string_view peer, std::string_view admitted_token) {
    std::lock_guard lock(g_tunnel.mu);
    if (g_tunnel.host.empty() || admitted_token != g_tunnel.token) return {};
    // A new link was published since the records were last used: they belong to the old one.
    if (g_tunnel.peers_token != g_tunnel.token) {
        g_tunnel.peers.clear();
        g_tunnel.peers_token = g_tunnel.token;
        g_tunnel.peers_full = false;
    }
    if (g_tunnel.peers.find(peer) != g_tunnel.peers.end()) return {};
    if (g_tunnel.peers.size() >= TUNNEL_MAX_PEERS_PER_LINK) {
        Peer_First f{false, !g_tunnel.peers_full};
        g_tunnel.peers_full = true;
        return f;
    }
    g_tunnel.peers.emplace(peer);
    return {true, false};
}

void handle_tunnel_connection(int sock, Request& req, Conn_Buffer& buf) {
    // One reading of the clock serves the limiter's peek and its record of this request.
    int64_t now = mono_ns() - g_tunnel.loaded_at;
    std::string peer = tunnel_peer_of(req.header("cf-connecting-ip"));
    std::string country = tunnel_country_of(req.header("cf-ipcountry"));
    // Taken before the state's lock: the two locks are never held together.
    bool limited = limiter_peek(g_tunnel.limiter, peer, now);
    Tunnel_Snapshot snap = _snapshot();
    Tunnel_Decision d = tunnel_decide(req, snap);
    switch (d.route) {
        case Tunnel_Route::Refuse: {
            Tunnel_Answer a = d.answer;
            if (a.counted) {
                if (limited) a = answers::TOO_MANY_ATTEMPTS;
                limiter_fail(g_tunnel.limiter, peer, now);
            }
            respond(sock, true, a.status, "text/plain", a.body, {}, req.method == "HEAD");
            if (a.drain) linger_unread_body(sock, req, buf.size());
            return;
        }
        case Tunnel_Route::Static:
            tunnel_send_file(sock, *d.file);
            return;
        case Tunnel_Route::Fs:
            _first_use(peer, country, snap.token);
            Conn_Pool::admitted();
            set_socket_timeout(sock, SO_RCVTIMEO, TUNNEL_FS_RECV_TIMEOUT_NS);
            handle_fs_post(sock, req, buf, {}, Listener::Tunnel);
            return;
        case Tunnel_Route::Vm:
            _first_use(peer, country, snap.token);
            Conn_Pool::detach();
            set_socket_timeout(sock, SO_SNDTIMEO, TUNNEL_SEND_TIMEOUT_NS);
            handle_vm(sock, buf, req, d.target, true);
            return;
        case Tunnel_Route::Tab:
            _tunnel_tab(sock, req, buf, peer, country, snap.token);
            return;
    }
}
