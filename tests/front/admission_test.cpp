// Admission and routing on the loopback listener: Host, then Origin, then token; every
// answer of the routing table; the refused-Origin reports and the tab log lines.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include "core/base/clock.h"
#include "daemon/config/config.h"
#include "core/base/fd.h"
#include "daemon/front/admission.h"
#include "daemon/front/options.h"
#include "daemon/session/session.h"
#include "tests/support/front.h"
#include "tests/support/net.h"
#include "tests/support/ws_peer.h"

namespace {

struct Answer {
    std::string status;  // the status line without "HTTP/1.1 "
    std::string head;
    std::string body;
};

Answer ask(const std::string& request) {
    std::string raw = http_exchange(test_front().port, request);
    Answer a;
    size_t eol = raw.find("\r\n");
    size_t end = raw.find("\r\n\r\n");
    if (eol == std::string::npos || end == std::string::npos) return a;
    a.status = raw.substr(9, eol - 9);
    a.head = raw.substr(0, end + 4);
    a.body = raw.substr(end + 4);
    return a;
}

std::string host_line() {
    return "Host: 127.0.0.1:" + std::to_string(test_front().port) + "\r\n";
}

std::string own_origin() {
    return "http://127.0.0.1:" + std::to_string(test_front().port);
}

// A request with our Host and the given extra header lines.
std::string req(const std::string& method, const std::string& target,
                const std::string& headers = "") {
    return method + " " + target + " HTTP/1.1\r\n" + host_line() + headers + "\r\n";
}

const std::string UPGRADE =
    "Upgrade: websocket\r\nConnection: Upgrade\r\nSec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\n"
    "Sec-WebSocket-Version: 13\r\n";

void expect_answer(const std::string& request, const std::string& status, const std::string& body,
                   const char* what) {
    Answer a = ask(request);
    EXPECT_EQ(a.status, status) << what;
    EXPECT_EQ(a.body, body) << what;
    if (status.rfind("101", 0) != 0) {
        EXPECT_NE(a.head.find("\r\nConnection: close\r\n\r\n"), std::string::npos) << what;
    }
}

}  // namespace

TEST(Routes, ByMethodAndPathExactly) {
    EXPECT_EQ(route_of("GET", "/ws"), Route::Tab);
    EXPECT_EQ(route_of("GET", "/vm"), Route::Vm);
    EXPECT_EQ(route_of("POST", "/fs"), Route::Fs_Post);
    EXPECT_EQ(route_of("OPTIONS", "/fs"), Route::Fs_Preflight);
    EXPECT_EQ(route_of("GET", "/WS"), Route::Static);
    EXPECT_EQ(route_of("GET", "/fs"), Route::Static);
    EXPECT_EQ(route_of("GET", "x"), Route::Static);
    EXPECT_EQ(route_of("get", "/ws"), Route::Not_Allowed);
    EXPECT_EQ(route_of("HEAD", "/"), Route::Not_Allowed);
    EXPECT_EQ(route_of("PUT", "/fs"), Route::Not_Allowed);
    EXPECT_EQ(route_of("POST", "/ws"), Route::Not_Allowed);
    EXPECT_EQ(route_of("OPTIONS", "/"), Route::Not_Allowed);
}

TEST(Token, ExactLengthExactBytes) {
    const auto& d = test_front();
    EXPECT_TRUE(token_ok(d.token));
    EXPECT_FALSE(token_ok(""));
    EXPECT_FALSE(token_ok(d.token.substr(1)));
    EXPECT_FALSE(token_ok(d.token + "0"));
    std::string upper = d.token;
    for (auto& c : upper) c = static_cast<char>(toupper(c));
    EXPECT_FALSE(upper != d.token && token_ok(upper));
    std::string last = d.token;
    last.back() = last.back() == '0' ? '1' : '0';
    EXPECT_FALSE(token_ok(last));
}

TEST(Admission, HostMustNameThisDaemon) {
    const int port = test_front().port;
    expect_answer("GET / HTTP/1.1\r\n\r\n", "403 Forbidden", "bad host", "no Host");
    expect_answer("GET / HTTP/1.1\r\nHost: localhost\r\n\r\n", "403 Forbidden", "bad host",
                  "no port");
    expect_answer("GET / HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(port + 1) + "\r\n\r\n",
                  "403 Forbidden", "bad host", "other port");
    expect_answer("GET / HTTP/1.1\r\nHost: LOCALHOST:" + std::to_string(port) + "\r\n\r\n",
                  "403 Forbidden", "bad host", "upper case");
    expect_answer("GET / HTTP/1.1\r\nHost: localhost:" + std::to_string(port) + "\r\n\r\n",
                  "200 OK", "<h1>index</h1>", "localhost");
    // The Host check comes first: a bad Origin is not even looked at (and not logged).
    expect_answer("GET / HTTP/1.1\r\nOrigin: null\r\n\r\n", "403 Forbidden", "bad host",
                  "host before origin");
}

