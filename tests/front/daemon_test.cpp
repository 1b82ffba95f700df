// The built quelmar as a user meets it: printed links and log lines, refusals with exit
// status 2, --help, and static answers byte for byte on the loopback listener.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <regex>
#include <string>
#include <vector>

#include "core/base/fd.h"
#include "daemon/front/options.h"
#include "tests/support/daemon_process.h"
#include "tests/support/net.h"

namespace {

struct Run_Result {
    std::optional<int> status;
    std::string out, err;
};

// Runs quelmar to its end (it must end by itself within the bound).
Run_Result run_quelmar(std::vector<std::string> args) {
    args.insert(args.begin(), QUELMAR_BIN);
    Child_Process p(args);
    Run_Result r;
    r.status = p.wait_exit(10000);
    // The readers see the end of both pipes shortly after the exit.
    p.wait_stderr_contains("\n", r.status ? 500 : 0);
    r.out = p.stdout_text();
    r.err = p.stderr_text();
    return r;
}

void expect_refusal(std::vector<std::string> args, const std::string& message) {
    Run_Result r = run_quelmar(args);
    EXPECT_EQ(r.status, 2) << message;
    EXPECT_EQ(r.err, "quelmar: " + message + "\n");
    EXPECT_EQ(r.out, "");
}

std::string loopback_head(std::string_view status, std::string_view type, size_t length) {
    return "HTTP/1.1 " + std::string(status) + "\r\nContent-Type: " + std::string(type) +
           "\r\nContent-Length: " + std::to_string(length) +
           "\r\nCache-Control: no-cache\r\nX-Content-Type-Options: nosniff\r\n"
           "Content-Security-Policy: frame-ancestors 'none'\r\nX-Frame-Options: DENY\r\n"
           "Connection: close\r\n\r\n";
}

std::string get(const Daemon& d, const std::string& target) {
    return http_exchange(d.port(), "GET " + target + " HTTP/1.1\r\nHost: " + d.host() + "\r\n\r\n");
}

}  // namespace

TEST(Startup, LinksAndLogLines) {
    Daemon d;
    ASSERT_TRUE(d.ok()) << d.process().stderr_text();
    EXPECT_NE(d.port(), 0);
    ASSERT_TRUE(d.process().wait_stderr_contains("until `make web`\n"));
    EXPECT_EQ(d.process().stdout_text(),
              "http://127.0.0.1:" + std::to_string(d.port()) + "/?t=" + d.token() + "\n");
    EXPECT_EQ(d.process().stderr_text(),
              "quelmar: serving " + d.web() + " for " + d.root() + "\n" +
                  "quelmar: to use it from https://quelmar.dev/editor/, start it with --site\n" +
                  "quelmar: no web build in " + d.web() +
                  " — the first link answers 404 until `make web`\n");
    // Every start makes a new token.
    Daemon other;
    ASSERT_TRUE(other.ok());
    EXPECT_NE(other.token(), d.token());
}

TEST(Startup, SiteLinkAndLine) {
    Daemon d({"--site"});
    ASSERT_TRUE(d.ok());
    std::string port = std::to_string(d.port());
    ASSERT_TRUE(d.process().wait_stdout_contains("#daemon="));
    EXPECT_EQ(d.process().stdout_text(), "http://127.0.0.1:" + port + "/?t=" + d.token() + "\n" +
                                             "https://quelmar.dev/editor/#daemon=" + port +
                                             "&t=" + d.token() + "\n");
    ASSERT_TRUE(d.process().wait_stderr_contains("Safari: use the first link)\n"));
    EXPECT_NE(d.process().stderr_text().find(
                  "\nquelmar: https://quelmar.dev may use this daemon — open the second link "
                  "(Chrome and Edge ask once to allow it, Firefox per tab unless you tick "
                  "\"Remember my choice for this site\"; Safari: use the first link)\n"),
              std::string::npos);

    Daemon custom({"--site-url", "http://LocalHost:5173/Ed/"});
    ASSERT_TRUE(custom.ok());
    ASSERT_TRUE(custom.process().wait_stdout_contains("#daemon="));
    EXPECT_NE(custom.process().stdout_text().find("\nhttp://LocalHost:5173/Ed/#daemon="),
              std::string::npos);
    EXPECT_TRUE(custom.process().wait_stderr_contains(
        "quelmar: http://localhost:5173 may use this daemon"));
}

