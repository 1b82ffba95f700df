// The tunnel's decision table against a running daemon, rule by rule in the order they
// apply: Host, Origin, the routes with their credentials, and the static files of memory.
#include <gtest/gtest.h>
#include <unistd.h>

#include "core/netproto/base64.h"
#include "tests/support/net.h"
#include "tests/support/tab.h"
#include "tests/support/ws_peer.h"
#include "tunnel_daemon.h"

namespace {

constexpr const char* MARKER = "<meta name=\"quelmar\" content=\"tunnel\">";

std::string base64url(std::string_view s) {
    std::string b = base64_encode(s);
    for (auto& c : b) c = c == '+' ? '-' : c == '/' ? '_' : c;
    while (!b.empty() && b.back() == '=') b.pop_back();
    return b;
}

struct TunnelPolicy : ::testing::Test {
    static inline Tunnel_Daemon* t = nullptr;
    static inline int port = 0;
    static void SetUpTestSuite() {
        t = new Tunnel_Daemon();
        port = t->tunnel_port();
        if (!t->wait_link()) port = 0;
    }
    static void TearDownTestSuite() {
        delete t;
        t = nullptr;
    }
    void SetUp() override { ASSERT_GT(port, 0); }
    const std::string& host() { return t->host(); }
    const std::string& token() { return t->token(); }
    // Each test its own client address, so the refusal limiter never joins them.
    Answer ask_from(const std::string& ip, const std::string& method, const std::string& target,
                    const std::string& extra = "") {
        return ask(port, tunnel_req(method, target, host(), from_page(host(), ip) + extra));
    }
    std::string ws_headers(const std::string& protocols) {
        return "Upgrade: websocket\r\nConnection: Upgrade\r\nSec-WebSocket-Version: 13\r\n"
               "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\nSec-WebSocket-Protocol: " +
               protocols + "\r\n";
    }
};

void expect_answer(const Answer& a, int status, const std::string& body) {
    EXPECT_EQ(a.status, status) << a.raw;
    EXPECT_EQ(a.body, body) << a.raw;
    EXPECT_EQ(header_of(a.head, "Connection"), "close");
}

}  // namespace

