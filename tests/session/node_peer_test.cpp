// Our WebSocket code against an independent implementation (the npm package ws): a tab
// session on /ws, our frame writer and reader on a bare server, and our client handshake.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>

#include "core/base/clock.h"
#include "core/base/fd.h"
#include "core/netproto/http.h"
#include "core/netproto/ws.h"
#include "tests/support/daemon_process.h"
#include "tests/support/front.h"
#include "tests/support/net.h"
#include "tests/support/ws_peer.h"

namespace {

constexpr int NODE_TIMEOUT_MS = 30000;

bool node_ready() {
    return access(TESTS_JS_DIR "/node_modules/ws/package.json", R_OK) == 0;
}

std::unique_ptr<Child_Process> node(const std::string& script, std::vector<std::string> args) {
    std::vector<std::string> argv = {"/usr/bin/env", "node",
                                     std::string(TESTS_JS_DIR) + "/" + script};
    argv.insert(argv.end(), args.begin(), args.end());
    return std::make_unique<Child_Process>(argv);
}

void expect_clean_exit(Child_Process& p) {
    std::optional<int> status = p.wait_exit(NODE_TIMEOUT_MS);
    EXPECT_EQ(status, std::optional<int>(0))
        << "stdout: " << p.stdout_text() << "\nstderr: " << p.stderr_text();
    // The exit may be seen before the pipe's last bytes have been read.
    EXPECT_TRUE(p.wait_stdout_contains("ok", 5000)) << p.stdout_text();
}

std::string pattern(size_t n, int k) {
    std::string s(n, '\0');
    for (size_t i = 0; i < n; ++i) s[i] = static_cast<char>((i * 7 + static_cast<size_t>(k)) & 255);
    return s;
}

}  // namespace

#define REQUIRE_NODE() \
    if (!node_ready()) GTEST_SKIP() << "tests/js has no node_modules: run `make js-deps`"

TEST(NodePeer, TabSessionSeenByAnIndependentClient) {
    REQUIRE_NODE();
    const auto& d = test_front();
    auto p = node("session_peer.mjs", {std::to_string(d.port), d.token});
    ASSERT_TRUE(p->started());
    expect_clean_exit(*p);
    EXPECT_TRUE(wait_session_count(0));
}

TEST(NodePeer, OurFramesBothWays) {
    REQUIRE_NODE();
    int port = 0;
    Fd listener = listen_on("127.0.0.1", port, 4);
    ASSERT_TRUE(listener.valid());
    auto p = node("frames_peer.mjs", {std::to_string(port)});
    ASSERT_TRUE(p->started());
    pollfd pf{listener.get(), POLLIN, 0};
    ASSERT_EQ(poll(&pf, 1, NODE_TIMEOUT_MS), 1) << p->stderr_text();
    Fd sock(accept4(listener.get(), nullptr, nullptr, SOCK_CLOEXEC));
    ASSERT_TRUE(sock.valid());

    WS_Conn conn;
    conn.sock = sock.get();
    std::string head;
    ASSERT_TRUE(read_request_head(sock.get(), conn.buf, mono_ns() + 10 * NS_PER_SEC, head));
    Request req;
    ASSERT_TRUE(parse_request(head, req));
    ASSERT_NE(req.header("sec-websocket-key"), nullptr);
    ASSERT_TRUE(ws_upgrade_response(sock.get(), *req.header("sec-websocket-key"), "", ""));

    const size_t sizes[] = {0, 1, 125, 126, 65535, 65536, (1u << 20) + 3};
    for (int k = 0; k < 7; ++k) {
        std::string body = pattern(sizes[k], k);
        std::string_view v(body);
        size_t third = v.size() / 3;
        std::string_view parts[] = {
            v.substr(0, third), {}, v.substr(third, third), v.substr(2 * third)};
        ASSERT_TRUE(ws_write(sock.get(), WS_Op::Binary, parts));
    }

    std::string msg;
    WS_Op op;
    ASSERT_TRUE(ws_read_message(conn, msg, op));
    EXPECT_EQ(op, WS_Op::Binary);
    EXPECT_EQ(msg, "frag-mented");
    ASSERT_TRUE(ws_read_message(conn, msg, op));
    EXPECT_EQ(op, WS_Op::Text);
    EXPECT_EQ(msg, "text ok");
    ASSERT_TRUE(ws_read_message(conn, msg, op));
    EXPECT_EQ(op, WS_Op::Binary);
    EXPECT_TRUE(msg == pattern(3u << 20, 9));
    EXPECT_FALSE(ws_read_message(conn, msg, op));  // the Close, echoed
    sock.reset();
    expect_clean_exit(*p);
}

TEST(NodePeer, OurClientHandshakeAcceptedAndAccepting) {
    REQUIRE_NODE();
    auto p = node("client_peer.mjs", {});
    ASSERT_TRUE(p->started());
    ASSERT_TRUE(p->wait_stdout_contains("port ", NODE_TIMEOUT_MS)) << p->stderr_text();
    int port = 0;
    ASSERT_EQ(sscanf(p->stdout_text().c_str(), "port %d", &port), 1);

    Fd sock(connect_tcp(port));
    ASSERT_TRUE(sock.valid());
    std::string key = ws_client_key();
    ASSERT_TRUE(send_bytes(
        sock.get(), ws_client_request("/vm/path?x=1", "127.0.0.1:" + std::to_string(port), key)));
    std::string buf;
    std::string head = read_head(sock.get(), buf);
    ASSERT_GE(head.size(), 4u);
    Response_Head rh;
    ASSERT_TRUE(parse_response_head(head.substr(0, head.size() - 4), rh)) << head;
    EXPECT_TRUE(ws_client_accepts(rh, key)) << head;
    EXPECT_FALSE(ws_client_accepts(rh, ws_client_key()));

    Server_Frame f;
    send_bytes(sock.get(), client_msg(2, std::string(70000, 'b')));
    ASSERT_TRUE(read_server_frame(sock.get(), buf, f));
    EXPECT_EQ(f.first, 0x82);
    EXPECT_EQ(f.payload, std::string(70000, 'b'));
    send_bytes(sock.get(), client_msg(1, "text"));
    ASSERT_TRUE(read_server_frame(sock.get(), buf, f));
    EXPECT_EQ(f.first, 0x81);
    EXPECT_EQ(f.payload, "text");
    send_bytes(sock.get(), client_msg(8, "\x03\xe8"));
    ASSERT_TRUE(read_server_frame(sock.get(), buf, f));
    EXPECT_EQ(f.first, 0x88);
    sock.reset();  // the client ends the TCP connection after the closing handshake
    expect_clean_exit(*p);
}
