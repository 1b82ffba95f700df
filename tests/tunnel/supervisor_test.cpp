// The supervisor with a fake cloudflared: publication, idle close, restarts with their
// delays, the announce limit, a program that ignores SIGTERM, and start failures.
#include <gtest/gtest.h>

#include <atomic>
#include <regex>
#include <thread>

#include "core/base/clock.h"
#include "daemon/tunnel/cloudflared.h"
#include "daemon/tunnel/internal.h"
#include "tunnel_test_util.h"

using namespace tunnel_internal;

namespace {

constexpr int64_t MS = 1'000'000;
constexpr int64_t SEC = 1'000'000'000;

// Short times; only the tests use them.
constexpr Tunnel_Timing FAST = {100 * MS, 400 * MS, 60 * SEC, 3 * SEC, 300 * MS, 50 * MS, 20 * MS};

constexpr const char* BOX_AND_REGISTER =
    "echo '2024-01-10T12:00:00Z INF Requesting new quick Tunnel on trycloudflare.com...'\n"
    "echo '2024-01-10T12:00:01Z INF +-----------------------------------------------+'\n"
    "echo '2024-01-10T12:00:01Z INF |  https://calm-river-1a.trycloudflare.com      |'\n"
    "echo '2024-01-10T12:00:02Z WRN something worth showing'\n"
    "echo '2024-01-10T12:00:03Z INF Registered tunnel connection connIndex=0'\n";

struct Supervisor : ::testing::Test {
    Cfg_Guard cfg;
    Tunnel_State_Guard state;
    Captured_Out cap;
    void SetUp() override {
        g_cfg.tunnel = Tunnel_Mode::Quick;
        g_cfg.tunnel_port = 45678;
        g_cfg.tunnel_idle = 0;
    }
    // Runs the supervisor loop on a thread and waits, bounded, for it to end.
    bool supervise(const Tunnel_Timing& timing, int64_t limit_ns) {
        std::atomic<bool> done{false};
        Tunnel_Out out = cap.out();
        std::thread t([&] {
            _tunnel_supervise(timing, out);
            done = true;
        });
        int64_t end = mono_ns() + limit_ns;
        while (!done && mono_ns() < end) sleep_ns(10 * MS);
        if (!done) {
            // Never leave the thread or a program behind: end the program, then abort.
            pid_t pid = g_child_pid.load();
            if (pid > 0) ::kill(pid, SIGKILL);
            ADD_FAILURE() << "the supervisor did not end";
            std::abort();
        }
        t.join();
        return true;
    }
};

std::vector<std::string> lines_of(const std::string& text) {
    std::vector<std::string> out;
    size_t at = 0;
    for (size_t nl; (nl = text.find('\n', at)) != std::string::npos; at = nl + 1)
        out.push_back(text.substr(at, nl - at));
    return out;
}

}  // namespace

TEST_F(Supervisor, QuickTunnelPublishesThenClosesWhenIdle) {
    Fake_Cloudflared fake(std::string(FAKE_RECORD) + "\n" + BOX_AND_REGISTER + "exec sleep 30");
    g_cfg.cloudflared = fake.path();
    g_cfg.tunnel_idle = 400 * MS;
    Env_Guard secret("TUNNEL_TOKEN", "must-not-pass");
    Env_Guard editor("EDITOR", "vi");
    Env_Guard proxy("HTTPS_PROXY", "http://proxy:3128");

    supervise(FAST, 20 * SEC);

    std::string links = cap.links();
    EXPECT_TRUE(std::regex_match(
        links, std::regex("https://calm-river-1a\\.trycloudflare\\.com/#t=[0-9a-f]{64}\n")))
        << links;
    std::vector<std::string> logs = cap.logs();
    ASSERT_EQ(logs.size(), 3u);
    EXPECT_EQ(logs[0], "cloudflared: \"2024-01-10T12:00:02Z WRN something worth showing\"");
    EXPECT_TRUE(logs[1].starts_with("tunnel up: https://calm-river-1a.trycloudflare.com — "));
    EXPECT_EQ(logs[2],
              "no tab on the tunnel for 0s — closed it; the local link still works (restart "
              "quelmar for a new tunnel link)");

    EXPECT_EQ(lines_of(read_file(fake.file("argv"))), cloudflared_argv());
    std::string env = read_file(fake.file("env"));
    EXPECT_NE(env.find("HTTPS_PROXY=http://proxy:3128\n"), std::string::npos);
    EXPECT_EQ(env.find("TUNNEL_TOKEN"), std::string::npos);
    EXPECT_EQ(env.find("EDITOR="), std::string::npos);

    EXPECT_TRUE(process_gone(fake.recorded_pid()));
    EXPECT_EQ(g_child_pid.load(), 0);
    std::lock_guard lock(g_tunnel.mu);
    EXPECT_EQ(g_tunnel.host, "");
    EXPECT_EQ(g_tunnel.token, "");
}

