// Answers: the header sets, content types, request-path cleaning, static files from disk,
// CORS lines and the preflight, and which site pages may be trusted.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <thread>

#include "daemon/config/config.h"
#include "core/base/fd.h"
#include "core/netproto/answers.h"
#include "daemon/front/site.h"
#include "daemon/front/static_files.h"
#include "tests/support/daemon_process.h"

namespace {

// Runs answer(sock) against one end of a socket pair and returns all it wrote.
template <typename F>
std::string answer_of(F answer) {
    signal(SIGPIPE, SIG_IGN);
    int sv[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv) != 0) return "socketpair failed";
    Fd server(sv[0]), client(sv[1]);
    std::string got;
    std::thread reader([&] {
        char buf[65536];
        ssize_t n;
        while ((n = recv(client.get(), buf, sizeof buf, 0)) > 0) got.append(buf, size_t(n));
    });
    answer(server.get());
    server.reset();
    reader.join();
    return got;
}

Request request(std::string_view head) {
    Request r;
    EXPECT_TRUE(parse_request(head, r));
    return r;
}

std::string loopback_head(std::string_view status, std::string_view type, size_t length,
                          std::string_view extra = {}) {
    return "HTTP/1.1 " + std::string(status) + "\r\nContent-Type: " + std::string(type) +
           "\r\nContent-Length: " + std::to_string(length) +
           "\r\nCache-Control: no-cache\r\nX-Content-Type-Options: nosniff\r\n"
           "Content-Security-Policy: frame-ancestors 'none'\r\nX-Frame-Options: DENY\r\n" +
           std::string(extra) + "Connection: close\r\n\r\n";
}

const std::string NOT_FOUND = loopback_head("404 Not Found", "text/plain", 9) + "not found";

// g_cfg for one test, restored afterwards.
struct Config_Scope {
    Config saved = g_cfg;
    ~Config_Scope() { g_cfg = saved; }
};

}  // namespace

TEST(AnswerHeads, LoopbackAndTunnelSets) {
    EXPECT_EQ(answer_of([](int s) { http_respond(s, "403 Forbidden", "text/plain", "bad host"); }),
              loopback_head("403 Forbidden", "text/plain", 8) + "bad host");
    EXPECT_EQ(answer_of([](int s) { respond(s, false, "200 OK", "a/b", "xy", "X-A: 1\r\n"); }),
              loopback_head("200 OK", "a/b", 2, "X-A: 1\r\n") + "xy");
    EXPECT_EQ(TUNNEL_PLAIN_HEADERS.size(), 226u);
    EXPECT_EQ(TUNNEL_HTML_HEADERS.size(), 447u);
    EXPECT_EQ(tunnel_head("200 OK", "text/html; charset=utf-8", 5, true),
              "HTTP/1.1 200 OK\r\nContent-Type: text/html; charset=utf-8\r\nContent-Length: 5\r\n" +
                  std::string(TUNNEL_HTML_HEADERS) + "Connection: close\r\n\r\n");
    // On the tunnel extra lines are not used, and a HEAD answer has no body.
    std::string plain = "HTTP/1.1 404 Not Found\r\nContent-Type: text/plain\r\nContent-Length: ";
    EXPECT_EQ(
        answer_of([](int s) { respond(s, true, "404 Not Found", "text/plain", "nf", "X: 1\r\n"); }),
        plain + "2\r\n" + std::string(TUNNEL_PLAIN_HEADERS) + "Connection: close\r\n\r\nnf");
    EXPECT_EQ(answer_of([](int s) {
                  respond(s, true, "404 Not Found", "text/plain", "nf", {}, /*head_only=*/true);
              }),
              plain + "0\r\n" + std::string(TUNNEL_PLAIN_HEADERS) + "Connection: close\r\n\r\n");
}

TEST(ContentType, ByExtension) {
    EXPECT_EQ(content_type_of("/w/index.html"), "text/html; charset=utf-8");
    EXPECT_EQ(content_type_of("a.js"), "text/javascript; charset=utf-8");
    EXPECT_EQ(content_type_of("a.wasm"), "application/wasm");
    EXPECT_EQ(content_type_of("a.css"), "text/css");
    EXPECT_EQ(content_type_of("a.png"), "image/png");
    EXPECT_EQ(content_type_of("a.webmanifest"), "application/manifest+json");
    EXPECT_EQ(content_type_of("a.b.svg"), "image/svg+xml");
    for (const char* other : {"a.json", "a.ico", "a.HTML", "a.Js", "/w.html/file", "noext",
                              "a.html.gz", "", ".", "a.jsx"})
        EXPECT_EQ(content_type_of(other), "application/octet-stream") << other;
    EXPECT_EQ(content_type_of(".js"), "text/javascript; charset=utf-8");
}

