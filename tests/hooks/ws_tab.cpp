// The in-process daemon front and a WebSocket tab client for the end-to-end hook tests.
#include "tests/hooks/ws_tab.h"

#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstring>

#include "core/base/bytes.h"
#include "core/base/random.h"
#include "core/netproto/base64.h"
#include "core/netproto/ws.h"
#include "daemon/admission.h"
#include "daemon/config.h"
#include "daemon/session.h"
#include "tests/support/net.h"

Local_Daemon::Local_Daemon() {
    listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    if (listener_ < 0 || ::bind(listener_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
        ::listen(listener_, 16) != 0 ||
        ::getsockname(listener_, reinterpret_cast<sockaddr*>(&a), &len) != 0)
        return;
    port_ = ntohs(a.sin_port);
    token_ = random_hex(16);
    g_cfg.port = port_;
    g_cfg.token = token_;
    g_cfg.root = "/";
    acceptor_ = std::thread([this] { _accept_loop(); });
}

Local_Daemon::~Local_Daemon() {
    stop_ = true;
    if (acceptor_.joinable()) acceptor_.join();
    std::vector<std::thread> conns;
    {
        std::lock_guard lock(mu_);
        conns.swap(connections_);
    }
    for (auto& t : conns) t.join();
    if (listener_ >= 0) ::close(listener_);
}

void Local_Daemon::_accept_loop() {
    while (!stop_) {
        struct pollfd p {
            listener_, POLLIN, 0
        };
        if (::poll(&p, 1, 50) <= 0) continue;
        int sock = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
        if (sock < 0) continue;
        std::lock_guard lock(mu_);
        connections_.emplace_back([sock] { handle_connection(sock, Listener::Loopback); });
    }
}

Ws_Tab::Ws_Tab(const Local_Daemon& d) {
    int fd = connect_tcp(d.port());
    if (fd < 0) return;
    unsigned char raw[16];
    random_bytes(raw, sizeof raw);
    std::string key = base64_encode(std::string_view(reinterpret_cast<char*>(raw), sizeof raw));
    std::string req = "GET /ws?t=" + d.token() +
                      " HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(d.port()) +
                      "\r\nUpgrade: websocket\r\nConnection: Upgrade\r\nSec-WebSocket-Key: " + key +
                      "\r\nSec-WebSocket-Version: 13\r\n\r\n";
    std::string buf;
    Response_Head head;
    if (!send_bytes(fd, req) || !parse_response_head(read_head(fd, buf), head) ||
        !ws_client_accepts(head, key)) {
        ::close(fd);
        return;
    }
    fd_ = fd;
    reader_ = Frame_Reader(fd_, std::move(buf));
}

void Ws_Tab::send(Msg_Kind kind, uint32_t id, std::string_view payload) {
    std::string msg = msg_header(kind, id);
    msg.append(payload);
    std::string frame(1, static_cast<char>(0x82));
    if (msg.size() < 126) {
        frame.push_back(static_cast<char>(0x80 | msg.size()));
    } else if (msg.size() < 65536) {
        frame.push_back(static_cast<char>(0x80 | 126));
        frame.push_back(static_cast<char>(msg.size() >> 8));
        frame.push_back(static_cast<char>(msg.size() & 0xff));
    } else {
        frame.push_back(static_cast<char>(0x80 | 127));
        for (int i = 7; i >= 0; --i)
            frame.push_back(static_cast<char>(uint64_t(msg.size()) >> (8 * i)));
    }
    unsigned char mask[4];
    random_bytes(mask, sizeof mask);
    frame.append(reinterpret_cast<char*>(mask), 4);
    for (size_t i = 0; i < msg.size(); ++i) msg[i] = static_cast<char>(msg[i] ^ mask[i % 4]);
    send_bytes(fd_, frame + msg);
}

std::optional<Tab_Msg> Ws_Tab::next_of(Msg_Kind kind, int timeout_ms) {
    for (;;) {
        std::optional<Tab_Msg> m = next(timeout_ms);
        if (!m || m->kind == kind) return m;
    }
}

Hook_Ready_Body Ws_Tab::listen(uint32_t hook_id) {
    send(Msg_Kind::Hook_Listen, hook_id, "");
    std::optional<Tab_Msg> m = next_of(Msg_Kind::Hook_Ready);
    if (!m || m->id != hook_id) return {"", "no Hook_Ready"};
    return parse_ready(m->payload);
}

void Ws_Tab::reply(uint32_t hook_id, uint32_t request_id, std::string_view answer) {
    std::string body;
    put_u32le(body, request_id);
    body.append(answer);
    send(Msg_Kind::Hook_Reply, hook_id, body);
}

void Ws_Tab::close() {
    if (fd_ < 0) return;
    ::shutdown(fd_, SHUT_RDWR);
    ::close(fd_);
    fd_ = -1;
}

bool wait_no_sessions(int timeout_ms) {
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    while (session_count() != 0) {
        if (std::chrono::steady_clock::now() > end) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}