TEST(Startup, RootAndWebSettled) {
    Temp_Dir dir;
    mkdir(dir.file("proj").c_str(), 0755);
    mkdir(dir.file("web").c_str(), 0755);
    write_file(dir.file("web/index.html"), "x");
    ASSERT_EQ(symlink(dir.file("proj").c_str(), dir.file("link").c_str()), 0);
    // A relative --root is resolved from the working directory, links included; --web is
    // kept as given.
    Child_Process p({QUELMAR_BIN, "--port", "0", "--root", "./link/", "--web", "web"}, {},
                    dir.path());
    ASSERT_TRUE(p.wait_stderr_contains("start it with --site\n"));
    char real[PATH_MAX];
    ASSERT_NE(realpath(dir.file("proj").c_str(), real), nullptr);
    EXPECT_EQ(p.stderr_text(), "quelmar: serving web for " + std::string(real) +
                                   "\nquelmar: to use it from https://quelmar.dev/editor/, "
                                   "start it with --site\n");

    // Without --root the working directory is the root; without --web the default lies
    // beside the executable's directory.
    Child_Process q({QUELMAR_BIN, "--port", "0"}, {}, real);
    ASSERT_TRUE(q.wait_stderr_contains("start it with --site\n"));
    std::string exe_dir = std::string(QUELMAR_BIN).substr(0, std::string(QUELMAR_BIN).rfind('/'));
    std::string web = exe_dir.substr(0, exe_dir.rfind('/')) + "/web/dist";
    EXPECT_EQ(q.stderr_text().substr(0, q.stderr_text().find('\n')),
              "quelmar: serving " + web + " for " + real);
}

TEST(Startup, Refusals) {
    expect_refusal({"--port"}, "--port needs a value (see --help)");
    expect_refusal({"--port", "65536"},
                   "--port needs a number from 0 to 65535 (0 picks a free port), not \"65536\"");
    expect_refusal(
        {"--site", "x"},
        "unknown argument: x (--site takes no value; for another page use --site-url URL)");
    expect_refusal({"--tunnel-idle", "0"},
                   "--tunnel-idle only applies to a tunnel: add --tunnel (or --tunnel-host HOST "
                   "--tunnel-creds FILE)");
    expect_refusal({"--site-url", "https://x.y/", "--site"},
                   "--site and --site-url cannot be combined (--site means --site-url "
                   "https://quelmar.dev/editor/)");
    expect_refusal({"--port", "0", "--root", "/nonexistent/quelmar-root"},
                   "cannot use --root \"/nonexistent/quelmar-root\": No such file or directory");
    Temp_Dir dir;
    write_file(dir.file("file"), "");
    expect_refusal(
        {"--port", "0", "--root", dir.file("file")},
        "cannot use --root " + std::string("\"") + dir.file("file") + "\": Not a directory");
}

TEST(Startup, PortInUse) {
    Daemon first;
    ASSERT_TRUE(first.ok());
    std::string port = std::to_string(first.port());
    expect_refusal({"--port", port, "--root", first.root()},
                   "cannot listen on 127.0.0.1:" + port + ": bind: Address already in use");
}

TEST(Startup, Help) {
    for (auto args : {std::vector<std::string>{"--help"}, {"--port", "1", "-h", "--bogus"}}) {
        Run_Result r = run_quelmar(args);
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.out, usage_text() + "\n");
        EXPECT_EQ(r.err, "");
    }
}

TEST(Startup, ClosedStandardDescriptorsAreFilled) {
    Temp_Dir dir;
    // The shell closes the daemon's stdin and stdout before it runs.
    Child_Process p({"/bin/sh", "-c", "exec \"$0\" --port 0 --root \"$1\" --web \"$1\" 0<&- 1>&-",
                     QUELMAR_BIN, dir.path()});
    ASSERT_TRUE(p.wait_stderr_contains("start it with --site\n"));
    for (int fd : {0, 1}) {
        char target[256] = {};
        std::string link = "/proc/" + std::to_string(p.pid()) + "/fd/" + std::to_string(fd);
        ASSERT_GT(readlink(link.c_str(), target, sizeof target - 1), 0) << fd;
        EXPECT_STREQ(target, "/dev/null") << fd;
    }
}