TEST(StaticPath, Cleaning) {
    Config_Scope scope;
    g_cfg.web = "/srv/web";
    EXPECT_EQ(static_path("/"), "/srv/web/index.html");
    EXPECT_EQ(static_path("//"), "/srv/web/index.html");
    EXPECT_EQ(static_path("/a/../index.html"), "/srv/web/index.html");
    EXPECT_EQ(static_path("//index.html"), "/srv/web/index.html");
    EXPECT_EQ(static_path("/../secret"), "/srv/web/secret");
    EXPECT_EQ(static_path("/../../../etc/passwd"), "/srv/web/etc/passwd");
    EXPECT_EQ(static_path("/a/./b/"), "/srv/web/a/b");
    EXPECT_EQ(static_path("/%2e%2e/x"), "/srv/web/%2e%2e/x");  // not percent-decoded
    EXPECT_EQ(static_path(""), std::nullopt);
    EXPECT_EQ(static_path("index.html"), std::nullopt);
    EXPECT_EQ(static_path("*"), std::nullopt);
    EXPECT_EQ(static_path("/a..b.js"), std::nullopt);  // two dots in a row are never served
    EXPECT_EQ(static_path("/x/..."), std::nullopt);
}

TEST(ServeStatic, FromDisk) {
    Config_Scope scope;
    Temp_Dir web;
    g_cfg.web = web.path();
    write_file(web.file("index.html"), "<p>hi</p>");
    write_file(web.file("empty.css"), "");
    std::string big(5 * 1024 * 1024 + 7, '\0');
    for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>(i * 7 + i / 251);
    write_file(web.file("big.wasm"), big);
    std::string edge(64 * 1024, 'e');  // the largest file sent in one piece with its head
    write_file(web.file("edge.js"), edge);
    write_file(web.file("edge1.js"), edge + "f");
    mkdir(web.file("dir").c_str(), 0755);
    ASSERT_EQ(mkfifo(web.file("pipe.js").c_str(), 0644), 0);
    ASSERT_EQ(symlink(web.file("index.html").c_str(), web.file("link.html").c_str()), 0);
    ASSERT_EQ(symlink("/nonexistent/x", web.file("dangling.js").c_str()), 0);

    const std::string index = loopback_head("200 OK", "text/html; charset=utf-8", 9) + "<p>hi</p>";
    EXPECT_EQ(answer_of([](int s) { serve_static(s, "/"); }), index);
    EXPECT_EQ(answer_of([](int s) { serve_static(s, "/index.html"); }), index);
    EXPECT_EQ(answer_of([](int s) { serve_static(s, "/link.html"); }), index);
    EXPECT_EQ(answer_of([](int s) { serve_static(s, "/empty.css"); }),
              loopback_head("200 OK", "text/css", 0));
    EXPECT_EQ(answer_of([](int s) { serve_static(s, "/big.wasm"); }),
              loopback_head("200 OK", "application/wasm", big.size()) + big);
    const std::string js = "text/javascript; charset=utf-8";
    EXPECT_EQ(answer_of([](int s) { serve_static(s, "/edge.js"); }),
              loopback_head("200 OK", js, edge.size()) + edge);
    EXPECT_EQ(answer_of([](int s) { serve_static(s, "/edge1.js"); }),
              loopback_head("200 OK", js, edge.size() + 1) + edge + "f");
    for (const char* missing : {"/nope", "/dir", "/dir/", "/pipe.js", "/dangling.js", "x"})
        EXPECT_EQ(answer_of([&](int s) { serve_static(s, missing); }), NOT_FOUND) << missing;
}

TEST(ServeStatic, UnreadableFileIsNotFound) {
    if (geteuid() == 0) GTEST_SKIP() << "root reads every file";
    Config_Scope scope;
    Temp_Dir web;
    g_cfg.web = web.path();
    write_file(web.file("secret.js"), "x");
    chmod(web.file("secret.js").c_str(), 0);
    EXPECT_EQ(answer_of([](int s) { serve_static(s, "/secret.js"); }), NOT_FOUND);
}