TEST(Admission, OwnPageAndSiteOriginOnly) {
    const int port = test_front().port;
    const std::string p = std::to_string(port);
    expect_answer(req("GET", "/", "Origin: http://127.0.0.1:" + p + "\r\n"), "200 OK",
                  "<h1>index</h1>", "own page by address");
    expect_answer(req("GET", "/", "Origin: http://localhost:" + p + "\r\n"), "200 OK",
                  "<h1>index</h1>", "own page by name");
    expect_answer(req("GET", "/", std::string("Origin: ") + TEST_SITE_ORIGIN + "\r\n"), "200 OK",
                  "<h1>index</h1>", "site origin");
    const std::string refused[] = {"https://127.0.0.1:" + p,
                                   "http://127.0.0.1:" + std::to_string(port + 1),
                                   "null",
                                   "http://127.0.0.1:" + p + "/",
                                   "https://site.example.evil",
                                   "http://"};
    for (const auto& o : refused)
        expect_answer(req("GET", "/", "Origin: " + o + "\r\n"), "403 Forbidden", "bad origin",
                      o.c_str());
}

TEST(Admission, OriginIsCheckedBeforeTheToken) {
    const auto& d = test_front();
    expect_answer(req("GET", "/ws?t=" + d.token, "Origin: https://elsewhere.example\r\n" + UPGRADE),
                  "403 Forbidden", "bad origin", "foreign page with the token");
}

TEST(Admission, TabRouteNeedsTokenThenUpgrade) {
    const auto& d = test_front();
    std::string upper = d.token;
    for (auto& c : upper) c = static_cast<char>(toupper(c));
    const std::string bad_tokens[] = {"/ws",
                                      "/ws?t=",
                                      "/ws?t=abc",
                                      "/ws?t=" + upper,
                                      "/ws?tt=" + d.token,
                                      "/ws?t=" + d.token + "x"};
    for (const auto& target : bad_tokens)
        expect_answer(req("GET", target, UPGRADE), "403 Forbidden", "bad token", target.c_str());

    const std::string ok = "/ws?x=1&t=" + d.token;
    expect_answer(req("GET", ok), "400 Bad Request", "not a websocket request", "no upgrade");
    expect_answer(req("GET", ok, "Upgrade: websocket\r\n"), "400 Bad Request",
                  "not a websocket request", "no key");
    expect_answer(req("GET", ok, "Upgrade: websocket\r\nSec-WebSocket-Key:\r\n"), "400 Bad Request",
                  "not a websocket request", "empty key");
    expect_answer(req("GET", ok, "Upgrade: h2c\r\nSec-WebSocket-Key: k\r\n"), "400 Bad Request",
                  "not a websocket request", "other upgrade");

    for (const char* upgrade : {"WebSocket", "h2c, websocket"}) {
        std::string head, buf;
        int fd = http_upgrade(d.port, ok,
                              std::string("Upgrade: ") + upgrade +
                                  "\r\nSec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\n",
                              head, buf);
        ASSERT_GE(fd, 0);
        EXPECT_EQ(
            head,
            "HTTP/1.1 101 Switching Protocols\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
            "Sec-WebSocket-Accept: s3pPLMBiTxaQ9kYGzzhZRbK+xOo=\r\n\r\n")
            << upgrade;
        close(fd);
    }
}

// A port on 127.0.0.1 where nothing listens (bound once, then released).
int unused_port() {
    int port = 0;
    listen_on("127.0.0.1", port);
    return port;
}

TEST(Admission, RelayRouteChecksTokenThenTarget) {
    const auto& d = test_front();
    const std::string t = "/vm?t=" + d.token;
    expect_answer(req("GET", "/vm?to=x"), "403 Forbidden", "bad token", "vm without token");
    expect_answer(req("GET", t + "&to=x"), "403 Forbidden", "bad target", "not a ws URL");
    expect_answer(req("GET", t), "403 Forbidden", "bad target", "no target");
    expect_answer(req("GET", t + "&to=ws://127.0.0.1:" + std::to_string(d.port) + "/"),
                  "403 Forbidden", "bad target", "the daemon's own port");
    // Admitted: the relay itself answers, here because nothing listens there.
    expect_answer(
        req("GET", t + "&to=ws%3A%2F%2F127.0.0.1%3A" + std::to_string(unused_port()) + "%2F",
            "Upgrade: websocket\r\nSec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\n"),
        "502 Bad Gateway", "cannot reach the VM service", "relay reached");
}