TEST(Startup, InheritedDescriptorsAreKeptFromPrograms) {
    Temp_Dir dir;
    // The shell's redirection leaves descriptor 7 open across exec, as a careless parent would.
    Child_Process p({"/bin/sh", "-c", "exec \"$0\" --port 0 --root \"$1\" --web \"$1\" 7<\"$1\"",
                     QUELMAR_BIN, dir.path()});
    ASSERT_TRUE(p.wait_stderr_contains("start it with --site\n"));
    std::ifstream info("/proc/" + std::to_string(p.pid()) + "/fdinfo/7");
    std::string key;
    unsigned long flags = 0;
    while (info >> key && key != "flags:") info.ignore(256, '\n');
    ASSERT_TRUE(info >> std::oct >> flags) << "descriptor 7 was closed";
    EXPECT_NE(flags & O_CLOEXEC, 0u);
}

class Static_Answers : public ::testing::Test {
  protected:
    void SetUp() override { ASSERT_TRUE(d.ok()); }
    std::string file(const std::string& name) { return d.web() + "/" + name; }
    Daemon d;
};

TEST_F(Static_Answers, FilesByteForByte) {
    const std::string page = "<!doctype html><title>q</title>\n";
    write_file(file("index.html"), page);
    write_file(file("app.json"), "{}");
    write_file(file("UP.HTML"), "u");
    std::string big(3 * 1024 * 1024 + 1, 'q');
    big[12345] = '\0';
    write_file(file("big.wasm"), big);
    mkdir(file("sub").c_str(), 0755);
    write_file(file("sub/a.js"), "a();");
    const std::string index =
        loopback_head("200 OK", "text/html; charset=utf-8", page.size()) + page;
    for (const char* same : {"/", "/index.html", "/a/../index.html", "//index.html",
                             "/../index.html", "/sub/../index.html?t=x"})
        EXPECT_EQ(get(d, same), index) << same;
    EXPECT_EQ(get(d, "/sub/a.js"),
              loopback_head("200 OK", "text/javascript; charset=utf-8", 4) + "a();");
    EXPECT_EQ(get(d, "/app.json"), loopback_head("200 OK", "application/octet-stream", 2) + "{}");
    EXPECT_EQ(get(d, "/UP.HTML"), loopback_head("200 OK", "application/octet-stream", 1) + "u");
    EXPECT_EQ(get(d, "/big.wasm"), loopback_head("200 OK", "application/wasm", big.size()) + big);
}

TEST_F(Static_Answers, NotFound) {
    write_file(file("a..b.js"), "x");
    Temp_Dir outside;
    write_file(outside.file("secret"), "s");
    const std::string nf = loopback_head("404 Not Found", "text/plain", 9) + "not found";
    mkdir(file("dir").c_str(), 0755);
    for (const char* target : {"/", "/missing.js", "/dir", "/dir/", "/a..b.js", "/%2e%2e/secret",
                               "/../", "relative", "*"})
        EXPECT_EQ(get(d, target), nf) << target;
    // Climbing out of the web directory is not possible, whatever the number of "..".
    std::string rel = outside.path();
    EXPECT_EQ(get(d, "/../../../../../../.." + rel + "/secret"), nf);
}

TEST_F(Static_Answers, OtherRequests) {
    // A head that does not parse: 400 with an empty body.
    EXPECT_EQ(http_exchange(d.port(), "GET /\r\nHost: " + d.host() + "\r\n\r\n"),
              loopback_head("400 Bad Request", "text/plain", 0));
    EXPECT_EQ(http_exchange(d.port(), "GET / HTTP/1.1\r\n: x\r\n\r\n"),
              loopback_head("400 Bad Request", "text/plain", 0));
    // Methods other than GET: 405 with an empty body, and the body on its way is drained.
    const std::string m405 = loopback_head("405 Method Not Allowed", "text/plain", 0);
    EXPECT_EQ(http_exchange(d.port(), "HEAD / HTTP/1.1\r\nHost: " + d.host() + "\r\n\r\n"), m405);
    EXPECT_EQ(http_exchange(d.port(), "PUT /x HTTP/1.1\r\nHost: " + d.host() +
                                          "\r\nContent-Length: 100000\r\n\r\n" +
                                          std::string(100000, 'b')),
              m405);
}

TEST_F(Static_Answers, OversizedHeadIsDroppedWithoutAnswer) {
    int fd = connect_tcp(d.port());
    ASSERT_GE(fd, 0);
    Fd sock(fd);
    send_bytes(fd, "GET / HTTP/1.1\r\nX: " + std::string(20000, 'a'));
    EXPECT_EQ(read_until_close(fd), "");
    // The daemon goes on serving.
    write_file(file("index.html"), "ok");
    EXPECT_EQ(get(d, "/"), loopback_head("200 OK", "text/html; charset=utf-8", 2) + "ok");
}

