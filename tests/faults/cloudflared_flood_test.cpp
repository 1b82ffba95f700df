// A cloudflared that floods its output, read by the tunnel supervisor in this process (the
// daemon in this tree refuses --tunnel at start-up): the reader keeps up, its memory stays
// bounded, the echo stays under its rate limit, and a link announced in the middle of the
// flood is still published, once.
#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <string>

#include "core/base/clock.h"
#include "daemon/tunnel/internal.h"
#include "tests/tunnel/tunnel_test_util.h"

using namespace tunnel_internal;

namespace {

constexpr int64_t MS = 1'000'000;
constexpr int64_t SEC = 1'000'000'000;
// The program ends on its own; the announce limit must not cut the flood short.
constexpr Tunnel_Timing FLOOD_TIMING = {100 * MS, 400 * MS, 60 * SEC, 120 * SEC,
                                        300 * MS, 50 * MS,  20 * MS};
constexpr long GROWTH_LIMIT_KIB = 64 * 1024;

// 2,000,000 echoable lines (80 MB), the announcement, 32 MB without any newline, more lines.
constexpr const char* FLOOD =
    "yes '2024-01-10T12:00:02Z WRN flood line, flood line, flood' | head -n 2000000\n"
    "echo '2024-01-10T12:00:01Z INF |  https://calm-river-1a.trycloudflare.com      |'\n"
    "echo '2024-01-10T12:00:03Z INF Registered tunnel connection connIndex=0'\n"
    "head -c 33554432 /dev/zero | tr '\\0' 'x'\n"
    "yes '2024-01-10T12:00:04Z ERR after the announcement' | head -n 200000\n"
    "exit 1";

long _peak_rss_kib() {
    std::ifstream f("/proc/self/status");
    std::string line;
    while (std::getline(f, line))
        if (line.rfind("VmHWM:", 0) == 0) return std::atol(line.c_str() + 6);
    return 0;
}

}  // namespace

TEST(CloudflaredFlood, OutputIsReadBoundedAndEchoedUnderTheLimit) {
    Cfg_Guard cfg;
    Tunnel_State_Guard state;
    Captured_Out cap;
    g_cfg.tunnel = Tunnel_Mode::Quick;
    g_cfg.tunnel_port = 45678;
    g_cfg.tunnel_idle = 0;
    Fake_Cloudflared fake(FLOOD);
    g_cfg.cloudflared = fake.path();

    long peak_before = _peak_rss_kib();
    int64_t t0 = mono_ns();
    Run_Result r = _tunnel_run(FLOOD_TIMING, cap.out());
    int64_t took_ms = (mono_ns() - t0) / MS;
    long growth = _peak_rss_kib() - peak_before;
    std::printf(
        "[ flood   ] about 156 MB read in %lld ms; peak memory grew by %ld KiB; %zu log "
        "lines\n",
        static_cast<long long>(took_ms), growth, cap.logs().size());

    EXPECT_EQ(r.start_error, "");
    EXPECT_EQ(r.exit, "status 1");
    EXPECT_TRUE(r.published);
    std::string links = cap.links();
    EXPECT_EQ(links.find("https://calm-river-1a.trycloudflare.com/#t="), 0u);
    EXPECT_EQ(std::count(links.begin(), links.end(), '\n'), 1);
    EXPECT_LT(growth, GROWTH_LIMIT_KIB);
    // The echo: at most its limit of lines and the notice per window, plus the few lines the
    // supervisor writes itself (publication, end of the run, held-back count). A slow build
    // (a sanitizer's) can take longer than one window to read it all.
    int windows = static_cast<int>(took_ms * MS / ECHO_WINDOW_NS) + 1;
    int echoed = cap.count_containing("cloudflared: \"");
    EXPECT_GE(echoed, 1);
    EXPECT_LE(echoed, ECHO_LIMIT * windows);
    EXPECT_LE(cap.logs().size(), static_cast<size_t>((ECHO_LIMIT + 8) * windows));
    // Every line was read: 2,200,000 flood lines and 512 pieces of 64 KiB cut from the
    // long one, less the echoed ones, are counted as held back.
    long held_back = 0;
    int reports = 0;
    const std::string mark = "cloudflared: (";
    for (const std::string& l : cap.logs()) {
        if (l.rfind(mark, 0) != 0 || l.find(" of its lines not shown)") == std::string::npos)
            continue;
        held_back += std::atol(l.c_str() + mark.size());
        ++reports;
    }
    EXPECT_EQ(held_back, 2'200'512 - echoed);
    EXPECT_GE(reports, 1);
    EXPECT_LE(reports, windows);
    EXPECT_EQ(g_child_pid.load(), 0);
}