TEST(Admission, FileServiceRouteNeedsItsHeaderToken) {
    const auto& d = test_front();
    expect_answer(req("POST", "/fs", "Content-Length: 0\r\n"), "403 Forbidden", "bad token",
                  "fs without token");
    expect_answer(req("POST", "/fs?t=" + d.token, "Content-Length: 0\r\n"), "403 Forbidden",
                  "bad token", "fs token only in the query");
    expect_answer(req("POST", "/fs", "X-Editor-Token: " + d.token + "\r\n"), "411 Length Required",
                  "length required", "fs admitted without a length");
    Answer a = ask(req("POST", "/fs", "X-Editor-Token: " + d.token + "\r\nContent-Length: 0\r\n"));
    EXPECT_EQ(a.status, "200 OK");
    EXPECT_NE(a.body.find("\"err\":\"bad request\""), std::string::npos);
}

TEST(Admission, FileServiceRefusalCarriesCorsForTheSite) {
    Answer a = ask(req("POST", "/fs",
                       std::string("Origin: ") + TEST_SITE_ORIGIN +
                           "\r\nX-Editor-Token: wrong\r\nContent-Length: 3\r\n") +
                   "abc");
    EXPECT_EQ(a.status, "403 Forbidden");
    EXPECT_EQ(a.body, "bad token");
    EXPECT_NE(a.head.find(std::string("\r\nAccess-Control-Allow-Origin: ") + TEST_SITE_ORIGIN +
                          "\r\nVary: Origin\r\n"),
              std::string::npos);
    Answer own = ask(req("POST", "/fs", "Origin: " + own_origin() + "\r\nContent-Length: 0\r\n"));
    EXPECT_EQ(own.body, "bad token");
    EXPECT_EQ(own.head.find("Access-Control"), std::string::npos);
}

TEST(Admission, PreflightOnlyForTheSite) {
    Answer a = ask(req("OPTIONS", "/fs",
                       std::string("Origin: ") + TEST_SITE_ORIGIN +
                           "\r\nAccess-Control-Request-Method: POST\r\n"));
    EXPECT_EQ(a.status, "200 OK");
    EXPECT_NE(a.head.find("Access-Control-Allow-Methods: POST\r\n"), std::string::npos);
    expect_answer(req("OPTIONS", "/fs",
                      "Origin: " + own_origin() + "\r\nAccess-Control-Request-Method: POST\r\n"),
                  "403 Forbidden", "", "own page");
    expect_answer(req("OPTIONS", "/fs",
                      std::string("Origin: ") + TEST_SITE_ORIGIN +
                          "\r\nAccess-Control-Request-Method: PUT\r\n"),
                  "403 Forbidden", "", "other method");
    expect_answer(req("OPTIONS", "/fs", "Access-Control-Request-Method: POST\r\n"), "403 Forbidden",
                  "", "no origin");
}

TEST(Admission, OtherMethodsAndStaticPaths) {
    expect_answer(req("HEAD", "/"), "405 Method Not Allowed", "", "HEAD");
    expect_answer(req("PUT", "/fs"), "405 Method Not Allowed", "", "PUT");
    expect_answer(req("POST", "/ws"), "405 Method Not Allowed", "", "POST elsewhere");
    expect_answer(req("OPTIONS", "/x"), "405 Method Not Allowed", "", "OPTIONS elsewhere");
    expect_answer(req("GET", "/fs"), "404 Not Found", "not found", "GET /fs");
    expect_answer(req("GET", "/WS"), "404 Not Found", "not found", "GET /WS");
    expect_answer(req("GET", "ws"), "404 Not Found", "not found", "no leading slash");
    expect_answer(req("GET", "/index.html?t=1"), "200 OK", "<h1>index</h1>", "query ignored");
    expect_answer("NOT A REQUEST\r\n\r\n", "400 Bad Request", "", "four words");
    expect_answer("GET / HTTP/1.1\r\n" + host_line() + ": no name\r\n\r\n", "400 Bad Request", "",
                  "header without a name");
}

TEST(Admission, HeadThatNeverEndsGetsNoAnswer) {
    int fd = connect_tcp(test_front().port);
    ASSERT_GE(fd, 0);
    send_bytes(fd, std::string(16385, 'a'));
    EXPECT_EQ(read_until_close(fd), "");
    close(fd);
}

// The tests below run in a fresh process each, so the once-per-run rules start from zero.
class Logs : public ::testing::Test {
  protected:
    void SetUp() override { GTEST_FLAG_SET(death_test_style, "threadsafe"); }
};

