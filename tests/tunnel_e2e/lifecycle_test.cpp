// The tunnel over time: restarts of cloudflared (a new link for a quick tunnel, the same
// for a named one), the idle close, the daemon's end by a signal, and the limits that keep
// a connection from holding the daemon longer than its time-outs allow.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <thread>

#include "tests/support/counts.h"
#include "tests/support/net.h"
#include "tests/support/tab.h"
#include "tests/support/ws_peer.h"
#include "tunnel_daemon.h"

namespace {

using Clock = std::chrono::steady_clock;

// The first run ends with status 3 once the test creates "$DIR/exit"; later runs wait.
constexpr const char* FIRST_RUN_EXITS =
    "if [ \"$n\" = 1 ]; then\n"
    "  while [ ! -f \"$DIR/exit\" ]; do /bin/sleep 0.05; done\n"
    "  exit 3\n"
    "fi\n"
    "exec /bin/sleep 600";

double seconds_since(Clock::time_point t) {
    return std::chrono::duration<double>(Clock::now() - t).count();
}

Answer file_service(int port, const std::string& host, const std::string& token,
                    const std::string& root, const std::string& ip = "198.51.100.9") {
    std::string body = fs_request("stat", root);
    return ask(port, tunnel_req("POST", "/fs", host,
                                from_page(host, ip) + "X-Editor-Token: " + token +
                                    "\r\nContent-Length: " + std::to_string(body.size()) + "\r\n") +
                         body);
}

int count_of(const std::string& text, const std::string& what) {
    int n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
    return n;
}

bool slow_tests_wanted() {
    const char* v = std::getenv("QUELMAR_SLOW_TESTS");
    return v && *v && std::string(v) != "0";
}

}  // namespace

TEST(TunnelLifecycle, QuickTunnelRestartPublishesANewLinkAndForgetsItsAddresses) {
    Tunnel_Options o;
    o.after = FIRST_RUN_EXITS;
    Tunnel_Daemon t(o);
    int port = t.tunnel_port();
    ASSERT_GT(port, 0);
    ASSERT_TRUE(t.wait_link(1));
    std::string host1 = t.host(), token1 = t.token();
    ASSERT_EQ(file_service(port, host1, token1, t.daemon().root()).status, 200);

    write_file(t.fake_file("exit"), "");
    ASSERT_TRUE(t.process().wait_stderr_contains(
        "quelmar: cloudflared exited (status 3) — new tunnel in 2s (new link)\n"));
    // Withdrawn at once: until the next publication nothing is served.
    EXPECT_EQ(ask(port, tunnel_req("GET", "/", host1)).body, "tunnel not ready");

    ASSERT_TRUE(t.wait_link(2));
    EXPECT_EQ(t.host(), "run2-quiet-lake.trycloudflare.com");
    EXPECT_NE(t.token(), token1);
    EXPECT_EQ(t.argv_of(2), t.argv_of(1));
    EXPECT_EQ(ask(port, tunnel_req("GET", "/", host1)).body, "bad host");
    EXPECT_EQ(file_service(port, t.host(), token1, t.daemon().root()).body, "bad token");
    EXPECT_EQ(file_service(port, t.host(), t.token(), t.daemon().root()).status, 200);
    // The records belong to a link: the same address is announced again for the new one.
    // (The daemon's stderr is read by another thread of ours: wait for it, bounded.)
    const std::string line = "first request with the link from \"198.51.100.9\"";
    auto end = Clock::now() + std::chrono::seconds(10);
    while (count_of(t.process().stderr_text(), line) < 2 && Clock::now() < end)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_EQ(count_of(t.process().stderr_text(), line), 2);
}

TEST(TunnelLifecycle, NamedTunnelReconnectsWithTheSameLink) {
    Tunnel_Options o;
    o.after = FIRST_RUN_EXITS;
    o.named = true;
    Tunnel_Daemon t(o);
    int port = t.tunnel_port();
    ASSERT_GT(port, 0);
    ASSERT_TRUE(t.wait_link(1));
    std::string token1 = t.token();
    write_file(t.fake_file("exit"), "");
    ASSERT_TRUE(t.process().wait_stderr_contains(
        "quelmar: cloudflared exited (status 3) — reconnecting in 2s (same link)\n"));
    ASSERT_TRUE(t.wait_link(2));
    EXPECT_EQ(t.host(), NAMED_HOST);
    EXPECT_EQ(t.token(), token1);
    EXPECT_EQ(file_service(port, NAMED_HOST, token1, t.daemon().root()).status, 200);
}

