// Programs that do not go quietly: one that ignores SIGTERM and keeps its output pipe open,
// and one whose background child, out of the reach of Kill, holds the pipe after the
// program itself is gone.
#include <gtest/gtest.h>
#include <signal.h>

#include <cerrno>
#include <string>

#include "core/base/bytes.h"
#include "core/base/clock.h"
#include "fault_support.h"
#include "tests/support/tab.h"

namespace {

// Ignores SIGTERM, says so, then keeps its stdout open for as long as it lives.
constexpr const char* STUBBORN = "trap '' TERM; echo ready; while :; do sleep 1; done";

using Stubborn = Daemon_Counts_Test;

int32_t _status_of(const Tab_Msg& exit) {
    return static_cast<int32_t>(get_u32le(exit.payload));
}

}  // namespace

TEST_F(Stubborn, KillEndsAProgramThatIgnoresSigterm) {
    Tab tab(d.port(), d.token());
    ASSERT_TRUE(tab.ok());
    ASSERT_TRUE(tab.send(Msg_Kind::Spawn, 1, sh_spawn(STUBBORN)));
    std::optional<Tab_Msg> m;
    ASSERT_TRUE((m = tab.next_of(Msg_Kind::Stdout, 1)));
    int64_t t0 = mono_ns();
    ASSERT_TRUE(tab.send(Msg_Kind::Kill, 1, ""));
    ASSERT_TRUE((m = tab.next_of(Msg_Kind::Exit, 1)));
    EXPECT_EQ(_status_of(*m), 9);
    std::printf("[ stubborn] Exit %lld ms after Kill\n",
                static_cast<long long>((mono_ns() - t0) / NS_PER_MS));
    tab.close();
    expect_let_go();
}

TEST_F(Stubborn, ATabThatVanishesTakesTheProgramWithIt) {
    for (uint32_t id = 1; id <= 3; ++id) {
        Tab tab(d.port(), d.token());
        ASSERT_TRUE(tab.ok());
        ASSERT_TRUE(tab.send(Msg_Kind::Spawn, id, sh_spawn(STUBBORN)));
        std::optional<Tab_Msg> m;
        ASSERT_TRUE((m = tab.next_of(Msg_Kind::Stdout, id)));
    }
    expect_let_go();
    EXPECT_TRUE(serves_a_tab(d.port(), d.token()));
}

// A background child that inherited the pipe and left the program's process group (Kill
// reaches the group only) holds back the Exit until it lets the pipe go; the daemon keeps
// that channel's threads until then, and not a moment longer.
TEST_F(Stubborn, ABackgroundChildHoldsTheExitUntilItClosesThePipe) {
    constexpr int64_t HOLD_MS = 1500;
    Tab tab(d.port(), d.token());
    ASSERT_TRUE(tab.ok());
    ASSERT_TRUE(tab.send(Msg_Kind::Spawn, 5,
                         sh_spawn("setsid sh -c 'echo ready; exec sleep 1.5' & exec sleep 100")));
    std::optional<Tab_Msg> m;
    ASSERT_TRUE((m = tab.next_of(Msg_Kind::Stdout, 5)));
    int64_t t0 = mono_ns();
    ASSERT_TRUE(tab.send(Msg_Kind::Kill, 5, ""));
    ASSERT_TRUE((m = tab.next_of(Msg_Kind::Exit, 5)));
    int64_t waited_ms = (mono_ns() - t0) / NS_PER_MS;
    EXPECT_EQ(_status_of(*m), 9);
    EXPECT_GE(waited_ms, HOLD_MS / 2);
    std::printf("[ stubborn] Exit %lld ms after Kill (background child held the pipe)\n",
                static_cast<long long>(waited_ms));
    tab.close();
    expect_let_go();
}