TEST_F(Supervisor, NamedTunnelReconnectsWithGrowingDelaysAndTheSameLink) {
    // Fails twice at once, then comes up.
    Fake_Cloudflared fake(
        "n=$(cat \"$DIR/runs\" 2>/dev/null || echo 0); n=$((n+1)); echo $n > \"$DIR/runs\"\n"
        "if [ $n -le 2 ]; then echo \"ERR run $n failed\"; exit 1; fi\n"
        "echo $$ > \"$DIR/pid\"\n"
        "echo '2024-01-10T12:00:03Z INF Registered tunnel connection connIndex=0'\n"
        "exec sleep 30");
    g_cfg.cloudflared = fake.path();
    g_cfg.tunnel = Tunnel_Mode::Named;
    g_cfg.tunnel_host = "code.example.org";
    g_cfg.tunnel_creds = "/dev/null";
    g_cfg.tunnel_id = "0a1b2c3d-4e5f-6a7b-8c9d-0e1f2a3b4c5d";
    g_cfg.tunnel_idle = 300 * MS;
    g_tunnel.named_token = std::string(64, 'c');
    Tunnel_Timing timing = FAST;
    timing.first_delay = SEC;
    timing.delay_cap = 2 * SEC;

    supervise(timing, 30 * SEC);

    EXPECT_EQ(cap.links(), "https://code.example.org/#t=" + std::string(64, 'c') + "\n");
    EXPECT_EQ(cap.logs(),
              (std::vector<std::string>{
                  "cloudflared: \"ERR run 1 failed\"",
                  "cloudflared exited (status 1) — reconnecting in 1s (same link)",
                  "cloudflared: \"ERR run 2 failed\"",
                  "cloudflared exited (status 1) — reconnecting in 2s (same link)",
                  "tunnel up: https://code.example.org — open the link just printed on stdout, "
                  "in any browser",
                  "no tab on the tunnel for 0s — closed it; the local link still works (restart "
                  "quelmar for a new tunnel link)"}));
    EXPECT_TRUE(process_gone(fake.recorded_pid()));
}

