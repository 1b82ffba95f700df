// Reading cloudflared's output: the quick host, registration and publication, log levels,
// the echo rate limit and overlong lines.
#include <gtest/gtest.h>

#include <regex>

#include "daemon/tunnel/internal.h"
#include "tunnel_test_util.h"

using namespace tunnel_internal;

namespace {

constexpr int64_t SEC = 1'000'000'000;
constexpr const char* BOX =
    "2024-01-10T12:00:00Z INF |  https://calm-river-1a.trycloudflare.com                 |";
constexpr const char* REG =
    "2024-01-10T12:00:02Z INF Registered tunnel connection connIndex=0 location=ams01";

struct Lines : ::testing::Test {
    Cfg_Guard cfg;
    Tunnel_State_Guard state;
    Captured_Out cap;
    Tunnel_Out out = cap.out();
    Tunnel_Run run;
    void feed(std::string_view bytes, int64_t now = SEC) { _feed(run, bytes, now, out); }
    void line(std::string_view l, int64_t now = SEC) { feed(std::string(l) + "\n", now); }
};

}  // namespace

TEST_F(Lines, QuickBoxThenRegistrationPublishesOnce) {
    line(BOX);
    EXPECT_EQ(run.host, "calm-river-1a.trycloudflare.com");
    EXPECT_FALSE(run.published);
    line(REG, 5 * SEC);
    line(REG, 6 * SEC);
    ASSERT_TRUE(run.published);
    EXPECT_EQ(run.published_at, 5 * SEC);
    std::string links = cap.links();
    EXPECT_TRUE(std::regex_match(
        links, std::regex("https://calm-river-1a\\.trycloudflare\\.com/#t=[0-9a-f]{64}\n")))
        << links;
    {
        std::lock_guard lock(g_tunnel.mu);
        EXPECT_EQ(g_tunnel.host, "calm-river-1a.trycloudflare.com");
        EXPECT_EQ(links, tunnel_link(g_tunnel.host, g_tunnel.token) + "\n");
        EXPECT_TRUE(g_tunnel.idle_clock);
        EXPECT_EQ(g_tunnel.last_use, 5 * SEC);
    }
    EXPECT_EQ(cap.logs(), (std::vector<std::string>{
                              "tunnel up: https://calm-river-1a.trycloudflare.com — open the link "
                              "just printed on stdout, in any browser (a new quick tunnel can take "
                              "a minute to become reachable)"}));
}

TEST_F(Lines, RegistrationBeforeTheBoxGivesTheSameLink) {
    line(REG);
    EXPECT_FALSE(run.published);
    line("|  https://calm-river-1a.trycloudflare.com |");
    EXPECT_TRUE(run.published);
    // A fresh token at every quick publication, and the idle clock starts only once.
    std::string first = cap.links();
    EXPECT_EQ(std::count(first.begin(), first.end(), '\n'), 1);
    Tunnel_Run again;
    _feed(again, std::string(BOX) + "\n" + REG + "\n", 9 * SEC, out);
    EXPECT_NE(cap.links().substr(first.size()), first);
    std::lock_guard lock(g_tunnel.mu);
    EXPECT_EQ(g_tunnel.last_use, SEC);
}

TEST_F(Lines, UnacceptableHostsAreRefusedWithOneWarningPerRun) {
    const char* bad[] = {
        "|  https://api.trycloudflare.com  |",
        "|  https://-abc.trycloudflare.com  |",
        "|  https://abc-.trycloudflare.com  |",
        "|  https://a--b.trycloudflare.com  |",
        "|  https://Calm.trycloudflare.com  |",
        "|  https://calm.example.com  |",
        "|  https://a.b.trycloudflare.com  |",
        "|  https://calm.trycloudflare.com:443  |",
        "|https://calm.trycloudflare.com  |",
        "|  https://calm.trycloudflare.com|",
        "|  https://.trycloudflare.com  |",
        "|  https://"
        "aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa"
        ".trycloudflare.com |",
    };
    for (const char* l : bad) {
        EXPECT_EQ(quick_host_of(l), "") << l;
        line(l);
    }
    line(REG);
    EXPECT_TRUE(run.host.empty());
    EXPECT_FALSE(run.published);
    EXPECT_EQ(cap.links(), "");
    EXPECT_EQ(cap.count_containing("not a <label>.trycloudflare.com address — not using it"), 1);
    EXPECT_EQ(cap.logs()[0],
              "cloudflared announced \"|  https://api.trycloudflare.com  |\", not a "
              "<label>.trycloudflare.com address — not using it");
    // A 63-byte label is still a label; a line with a good and a bad box takes the good one.
    EXPECT_EQ(quick_host_of("| https://" + std::string(63, 'a') + ".trycloudflare.com |"),
              std::string(63, 'a') + ".trycloudflare.com");
    EXPECT_EQ(quick_host_of("| https://api.trycloudflare.com | https://ok.trycloudflare.com |"),
              "ok.trycloudflare.com");
}

TEST_F(Lines, NoLinkFromAProgramThatIsGone) {
    run.killed = true;  // past the announce limit
    line(BOX);
    line(REG);
    Tunnel_Run exited;
    exited.exited = true;  // output read after the exit
    _feed(exited, std::string(BOX) + "\n" + REG + "\n", SEC, out);
    EXPECT_FALSE(run.published);
    EXPECT_FALSE(exited.published);
    EXPECT_EQ(cap.links(), "");
    std::lock_guard lock(g_tunnel.mu);
    EXPECT_EQ(g_tunnel.host, "");
}