TEST(TunnelLifecycle, IdleTunnelClosesOnceTheLastTabHasGone) {
    Tunnel_Options o;
    o.extra = {"--tunnel-idle", "2s"};
    Tunnel_Daemon t(o);
    int port = t.tunnel_port();
    ASSERT_GT(port, 0);
    ASSERT_TRUE(t.wait_link());
    std::string head, buf;
    int tab = tunnel_tab(port, t.host(), t.token(), head, buf);
    ASSERT_GE(tab, 0) << head;

    // An open tab keeps the tunnel up past the idle time.
    std::this_thread::sleep_for(std::chrono::milliseconds(3000));
    ASSERT_EQ(t.fake_pids().size(), 1u);
    pid_t fake = t.fake_pids()[0];
    EXPECT_FALSE(process_dead(fake));
    EXPECT_EQ(t.process().stderr_text().find("closed it"), std::string::npos);

    ::close(tab);
    auto closed = Clock::now();
    ASSERT_TRUE(t.process().wait_stderr_contains(
        "quelmar: no tab on the tunnel for 2s — closed it; the local link still works (restart "
        "quelmar for a new tunnel link)\n",
        10000));
    EXPECT_GE(seconds_since(closed), 1.5);
    EXPECT_TRUE(wait_dead(fake, 5000));
    EXPECT_EQ(ask(port, tunnel_req("GET", "/", t.host())).body, "tunnel not ready");
    EXPECT_EQ(t.runs(), 1);
    // The daemon goes on.
    Answer local =
        ask(t.daemon().port(), "GET / HTTP/1.1\r\nHost: " + t.daemon().host() + "\r\n\r\n");
    EXPECT_EQ(local.status, 200);
}

TEST(TunnelLifecycle, SigtermKillsCloudflaredThenEndsTheDaemon) {
    Tunnel_Daemon t;
    ASSERT_TRUE(t.wait_link());
    ASSERT_EQ(t.fake_pids().size(), 1u);
    pid_t fake = t.fake_pids()[0];
    t.process().kill_now(SIGTERM);
    EXPECT_EQ(t.process().wait_exit(10000), 128 + SIGTERM);
    EXPECT_TRUE(wait_dead(fake, 5000));
}

TEST(TunnelLifecycle, InterruptIgnoredAtStartStaysIgnored) {
    struct sigaction ignore {
    }, old{};
    ignore.sa_handler = SIG_IGN;
    ::sigaction(SIGINT, &ignore, &old);
    Tunnel_Daemon t;  // inherits the ignored SIGINT
    ::sigaction(SIGINT, &old, nullptr);
    int port = t.tunnel_port();
    ASSERT_TRUE(t.wait_link());
    pid_t fake = t.fake_pids().at(0);

    t.process().kill_now(SIGINT);
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_EQ(ask(port, tunnel_req("GET", "/", t.host())).status, 200);
    EXPECT_FALSE(process_dead(fake));
    EXPECT_FALSE(t.process().wait_exit(0));

    t.process().kill_now(SIGTERM);
    EXPECT_EQ(t.process().wait_exit(10000), 128 + SIGTERM);
    EXPECT_TRUE(wait_dead(fake, 5000));
}