TEST(SupervisorDelays, DoubleUpToTheCapAndResetAfterAStableRun) {
    Run_Result failed;
    std::vector<int64_t> waits;
    int64_t delay = TUNNEL_TIMING.first_delay;
    for (int i = 0; i < 11; ++i) {
        int64_t wait = _restart_wait(failed, delay, TUNNEL_TIMING);
        waits.push_back(wait / 1'000'000'000);
        delay = _next_delay(wait, TUNNEL_TIMING);
    }
    EXPECT_EQ(waits, (std::vector<int64_t>{2, 4, 8, 16, 32, 64, 128, 256, 300, 300, 300}));
    Run_Result stable;
    stable.published = true;
    stable.up_ns = 60 * SEC;
    EXPECT_EQ(_restart_wait(stable, 300 * SEC, TUNNEL_TIMING), 2 * SEC);
    stable.up_ns = 60 * SEC - 1;
    EXPECT_EQ(_restart_wait(stable, 300 * SEC, TUNNEL_TIMING), 300 * SEC);
}

TEST(SupervisorDelays, ExitDescriptions) {
    EXPECT_EQ(_exit_description(1 << 8), "status 1");
    EXPECT_EQ(_exit_description(0), "status 0");
    EXPECT_EQ(_exit_description(SIGKILL), "signal 9");
    EXPECT_EQ(_exit_description(0x7f | (SIGSTOP << 8)), "status unknown");
}

TEST_F(Supervisor, SilentProgramIsKilledAtTheAnnounceLimit) {
    Fake_Cloudflared fake(
        "echo $$ > \"$DIR/pid\"\n"
        "echo '|  https://api.trycloudflare.com  |'\n"
        "echo '|  https://Bad.trycloudflare.com  |'\n"
        "echo '2024-01-10T12:00:03Z INF Registered tunnel connection connIndex=0'\n"
        "exec sleep 30");
    g_cfg.cloudflared = fake.path();
    Tunnel_Timing timing = FAST;
    timing.announce_limit = 500 * MS;
    int64_t t0 = mono_ns();
    Run_Result r = _tunnel_run(timing, cap.out());
    EXPECT_GE(mono_ns() - t0, 500 * MS);
    EXPECT_EQ(r.exit, "signal 9");
    EXPECT_FALSE(r.published);
    EXPECT_EQ(cap.links(), "");
    EXPECT_EQ(cap.count_containing("not a <label>.trycloudflare.com address"), 1);
    EXPECT_EQ(cap.count_containing("cloudflared announced no tunnel within 0s — stopping it"), 1);
    EXPECT_TRUE(process_gone(fake.recorded_pid()));
    EXPECT_EQ(g_child_pid.load(), 0);
}

TEST_F(Supervisor, IdleCloseKillsAProgramThatIgnoresSigterm) {
    Fake_Cloudflared fake(std::string("trap '' TERM\necho $$ > \"$DIR/pid\"\n") + BOX_AND_REGISTER +
                          "exec sleep 30");
    g_cfg.cloudflared = fake.path();
    g_cfg.tunnel_idle = 200 * MS;
    Run_Result r = _tunnel_run(FAST, cap.out());
    EXPECT_TRUE(r.idle_stop);
    EXPECT_TRUE(r.published);
    EXPECT_EQ(r.exit, "signal 9");
    EXPECT_GE(r.up_ns, 500 * MS);  // idle time, then the grace before SIGKILL
    EXPECT_TRUE(process_gone(fake.recorded_pid()));
}

TEST_F(Supervisor, OpenTabKeepsTheTunnelUp) {
    Fake_Cloudflared fake(std::string("echo $$ > \"$DIR/pid\"\n") + BOX_AND_REGISTER +
                          "sleep 1\nexit 4");
    g_cfg.cloudflared = fake.path();
    g_cfg.tunnel_idle = 100 * MS;
    {
        std::lock_guard lock(g_tunnel.mu);
        g_tunnel.tabs = 1;
    }
    Run_Result r = _tunnel_run(FAST, cap.out());
    EXPECT_FALSE(r.idle_stop);
    EXPECT_EQ(r.exit, "status 4");
    EXPECT_TRUE(process_dead(fake.recorded_pid()));
}

TEST_F(Supervisor, LastWordsAndHeldBackLinesAreReportedAtTheEnd) {
    Fake_Cloudflared fake(
        "i=0; while [ $i -lt 23 ]; do echo \"line $i\"; i=$((i+1)); done\n"
        "printf 'no newline at the end'; exit 2");
    g_cfg.cloudflared = fake.path();
    Run_Result r = _tunnel_run(FAST, cap.out());
    EXPECT_EQ(r.exit, "status 2");
    std::vector<std::string> logs = cap.logs();
    ASSERT_EQ(logs.size(), 22u);
    EXPECT_EQ(logs[19], "cloudflared: \"line 19\"");
    EXPECT_TRUE(logs[20].starts_with("cloudflared: more than 20 lines in 60s"));
    EXPECT_EQ(logs[21], "cloudflared: (4 of its lines not shown)");
}

TEST_F(Supervisor, ProgramThatCannotStartIsRetried) {
    Temp_Dir dir;
    g_cfg.cloudflared = dir.file("missing-cloudflared");
    Run_Result r = _tunnel_run(FAST, cap.out());
    EXPECT_EQ(r.start_error,
              "cannot run " + dir.file("missing-cloudflared") + ": No such file or directory");
    EXPECT_EQ(g_child_pid.load(), 0);
}