TEST_F(Lines, NamedTunnelPublishesItsOwnHostAndToken) {
    g_tunnel.named_token = std::string(64, 'b');
    run.quick = false;
    run.host = "code.example.org";
    line(BOX);  // no quick-host recognition for a named tunnel
    EXPECT_EQ(run.host, "code.example.org");
    line(REG);
    EXPECT_EQ(cap.links(), "https://code.example.org/#t=" + std::string(64, 'b') + "\n");
    EXPECT_EQ(cap.logs().back(),
              "tunnel up: https://code.example.org — open the link just printed on stdout, in any "
              "browser");
}

TEST_F(Lines, LevelsDecideWhatIsEchoed) {
    EXPECT_EQ(log_level_of("2024-01-10T12:00:00Z INF x"), "INF");
    EXPECT_EQ(log_level_of("2024-01-10T12:00:00Z WRN"), "WRN");
    EXPECT_EQ(log_level_of("2024-01-10T12:00:00Z INFO x"), "");
    EXPECT_EQ(log_level_of("2024-01-10 12:00:00Z INF x"), "");  // first space too early
    EXPECT_EQ(log_level_of("2024-01-10X12:00:00Z INF x"), "");  // no T before the space
    EXPECT_EQ(log_level_of("2024-01-10T12:00:00Z inf x"), "");

    line("2024-01-10T12:00:00Z INF Starting tunnel");
    line("2024-01-10T12:00:00Z DBG detail");
    line("2024-01-10T12:00:00Z TRC detail");
    line("2024-01-10T12:00:00Z WRN Your version is outdated");
    line("2024-01-10T12:00:00Z ERR failed to dial\r\r");
    line("2024-01-10T12:00:00Z INF Configuration file /dev/null was empty");
    line("2024-01-10T12:00:00Z WRN Configuration file /dev/null was empty");
    line("   \t ");
    line("");
    line("plain text without a time stamp");
    line("2024-01-10 INF short stamp");
    EXPECT_EQ(cap.logs(), (std::vector<std::string>{
                              "cloudflared: \"2024-01-10T12:00:00Z WRN Your version is outdated\"",
                              "cloudflared: \"2024-01-10T12:00:00Z ERR failed to dial\"",
                              "cloudflared: \"plain text without a time stamp\"",
                              "cloudflared: \"2024-01-10 INF short stamp\""}));
}

TEST_F(Lines, EchoRateLimitCountsWhatItHoldsBack) {
    for (int i = 0; i < 25; ++i) line("noise " + std::to_string(i), SEC + i);
    std::vector<std::string> logs = cap.logs();
    ASSERT_EQ(logs.size(), 21u);
    EXPECT_EQ(logs[19], "cloudflared: \"noise 19\"");
    EXPECT_EQ(logs[20],
              "cloudflared: more than 20 lines in 60s — not repeating them until that time is up");
    EXPECT_EQ(run.suppressed, 5);
    line("still in the window", 60 * SEC);
    EXPECT_EQ(run.suppressed, 6);
    // The next window first reports what was held back.
    line("next window", 61 * SEC);
    logs = cap.logs();
    ASSERT_EQ(logs.size(), 23u);
    EXPECT_EQ(logs[21], "cloudflared: (6 of its lines not shown)");
    EXPECT_EQ(logs[22], "cloudflared: \"next window\"");
    EXPECT_EQ(run.suppressed, 0);
}

TEST_F(Lines, OverlongLinesAreCutAndQuotedShort) {
    feed(std::string(100'000, 'x'));
    EXPECT_EQ(run.line.size(), 100'000u - TUNNEL_LINE_LIMIT);
    std::vector<std::string> logs = cap.logs();
    ASSERT_EQ(logs.size(), 1u);
    EXPECT_EQ(logs[0], "cloudflared: \"" + std::string(1024, 'x') + "\"");
    feed("\n");
    EXPECT_TRUE(run.line.empty());
    EXPECT_EQ(cap.logs().size(), 2u);
    // Exactly the limit stays one line.
    feed(std::string(TUNNEL_LINE_LIMIT, 'y') + "\n");
    EXPECT_EQ(cap.logs().size(), 3u);
    EXPECT_TRUE(run.line.empty());
}

TEST_F(Lines, SplitAnywhereGivesTheSameLines) {
    std::string text = std::string(BOX) + "\r\n" + REG + "\nWRN-ish tail\n";
    for (size_t cut = 0; cut <= text.size(); ++cut) {
        reset_tunnel_state();
        Captured_Out c;
        Tunnel_Out o = c.out();
        Tunnel_Run r;
        _feed(r, std::string_view(text).substr(0, cut), SEC, o);
        _feed(r, std::string_view(text).substr(cut), SEC, o);
        ASSERT_TRUE(r.published) << cut;
        ASSERT_EQ(c.logs().size(), 2u) << cut;
        EXPECT_EQ(c.logs()[1], "cloudflared: \"WRN-ish tail\"") << cut;
    }
}