TEST_F(TunnelPolicy, HostMustBeThePublishedHostExactly) {
    std::string upper = host();
    for (auto& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    for (const std::string& h : {std::string(), upper, host() + ":443", host() + ".",
                                 "127.0.0.1:" + std::to_string(port)}) {
        // Host comes before everything, a right token and a foreign Origin included.
        Answer a =
            ask(port, tunnel_req("POST", "/fs", h,
                                 "Origin: https://evil.example\r\nX-Editor-Token: " + token() +
                                     "\r\nContent-Length: 0\r\n"));
        expect_answer(a, 403, "bad host");
    }
}

TEST_F(TunnelPolicy, StaticFilesComeFromMemoryWithTheTunnelHeaders) {
    Answer page = ask(port, tunnel_req("GET", "/", host()));
    expect_answer(page, 200,
                  "<!doctype html><html><head>" + std::string(MARKER) +
                      "<title>t</title></head><body>hi</body></html>");
    EXPECT_EQ(header_of(page.head, "Content-Type"), "text/html; charset=utf-8");
    EXPECT_EQ(header_of(page.head, "Cross-Origin-Opener-Policy"), "same-origin");
    EXPECT_NE(header_of(page.head, "Content-Security-Policy").find("default-src 'self'"),
              std::string::npos);
    EXPECT_EQ(ask(port, tunnel_req("GET", "/index.html", host())).body, page.body);
    // The same-origin page may load it too.
    EXPECT_EQ(ask_from("192.0.2.1", "GET", "/").status, 200);

    Answer js = ask(port, tunnel_req("GET", "/app.js?v=2", host()));
    expect_answer(js, 200, "console.log('app');\n");
    EXPECT_EQ(header_of(js.head, "Content-Type"), "text/javascript; charset=utf-8");
    EXPECT_EQ(header_of(js.head, "Content-Security-Policy"), "frame-ancestors 'none'");
    EXPECT_EQ(header_of(js.head, "Cross-Origin-Opener-Policy"), "");
    EXPECT_EQ(header_of(js.head, "X-Robots-Tag"), "noindex");

    // A page of another site may not embed or fetch the files.
    expect_answer(ask(port, tunnel_req("GET", "/", host(), "Origin: https://evil.example\r\n")),
                  403, "bad origin");
    expect_answer(ask(port, tunnel_req("GET", "/", host(), "Origin: http://" + host() + "\r\n")),
                  403, "bad origin");
    // Nothing of the disk outside the table: subdirectories, paths that climb, files made
    // after the start, the daemon's routes, whatever the Origin.
    write_file(t->web() + "/late.js", "late\n");
    for (const char* path : {"/missing.js", "/assets/deep.js", "/../app.js", "/./app.js",
                             "//app.js", "/late.js", "/app.js/", "/fs", "/APP.JS", "app.js"}) {
        expect_answer(ask(port, tunnel_req("GET", path, host())), 404, "not found");
        expect_answer(
            ask(port, tunnel_req("GET", path, host(), "Origin: https://evil.example\r\n")), 404,
            "not found");
    }
}

TEST_F(TunnelPolicy, OtherMethodsAndUnparsableRequests) {
    Answer head = ask(port, tunnel_req("HEAD", "/", host()));
    expect_answer(head, 405, "");
    EXPECT_EQ(header_of(head.head, "Content-Length"), "0");
    for (const char* m : {"PUT", "DELETE", "OPTIONS", "PATCH", "get"})
        expect_answer(ask(port, tunnel_req(m, "/fs", host())), 405, "");
    expect_answer(ask_from("192.0.2.2", "POST", "/ws", "Content-Length: 0\r\n"), 405, "");
    expect_answer(ask(port, "NOT A REQUEST\r\n\r\n"), 400, "bad request");
    expect_answer(ask(port, "GET / HTTP/1.1\r\nno colon here\r\n\r\n"), 400, "bad request");
}

TEST_F(TunnelPolicy, FileServiceNeedsThePageItsTokenAndALength) {
    const std::string ip = "192.0.2.10";
    std::string body = fs_request("stat", t->daemon().root());
    std::string good = "X-Editor-Token: " + token() +
                       "\r\nContent-Length: " + std::to_string(body.size()) + "\r\n";
    // No Origin (not a browser) and a foreign one are refused before the token is looked at.
    expect_answer(ask(port, tunnel_req("POST", "/fs", host(), good) + body), 403, "bad origin");
    expect_answer(
        ask(port,
            tunnel_req("POST", "/fs", host(), "Origin: https://evil.example\r\n" + good) + body),
        403, "bad origin");
    expect_answer(ask_from(ip, "POST", "/fs", "X-Editor-Token: x\r\nContent-Length: 0\r\n"), 403,
                  "bad token");
    std::string upper = token();
    for (auto& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    expect_answer(
        ask_from(ip, "POST", "/fs", "X-Editor-Token: " + upper + "\r\nContent-Length: 0\r\n"), 403,
        "bad token");
    // The access token of the local link is no tunnel token.
    expect_answer(ask_from(ip, "POST", "/fs",
                           "X-Editor-Token: " + t->daemon().token() + "\r\nContent-Length: 0\r\n"),
                  403, "bad token");
    std::string tok = "X-Editor-Token: " + token() + "\r\n";
    expect_answer(ask_from(ip, "POST", "/fs", tok), 411, "length required");
    expect_answer(ask_from(ip, "POST", "/fs", tok + "Content-Length: 12a\r\n"), 411,
                  "length required");
    expect_answer(ask_from(ip, "POST", "/fs", tok + "Content-Length: 268439553\r\n"), 413,
                  "too large");

    Answer ok = ask(port, tunnel_req("POST", "/fs", host(), from_page(host(), ip) + good) + body);
    EXPECT_EQ(ok.status, 200) << ok.raw;
    EXPECT_EQ(header_of(ok.head, "Content-Type"), "application/octet-stream");
    EXPECT_EQ(header_of(ok.head, "Access-Control-Allow-Origin"), "");
    EXPECT_EQ(header_of(ok.head, "X-Robots-Tag"), "noindex");
    EXPECT_NE(ok.body.find("\"ok\":true"), std::string::npos) << ok.body;
    EXPECT_NE(ok.body.find("\"kind\":\"dir\""), std::string::npos) << ok.body;
}

TEST_F(TunnelPolicy, TabSessionTakesItsTokenOnlyFromTheSubprotocol) {
    const std::string ip = "192.0.2.20";
    std::string right = ws_headers("editor.v1, tok." + token());
    // Browsers always send an Origin: anything else is no tab.
    expect_answer(ask(port, tunnel_req("GET", "/ws", host(), right)), 403, "bad origin");
    expect_answer(ask_from(ip, "GET", "/ws?t=" + token(), right), 403, "token in URL");
    expect_answer(ask_from(ip, "GET", "/ws?", right), 403, "token in URL");
    for (const std::string& p :
         {std::string("editor.v1"), "tok." + token(), "editor.v2, tok." + token(),
          "editor.v1, tok." + token() + ", x", "editor.v1, t." + token()})
        expect_answer(ask_from(ip, "GET", "/ws", ws_headers(p)), 403, "bad protocol");
    expect_answer(ask_from(ip, "GET", "/ws"), 403, "bad protocol");
    expect_answer(ask_from(ip, "GET", "/ws", ws_headers("editor.v1, tok.")), 403, "bad token");
    expect_answer(ask_from(ip, "GET", "/ws", ws_headers("editor.v1, tok." + t->daemon().token())),
                  403, "bad token");
    expect_answer(
        ask_from(ip, "GET", "/ws", "Sec-WebSocket-Protocol: editor.v1, tok." + token() + "\r\n"),
        400, "not a websocket request");

    std::string head, buf;
    int fd = tunnel_tab(port, host(), token(), head, buf, ip);
    ASSERT_GE(fd, 0) << head;
    EXPECT_EQ(header_of(head, "Sec-WebSocket-Protocol"), "editor.v1");
    EXPECT_EQ(header_of(head, "X-Robots-Tag"), "noindex");
    EXPECT_EQ(header_of(head, "Content-Security-Policy"), "frame-ancestors 'none'");
    EXPECT_EQ(header_of(head, "Cache-Control"), "no-store");
    std::optional<std::string> hello = next_message_of_kind(fd, buf, 0);
    ASSERT_TRUE(hello);
    EXPECT_NE(hello->find("\"root\":"), std::string::npos);
    ::close(fd);
}

TEST_F(TunnelPolicy, VmRelayChecksItsProtocolTokenAndTarget) {
    const std::string ip = "192.0.2.30";
    auto vm = [&](const std::string& tok, const std::string& target) {
        return ws_headers("editor.v1, tok." + tok + ", vm." + base64url(target));
    };
    std::string free_target = "ws://127.0.0.1:1/";  // nothing listens on port 1
    expect_answer(ask(port, tunnel_req("GET", "/vm", host(), vm(token(), free_target))), 403,
                  "bad origin");
    expect_answer(ask_from(ip, "GET", "/vm?to=x", vm(token(), free_target)), 403, "token in URL");
    expect_answer(ask_from(ip, "GET", "/vm", ws_headers("editor.v1, tok." + token())), 403,
                  "bad protocol");
    expect_answer(ask_from(ip, "GET", "/vm", vm("nope", free_target)), 403, "bad token");
    for (int own : {port, t->daemon().port()})
        expect_answer(
            ask_from(ip, "GET", "/vm", vm(token(), "ws://127.0.0.1:" + std::to_string(own) + "/")),
            403, "bad target");
    expect_answer(ask_from(ip, "GET", "/vm", vm(token(), "ws://example.com:80/")), 403,
                  "bad target");
    // Admitted: the relay is tried, and the service is not there.
    expect_answer(ask_from(ip, "GET", "/vm", vm(token(), free_target)), 502,
                  "cannot reach the VM service");
}