TEST(TunnelLifecycle, SixtyFiveConnectionsAndTheHeadDeadline) {
    Tunnel_Daemon t;
    int port = t.tunnel_port();
    ASSERT_GT(port, 0);
    ASSERT_TRUE(t.wait_link());

    // One connection trickles its head, 63 send nothing: all count against the 64.
    auto start = Clock::now();
    int trickle = connect_tcp(port);
    ASSERT_GE(trickle, 0);
    ASSERT_TRUE(send_bytes(trickle, "GET / HTTP/1.1\r\nHost: " + t.host() + "\r\n"));
    std::vector<int> silent;
    for (int i = 0; i < 63; ++i) {
        int fd = connect_tcp(port);
        ASSERT_GE(fd, 0);
        silent.push_back(fd);
    }
    int extra = connect_tcp(port);
    ASSERT_GE(extra, 0);
    std::string got;
    EXPECT_TRUE(closes_silently(extra, got, 3000)) << got;
    EXPECT_LT(seconds_since(start), 3.0);
    ::close(extra);

    // A head that never ends is cut off 10 s after the accept, however it trickles.
    bool cut = false;
    while (seconds_since(start) < 15 && !cut) {
        std::this_thread::sleep_for(std::chrono::milliseconds(250));
        cut = !send_bytes(trickle, "X-Slow: 1\r\n");
        if (!cut) {
            std::string rest;
            // A closed connection reads as the end (or a reset) at once.
            cut = closes_silently(trickle, rest, 1);
        }
    }
    EXPECT_TRUE(cut);
    EXPECT_GE(seconds_since(start), 9.0);
    EXPECT_LT(seconds_since(start), 13.0);
    ::close(trickle);
    for (int fd : silent) {
        std::string rest;
        EXPECT_TRUE(closes_silently(fd, rest, 5000)) << rest;
        ::close(fd);
    }
    // The slots are back.
    Answer a;
    for (int i = 0; i < 100 && a.status != 200; ++i) {
        a = ask(port, tunnel_req("GET", "/", t.host()));
        if (a.status != 200) std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    EXPECT_EQ(a.status, 200);
}

// Minutes long: run with QUELMAR_SLOW_TESTS=1.
TEST(TunnelLifecycleSlow, AnnounceLimitKillsAProgramThatNeverRegisters) {
    if (!slow_tests_wanted()) GTEST_SKIP() << "set QUELMAR_SLOW_TESTS=1 (takes about 65 s)";
    Tunnel_Options o;
    o.hold = true;
    Tunnel_Daemon t(o);
    ASSERT_TRUE(t.ok());
    ASSERT_TRUE(t.process().wait_stderr_contains(
        "quelmar: cloudflared announced no tunnel within 60s — stopping it\n", 70000));
    ASSERT_TRUE(t.process().wait_stderr_contains(
        "quelmar: cloudflared exited (signal 9) — new tunnel in 2s (new link)\n", 5000));
    auto end = Clock::now() + std::chrono::seconds(5);
    while (t.runs() < 2 && Clock::now() < end)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_EQ(t.runs(), 2);
    EXPECT_EQ(t.process().stdout_text().find("https://"), std::string::npos);
}

TEST(TunnelLifecycleSlow, FileServiceAndTabReceiveTimeOuts) {
    if (!slow_tests_wanted()) GTEST_SKIP() << "set QUELMAR_SLOW_TESTS=1 (takes about 3 min)";
    Tunnel_Daemon t;
    int port = t.tunnel_port();
    ASSERT_TRUE(t.wait_link());
    auto start = Clock::now();
    std::string head, buf;
    int tab = tunnel_tab(port, t.host(), t.token(), head, buf);
    ASSERT_GE(tab, 0) << head;
    struct timeval tv {
        200, 0
    };
    ::setsockopt(tab, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    int post = connect_tcp(port);
    ASSERT_GE(post, 0);
    ::setsockopt(post, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    ASSERT_TRUE(send_bytes(post, tunnel_req("POST", "/fs", t.host(),
                                            from_page(t.host()) + "X-Editor-Token: " + t.token() +
                                                "\r\nContent-Length: 100\r\n") +
                                     "0123456789"));
    // A body that stops coming: the connection ends without an answer after 60 s.
    std::string rest = read_until_close(post);
    double fs_s = seconds_since(start);
    EXPECT_EQ(rest, "");
    EXPECT_GE(fs_s, 59.0);
    EXPECT_LT(fs_s, 70.0);
    ::close(post);
    // A tab that sends nothing loses its session after 180 s (the Hello came first).
    ASSERT_TRUE(next_message_of_kind(tab, buf, 0));
    Server_Frame f;
    while (read_server_frame(tab, buf, f)) {
    }
    double tab_s = seconds_since(start);
    EXPECT_GE(tab_s, 179.0);
    EXPECT_LT(tab_s, 190.0);
    ::close(tab);
}
