// The relay between a tab and a VM service: real `ws` peers on both sides, the exact bytes
// of the handshakes and early frames, and services that misbehave.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include "core/netproto/answers.h"
#include "core/netproto/ws.h"
#include "daemon/vm/relay.h"
#include "tests/support/net.h"
#include "tests/support/ws_peer.h"
#include "tests/vm/relay_support.h"

namespace {

using namespace std::chrono_literals;

constexpr const char* TAB_KEY = "dGhlIHNhbXBsZSBub25jZQ==";

std::string _expected_lines(const std::string& path_line) {
    return "open - -\n"
           "text welcome\n"
           "text hello\n"
           "binary 000102ff\n"
           "text " +
           path_line +
           "\n"
           "text fragmented\n"
           "pong cli-ping\n"
           "ping srv-ping\n"
           "text got-pong:srv-ping\n"
           "large 65536 same\n"
           "large 4194311 same\n"
           "text grüße ✓\n"
           "close 4001 bye\n";
}

// Runs the node exchange through a relay to a node service; returns the client's output.
void _node_exchange(const std::string& listen_address, VM_Target target,
                    const std::string& expected_path_line) {
    if (auto why = node_peers_missing(); !why.empty()) FAIL() << why;
    Node_Service service(listen_address);
    ASSERT_TRUE(service.ok()) << service.error();
    target.port = static_cast<uint16_t>(service.port());
    target.host.replace(target.host.rfind(':') + 1, std::string::npos,
                        std::to_string(service.port()));
    Relay_Front front(target, false);
    Node_Run run =
        run_node_client("ws://127.0.0.1:" + std::to_string(front.port()) + "/vm?t=x&to=y");
    EXPECT_EQ(run.status, 0) << run.output;
    EXPECT_EQ(run.output, _expected_lines(expected_path_line + " " + target.host));
    // The service's close ends the relay on both sides.
    EXPECT_TRUE(front.wait_done(5000));
}

VM_Target _target(int family, const std::string& host, const std::string& path) {
    VM_Target t;
    t.family = family;
    t.host = host;
    t.path = path;
    return t;
}

TEST(VmRelayPeers, WsClientAndWsServerExchangeEveryFrameKind) {
    _node_exchange("127.0.0.1", _target(AF_INET, "127.0.0.1:0", "/vm/screen"), "/vm/screen");
}

TEST(VmRelayPeers, LocalhostTargetSendsItsOwnHost) {
    _node_exchange("127.0.0.1", _target(AF_INET, "localhost:0", "/"), "/");
}

TEST(VmRelayPeers, Ipv6LoopbackService) {
    if (!ipv6_loopback_available()) GTEST_SKIP() << "::1 cannot be bound here";
    _node_exchange("::1", _target(AF_INET6, "[::1]:0", "/x"), "/x");
}

// What a raw service saw, filled in on the service's thread.
struct Seen {
    std::string head;
    std::string after_head;
};

// A well-behaved service written by hand: checks nothing, answers a correct 101 carrying
// extra, then its first frame in the same send, and records what follows.
Service_Behaviour _good_service(Seen& seen, std::string first_frame, size_t expect_after,
                                std::string extra = "") {
    return [&seen, first_frame, expect_after, extra](int sock) {
        std::string buf;
        seen.head = read_head(sock, buf);
        Request req;
        std::string key;
        if (parse_request(seen.head.substr(0, seen.head.size() - 4), req) &&
            req.header("sec-websocket-key"))
            key = *req.header("sec-websocket-key");
        std::string answer =
            "HTTP/1.1 101 Switching Protocols\r\nUpgrade: websocket\r\n"
            "Connection: Upgrade\r\nSec-WebSocket-Accept: " +
            ws_accept_key(key) + "\r\n" + extra + "\r\n" + first_frame;
        send_bytes(sock, answer);
        seen.after_head = read_exact(sock, buf, expect_after);
        // Wait for the relay to pass on the tab's end.
        seen.after_head += read_until_close(sock);
    };
}

int _connect_tab(const Relay_Front& front) {
    return connect_tcp(front.port());
}

TEST(VmRelayBytes, EarlyFramesInBothDirectionsAndExactHandshakes) {
    Seen seen;
    std::string tab_frame = client_msg(2, std::string("\x00\x01tab", 5));
    std::string service_frame = std::string("\x81\x05hello", 7);
    Raw_Service service(
        _good_service(seen, service_frame, tab_frame.size() + 3, "X-Service-Secret: 42\r\n"));
    ASSERT_TRUE(service.ok());
    {
        Relay_Front front(service.target("/deep/path"), false);
        Fd tab(_connect_tab(front));
        ASSERT_TRUE(tab);
        // The first frame travels in the same send as the upgrade request.
        ASSERT_TRUE(send_bytes(tab.get(), tab_upgrade_request(TAB_KEY) + tab_frame));
        std::string buf;
        std::string head = read_head(tab.get(), buf);
        EXPECT_EQ(head, ws_upgrade_head(TAB_KEY, "", ""));
        EXPECT_EQ(head.find("X-Service-Secret"), std::string::npos);
        EXPECT_EQ(read_exact(tab.get(), buf, service_frame.size()), service_frame);

        // Arbitrary bytes pass unchanged, not looked at as frames.
        ASSERT_TRUE(send_bytes(tab.get(), std::string("\xff\x00z", 3)));
        tab.reset();
        EXPECT_TRUE(front.wait_done(5000));
    }
    service.finish();
    std::string port = std::to_string(service.port());
    ASSERT_GT(seen.head.size(), 4u);
    std::string key_line = "Sec-WebSocket-Key: ";
    size_t k = seen.head.find(key_line);
    ASSERT_NE(k, std::string::npos);
    std::string key = seen.head.substr(k + key_line.size(), 24);
    EXPECT_EQ(seen.head, "GET /deep/path HTTP/1.1\r\nHost: 127.0.0.1:" + port +
                             "\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
                             "Sec-WebSocket-Key: " +
                             key + "\r\nSec-WebSocket-Version: 13\r\n\r\n");
    EXPECT_NE(key, TAB_KEY);  // a key of the relay's own, not the tab's
    EXPECT_EQ(seen.after_head, tab_frame + std::string("\xff\x00z", 3));
}

TEST(VmRelayBytes, TunnelAnswerNamesTheProtocolAndCarriesTheSecurityHeaders) {
    Seen seen;
    Raw_Service service(_good_service(seen, "", 0));
    ASSERT_TRUE(service.ok());
    Relay_Front front(service.target(), true);
    Fd tab(_connect_tab(front));
    ASSERT_TRUE(tab);
    ASSERT_TRUE(send_bytes(tab.get(), tab_upgrade_request(TAB_KEY)));
    std::string buf;
    std::string head = read_head(tab.get(), buf);
    EXPECT_EQ(head, ws_upgrade_head(TAB_KEY, "editor.v1", TUNNEL_PLAIN_HEADERS));
    EXPECT_NE(head.find("Sec-WebSocket-Protocol: editor.v1\r\n"), std::string::npos);
    EXPECT_NE(head.find("X-Frame-Options: DENY\r\n"), std::string::npos);
    tab.reset();
    EXPECT_TRUE(front.wait_done(5000));
}

// The service going away must end the tab's side promptly, and the other way round.
TEST(VmRelayBytes, ServiceClosingClosesTheTab) {
    Raw_Service service([](int sock) {
        std::string buf;
        std::string head = read_head(sock, buf);
        Request req;
        parse_request(head.substr(0, head.size() - 4), req);
        const std::string* key = req.header("sec-websocket-key");
        send_bytes(sock,
                   "HTTP/1.1 101 Switching Protocols\r\nUpgrade: websocket\r\n"
                   "Connection: Upgrade\r\nSec-WebSocket-Accept: " +
                       ws_accept_key(key ? *key : "") + "\r\n\r\n" +
                       std::string("\x88\x02\x03\xe8", 4));
        // Returning closes the service's socket.
    });
    ASSERT_TRUE(service.ok());
    Relay_Front front(service.target(), false);
    Fd tab(_connect_tab(front));
    ASSERT_TRUE(tab);
    ASSERT_TRUE(send_bytes(tab.get(), tab_upgrade_request(TAB_KEY)));
    std::string buf;
    read_head(tab.get(), buf);
    std::string rest = buf + read_until_close(tab.get());
    EXPECT_EQ(rest, std::string("\x88\x02\x03\xe8", 4));
    EXPECT_TRUE(front.wait_done(5000));
}

// Neither the head reader's time-out on the tab's socket nor the handshake time-out on the
// service's socket may outlive the handshake: a relay can stay idle.
TEST(VmRelayBytes, IdleRelayOutlivesTheHandshakeTimeouts) {
    Seen seen;
    std::string late = client_msg(1, "late");
    Raw_Service service(_good_service(seen, "", late.size()));
    ASSERT_TRUE(service.ok());
    Relay_Front front(service.target(), false, 1000);
    Fd tab(_connect_tab(front));
    ASSERT_TRUE(tab);
    ASSERT_TRUE(send_bytes(tab.get(), tab_upgrade_request(TAB_KEY)));
    std::string buf;
    ASSERT_FALSE(read_head(tab.get(), buf).empty());
    std::this_thread::sleep_for(std::chrono::nanoseconds(VM_HANDSHAKE_TIMEOUT_NS) + 1500ms);
    EXPECT_FALSE(front.wait_done(0));
    ASSERT_TRUE(send_bytes(tab.get(), late));
    tab.reset();
    EXPECT_TRUE(front.wait_done(5000));
    service.finish();
    EXPECT_EQ(seen.after_head, late);
}

struct Answer {
    std::string status_line;
    std::string body;
    std::string whole;
};

Answer _answer_of(const std::string& request, const VM_Target& target, bool tunnel = false) {
    Relay_Front front(target, tunnel);
    Answer a;
    Fd tab(_connect_tab(front));
    if (!tab) return a;
    timeval tv{30, 0};  // beyond the relay's own handshake time-out
    setsockopt(tab.get(), SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    send_bytes(tab.get(), request);
    a.whole = read_until_close(tab.get());
    size_t eol = a.whole.find("\r\n");
    a.status_line = a.whole.substr(0, eol);
    size_t end = a.whole.find("\r\n\r\n");
    if (end != std::string::npos) a.body = a.whole.substr(end + 4);
    front.wait_done(5000);
    return a;
}

TEST(VmRelayRefusals, NotAWebSocketRequest) {
    Raw_Service service([](int) {});
    ASSERT_TRUE(service.ok());
    const std::string plain = "GET /vm HTTP/1.1\r\nHost: 127.0.0.1:8737\r\n";
    for (const std::string& request : {
             plain + "\r\n",
             plain + "Upgrade: websocket\r\n\r\n",
             plain + "Upgrade: websocket\r\nSec-WebSocket-Key:\r\n\r\n",
             plain + "Upgrade: h2c\r\nSec-WebSocket-Key: " + TAB_KEY + "\r\n\r\n",
             plain + "Sec-WebSocket-Key: " + TAB_KEY + "\r\n\r\n",
         }) {
        Answer a = _answer_of(request, service.target());
        EXPECT_EQ(a.status_line, "HTTP/1.1 400 Bad Request") << request;
        EXPECT_EQ(a.body, "not a websocket request") << request;
        EXPECT_NE(a.whole.find("Content-Type: text/plain\r\n"), std::string::npos);
    }
    EXPECT_FALSE(service.accepted());  // refused before any connection to the service
    // Mixed case and a list that contains websocket pass the check.
    Answer a = _answer_of(tab_upgrade_request(TAB_KEY).replace(
                              tab_upgrade_request(TAB_KEY).find("websocket"), 9, "h2c, WebSocket"),
                          service.target());
    EXPECT_EQ(a.status_line, "HTTP/1.1 502 Bad Gateway");
    EXPECT_TRUE(service.accepted());
}

TEST(VmRelayRefusals, ServiceNotListening) {
    int port = 0;
    Fd probe = listen_on("127.0.0.1", port);
    ASSERT_TRUE(probe);
    probe.reset();  // nobody listens there now
    VM_Target target = _target(AF_INET, "127.0.0.1:" + std::to_string(port), "/");
    target.port = static_cast<uint16_t>(port);
    for (bool tunnel : {false, true}) {
        Answer a = _answer_of(tab_upgrade_request(TAB_KEY), target, tunnel);
        EXPECT_EQ(a.status_line, "HTTP/1.1 502 Bad Gateway");
        EXPECT_EQ(a.body, "cannot reach the VM service");
        // The route's own header set.
        std::string body = "cannot reach the VM service";
        EXPECT_EQ(a.whole,
                  (tunnel ? tunnel_head("502 Bad Gateway", "text/plain", body.size(), false)
                          : http_head("502 Bad Gateway", "text/plain", body.size(), "")) +
                      body);
    }
}

// Every answer that fails the client acceptance test gives the same refusal, and nothing
// of the service's own answer reaches the tab.
TEST(VmRelayRefusals, ServicesThatAnswerWrongly) {
    struct Case {
        const char* name;
        std::function<std::string(const std::string& accept)> answer;
    };
    const std::string ok_start =
        "HTTP/1.1 101 Switching Protocols\r\nUpgrade: websocket\r\n"
        "Connection: Upgrade\r\n";
    const Case cases[] = {
        {"status 200",
         [](const std::string& accept) {
             return "HTTP/1.1 200 OK\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
                    "Sec-WebSocket-Accept: " +
                    accept + "\r\nContent-Length: 6\r\n\r\nSECRET";
         }},
        {"subprotocol",
         [&](const std::string& accept) {
             return ok_start + "Sec-WebSocket-Accept: " + accept +
                    "\r\nSec-WebSocket-Protocol: chat\r\n\r\n";
         }},
        {"extension",
         [&](const std::string& accept) {
             return ok_start + "Sec-WebSocket-Accept: " + accept +
                    "\r\nSec-WebSocket-Extensions: permessage-deflate\r\n\r\n";
         }},
        {"wrong accept",
         [&](const std::string&) {
             return ok_start + "Sec-WebSocket-Accept: s3pPLMBiTxaQ9kYGzzhZRbK+xOo=\r\n\r\n";
         }},
        {"accept of another case",
         [&](const std::string& accept) {
             std::string lower = accept;
             for (auto& c : lower) c = static_cast<char>(tolower(c));
             return ok_start + "Sec-WebSocket-Accept: " + lower + "\r\n\r\n";
         }},
        {"no upgrade header",
         [](const std::string& accept) {
             return "HTTP/1.1 101 Switching Protocols\r\nConnection: Upgrade\r\n"
                    "Sec-WebSocket-Accept: " +
                    accept + "\r\n\r\n";
         }},
        {"connection without upgrade",
         [](const std::string& accept) {
             return "HTTP/1.1 101 Switching Protocols\r\nUpgrade: websocket\r\n"
                    "Connection: keep-alive\r\nSec-WebSocket-Accept: " +
                    accept + "\r\n\r\n";
         }},
        {"malformed status",
         [&](const std::string& accept) {
             return "HTTP/1.1 1010 Switching\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
                    "Sec-WebSocket-Accept: " +
                    accept + "\r\n\r\n";
         }},
        {"header without colon",
         [&](const std::string& accept) {
             return ok_start + "Sec-WebSocket-Accept: " + accept + "\r\nbroken\r\n\r\n";
         }},
        {"closes without an answer", [](const std::string&) { return std::string(); }},
        {"endless head", [](const std::string&) { return std::string(20000, 'x'); }},
    };
    for (const Case& c : cases) {
        Raw_Service service([&c](int sock) {
            std::string buf;
            std::string head = read_head(sock, buf);
            Request req;
            parse_request(head.substr(0, head.size() - 4), req);
            const std::string* key = req.header("sec-websocket-key");
            send_bytes(sock, c.answer(ws_accept_key(key ? *key : "")));
            read_until_close(sock);
        });
        ASSERT_TRUE(service.ok());
        Answer a =
            _answer_of(tab_upgrade_request(TAB_KEY) + client_msg(1, "early"), service.target());
        EXPECT_EQ(a.status_line, "HTTP/1.1 502 Bad Gateway") << c.name;
        EXPECT_EQ(a.body, "the VM service refused the connection") << c.name;
        EXPECT_EQ(a.whole.find("SECRET"), std::string::npos) << c.name;
        EXPECT_EQ(a.whole.find("Sec-WebSocket"), std::string::npos) << c.name;
    }
}

// A service that holds the handshake, silent or dribbling its head a byte at a time, is
// given up after the handshake time-out.
TEST(VmRelayRefusals, ServicesThatNeverFinishTheirAnswer) {
    for (bool dribble : {false, true}) {
        std::atomic<bool> stop{false};
        Raw_Service service([&stop, dribble](int sock) {
            std::string buf;
            read_head(sock, buf);
            const std::string start = "HTTP/1.1 101 Switching Protocols\r\nX-Pad: ";
            for (size_t i = 0; !stop && i < 400; ++i) {
                if (dribble && !send_bytes(sock, i < start.size() ? start.substr(i, 1) : "a"))
                    break;
                std::this_thread::sleep_for(100ms);
            }
        });
        ASSERT_TRUE(service.ok());
        auto started = std::chrono::steady_clock::now();
        Answer a = _answer_of(tab_upgrade_request(TAB_KEY), service.target());
        auto waited = std::chrono::steady_clock::now() - started;
        stop = true;
        EXPECT_EQ(a.status_line, "HTTP/1.1 502 Bad Gateway") << dribble;
        EXPECT_EQ(a.body, "the VM service refused the connection") << dribble;
        EXPECT_GE(waited, std::chrono::nanoseconds(VM_HANDSHAKE_TIMEOUT_NS) - 100ms);
    }
}

}  // namespace