namespace {

size_t count(const std::string& text, const std::string& needle) {
    size_t n = 0;
    for (size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1))
        ++n;
    return n;
}

[[noreturn]] void finish(bool ok, const std::string& log) {
    ok = wait_connections_closed() && ok;  // the front's threads are joined before the exit
    fprintf(stderr, "%s%s\n", log.c_str(), ok ? "checks passed" : "checks FAILED");
    exit(ok ? 0 : 1);
}

}  // namespace

namespace {

[[noreturn]] void child_RefusedOriginOnceEachAndAtMost32() {
    const auto& d = test_front();
    Stderr_Capture cap;
    for (int i = 0; i < 3; ++i) ask(req("GET", "/", "Origin: https://a.example\r\n"));
    for (int i = 0; i < 40; ++i) log_refused_origin("https://o" + std::to_string(i) + ".example");
    Answer a = ask(req("GET", "/ws?t=" + d.token, "Origin: https://late.example\r\n"));
    std::string log = cap.text();
    cap.stop();
    bool ok = count(log, "refused a page from \"https://a.example\"") == 1 &&
              count(log, "quelmar: refused a page from") == 32 &&
              log.find("o31.example") == std::string::npos &&
              log.find("late.example") == std::string::npos && a.body == "bad origin" &&
              refused_origin_count() == 32;
    finish(ok, log);
}

[[noreturn]] void child_RefusalLineNamesTheSiteOrigin() {
    test_front();
    Stderr_Capture cap;
    ask(req("GET", "/", "Origin: https://x.example\r\n"));
    std::string log = cap.text();
    cap.stop();
    finish(log == std::string("quelmar: refused a page from \"https://x.example\" \xE2\x80\x94 "
                              "only this daemon's own page and ") +
                      TEST_SITE_ORIGIN + " may connect\n",
           log);
}

[[noreturn]] void child_WithoutSiteTheRefusalLineSaysHowToAllowIt() {
    Front d = start_front("");
    Stderr_Capture cap;
    std::string raw =
        http_exchange(d.port, "GET / HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(d.port) +
                                  "\r\nOrigin: " + TEST_SITE_ORIGIN + "\r\n\r\n");
    std::string log = cap.text();
    cap.stop();
    bool ok = raw.find("\r\n\r\nbad origin") != std::string::npos &&
              log == std::string("quelmar: refused a page from \"") + TEST_SITE_ORIGIN +
                         "\" \xE2\x80\x94 only this daemon's own page may connect (start it "
                         "with --site to allow " +
                         std::string(DEFAULT_SITE_ORIGIN) + ")\n";
    finish(ok, log);
}

[[noreturn]] void child_TabConnectedAndDisconnected() {
    const auto& d = test_front();
    Stderr_Capture cap;
    std::string buf, head;
    int a = http_upgrade(d.port, "/ws?t=" + d.token, UPGRADE + "Origin: " + own_origin() + "\r\n",
                         head, buf);
    Server_Frame hello;
    bool ok =
        read_server_frame(a, buf, hello) && cap.wait_for("tab connected (" + own_origin() + ")");
    close(a);
    ok = ok && cap.wait_for("tab disconnected");
    int b = open_session(d.port, d.token, buf);
    ok = ok && read_server_frame(b, buf, hello) && cap.wait_for("tab connected (no Origin)");
    close(b);
    ok = ok && wait_session_count(0) &&
         cap.wait_for(
             "tab disconnected\nquelmar: tab connected (no Origin)\nquelmar: tab disconnected\n");
    std::string log = cap.text();
    cap.stop();
    finish(ok, log);
}

}  // namespace

TEST_F(Logs, RefusedOriginOnceEachAndAtMost32) {
    EXPECT_EXIT(child_RefusedOriginOnceEachAndAtMost32(), ::testing::ExitedWithCode(0),
                "checks passed");
}

TEST_F(Logs, RefusalLineNamesTheSiteOrigin) {
    EXPECT_EXIT(child_RefusalLineNamesTheSiteOrigin(), ::testing::ExitedWithCode(0),
                "checks passed");
}

TEST_F(Logs, WithoutSiteTheRefusalLineSaysHowToAllowIt) {
    EXPECT_EXIT(child_WithoutSiteTheRefusalLineSaysHowToAllowIt(), ::testing::ExitedWithCode(0),
                "checks passed");
}

TEST_F(Logs, TabConnectedAndDisconnected) {
    EXPECT_EXIT(child_TabConnectedAndDisconnected(), ::testing::ExitedWithCode(0), "checks passed");
}