TEST_F(Static_Answers, ManyConnectionsAtOnce) {
    write_file(file("index.html"), "ok");
    const std::string want = loopback_head("200 OK", "text/html; charset=utf-8", 2) + "ok";
    // Idle connections hold their own threads; others are served meanwhile.
    std::vector<Fd> idle;
    for (int i = 0; i < 50; ++i) idle.emplace_back(connect_tcp(d.port()));
    for (auto& s : idle) {
        ASSERT_TRUE(s.valid());
        send_bytes(s.get(), "GET / HT");
    }
    std::vector<std::thread> clients;
    std::atomic<int> good{0};
    for (int i = 0; i < 8; ++i)
        clients.emplace_back([&] {
            for (int k = 0; k < 25; ++k)
                if (get(d, "/") == want) ++good;
        });
    for (auto& t : clients) t.join();
    EXPECT_EQ(good.load(), 200);
    for (auto& s : idle) {
        send_bytes(s.get(), "TP/1.1\r\nHost: " + d.host() + "\r\n\r\n");
        EXPECT_EQ(read_until_close(s.get()), want);
    }
}

namespace {
long rss_kib(pid_t pid) {
    std::string status = read_file("/proc/" + std::to_string(pid) + "/status");
    size_t at = status.find("VmRSS:");
    return at == std::string::npos ? -1 : std::stol(status.substr(at + 6));
}
}  // namespace

TEST_F(Static_Answers, HugeFileIsStreamedNotLoaded) {
    // A sparse 8 GiB file, and a link to it: announced with its exact size and sent from
    // the file, so the daemon's memory stays small whatever the size.
    const uint64_t size = 8ull << 30;
    Fd f(open(file("huge.wasm").c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0644));
    ASSERT_TRUE(f.valid());
    ASSERT_EQ(ftruncate(f.get(), static_cast<off_t>(size)), 0);
    ASSERT_EQ(symlink(file("huge.wasm").c_str(), file("link.wasm").c_str()), 0);
    const long rss_before = rss_kib(d.process().pid());
    for (const char* target : {"/huge.wasm", "/link.wasm"}) {
        Fd sock(connect_tcp(d.port()));
        ASSERT_TRUE(sock.valid());
        send_bytes(sock.get(),
                   "GET " + std::string(target) + " HTTP/1.1\r\nHost: " + d.host() + "\r\n\r\n");
        std::string rest;
        EXPECT_EQ(read_head(sock.get(), rest), loopback_head("200 OK", "application/wasm", size));
        char buf[65536];
        size_t got = rest.size();
        while (got < (16u << 20)) {
            ssize_t n = recv(sock.get(), buf, sizeof buf, 0);
            ASSERT_GT(n, 0);
            got += static_cast<size_t>(n);
        }
        EXPECT_LT(rss_kib(d.process().pid()) - rss_before, 32 * 1024) << target;
    }
}

TEST(Startup, AcceptErrorsDoNotStopTheLoop) {
    Temp_Dir dir;
    write_file(dir.file("index.html"), "ok");
    // Few descriptors: most of the connections below cannot be accepted at first.
    Child_Process p({"/bin/sh", "-c",
                     "ulimit -n 12 && exec \"$0\" --port 0 --root \"$1\" --web \"$1\"", QUELMAR_BIN,
                     dir.path()});
    ASSERT_TRUE(p.wait_stdout_contains("\n"));
    std::smatch m;
    std::string out = p.stdout_text();
    ASSERT_TRUE(std::regex_search(out, m, std::regex(R"(127\.0\.0\.1:(\d+)/)")));
    int port = std::stoi(m[1]);
    std::vector<Fd> held;
    for (int i = 0; i < 30; ++i) {
        held.emplace_back(connect_tcp(port));
        ASSERT_TRUE(held.back().valid());
        send_bytes(held.back().get(), "GET / HTTP/1.1\r\n");
    }
    usleep(200 * 1000);
    held.clear();  // the daemon's threads see the ends and give their descriptors back
    const std::string want = loopback_head("200 OK", "text/html; charset=utf-8", 2) + "ok";
    std::string got;
    for (int tries = 0; tries < 50 && got != want; ++tries) {
        got = http_exchange(
            port, "GET / HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(port) + "\r\n\r\n");
        if (got != want) usleep(100 * 1000);
    }
    EXPECT_EQ(got, want);
    EXPECT_FALSE(p.wait_exit(0).has_value());  // still running
}