TEST(Cors, OnlyForTheSiteOrigin) {
    Config_Scope scope;
    g_cfg.site_origin = "";
    EXPECT_EQ(cors_headers(request("POST /fs HTTP/1.1\r\nOrigin: https://quelmar.dev")), "");
    g_cfg.site_origin = "https://quelmar.dev";
    EXPECT_EQ(cors_headers(request("POST /fs HTTP/1.1\r\nOrigin: https://quelmar.dev")),
              "Access-Control-Allow-Origin: https://quelmar.dev\r\nVary: Origin\r\n");
    EXPECT_EQ(cors_headers(request("POST /fs HTTP/1.1\r\nOrigin: https://QUELMAR.dev")), "");
    EXPECT_EQ(cors_headers(request("POST /fs HTTP/1.1\r\nOrigin: https://quelmar.dev.evil")), "");
    EXPECT_EQ(cors_headers(request("POST /fs HTTP/1.1")), "");
}

TEST(Cors, Preflight) {
    Config_Scope scope;
    g_cfg.site_origin = "https://quelmar.dev";
    const std::string lines =
        "Access-Control-Allow-Origin: https://quelmar.dev\r\n"
        "Access-Control-Allow-Methods: POST\r\n"
        "Access-Control-Allow-Headers: X-Editor-Token, Content-Type\r\n"
        "Access-Control-Max-Age: 7200\r\n"
        "Vary: Origin\r\n";
    const std::string head =
        "OPTIONS /fs HTTP/1.1\r\nOrigin: https://quelmar.dev\r\nAccess-Control-Request-Method: "
        "POST";
    EXPECT_EQ(answer_of([&](int s) { preflight_reply(s, request(head)); }),
              loopback_head("200 OK", "text/plain", 0, lines));
    EXPECT_EQ(answer_of([&](int s) {
                  preflight_reply(
                      s, request(head + "\r\nAccess-Control-Request-Private-Network: true"));
              }),
              loopback_head("200 OK", "text/plain", 0,
                            lines + "Access-Control-Allow-Private-Network: true\r\n"));
    EXPECT_EQ(answer_of([&](int s) {
                  preflight_reply(
                      s, request(head + "\r\nAccess-Control-Request-Private-Network: True"));
              }),
              loopback_head("200 OK", "text/plain", 0, lines));
}

TEST(SiteOrigin, Accepted) {
    EXPECT_EQ(site_origin_of("https://Editor.Example.COM:443/App/"), "https://editor.example.com");
    EXPECT_EQ(site_origin_of("https://example.com:8443"), "https://example.com:8443");
    EXPECT_EQ(site_origin_of("https://example.com:08443/x"), "https://example.com:8443");
    EXPECT_EQ(site_origin_of("HTTPS://example.com/"), "https://example.com");
    EXPECT_EQ(site_origin_of("http://localhost:5173/x"), "http://localhost:5173");
    EXPECT_EQ(site_origin_of("http://127.0.0.1/"), "http://127.0.0.1");
    EXPECT_EQ(site_origin_of("http://LOCALHOST:80/"), "http://localhost");
    EXPECT_EQ(site_origin_of("https://a-b.c/p:q"), "https://a-b.c");
    EXPECT_EQ(site_origin_of("https://x"), "https://x");
}

TEST(SiteOrigin, Refused) {
    for (const char* bad : {
             "http://example.com/",         // http only on the loopback interface
             "http://127.0.0.2/",           //
             "ftp://example.com/",          // another scheme
             "https//example.com/",         // no "://"
             "://example.com/",             // no scheme
             "https://user@example.com/",   // a user name
             "https://example.com/?q",      // a query
             "https://example.com/#f",      // a fragment
             "https://*.example.com/",      // a wildcard
             "https://example.com:0/",      // port 0
             "https://example.com:/",       // empty port
             "https://example.com:65536/",  //
             "https://example.com:99999999999999999999/",
             "https://example.com:44a/",
             "https://-example.com/",  // host edges
             "https://example.com-/",
             "https://.example.com/",
             "https://example.com./",
             "https://exa..mple.com/",
             "https://ex_ample.com/",
             "https://[::1]/",
             "https:///path",  // empty host
             "https://exa mple.com/",
             "https://example.com/a b",
             "https://example.com\\@evil/",
             "https://ex\xc3\xa4mple.com/",
             "https://example.com/\t",
             "",
         })
        EXPECT_EQ(site_origin_of(bad), std::nullopt) << bad;
}
