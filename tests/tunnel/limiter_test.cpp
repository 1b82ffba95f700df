// The refusal limiter: thresholds, fixed windows, the peer cap and the log budget.
#include <gtest/gtest.h>

#include <string>

#include "daemon/tunnel/limiter.h"

namespace {

constexpr int64_t SEC = 1'000'000'000;

// Counts refusals the way the tunnel's admission does: peek first, then record.
struct Peer_Sim {
    Refusal_Limiter& lim;
    std::string peer;
    // True when the refusal would be answered 429.
    bool refuse(int64_t now) {
        bool limited = limiter_peek(lim, peer, now);
        limiter_fail(lim, peer, now);
        return limited;
    }
};

}  // namespace

TEST(Limiter, TwentyRefusalsAreAnsweredThenTheRestGet429) {
    Refusal_Limiter lim;
    Peer_Sim a{lim, "203.0.113.5"};
    for (int i = 0; i < 20; ++i) EXPECT_FALSE(a.refuse(i * SEC)) << "refusal " << i + 1;
    EXPECT_TRUE(a.refuse(20 * SEC));  // the 21st
    EXPECT_TRUE(a.refuse(59 * SEC));
    // Another peer is untouched by a's count.
    EXPECT_FALSE(limiter_peek(lim, "203.0.113.6", 30 * SEC));
}

TEST(Limiter, WindowIsFixedFromTheFirstRefusal) {
    Refusal_Limiter lim;
    Peer_Sim a{lim, "198.51.100.1"};
    int64_t t0 = 1000 * SEC;
    for (int i = 0; i < 20; ++i) a.refuse(t0 + i * SEC / 2);
    EXPECT_TRUE(limiter_peek(lim, a.peer, t0 + 60 * SEC - 1));
    // Exactly 60 s after the first: the window is over and the next refusal starts a new one.
    EXPECT_FALSE(limiter_peek(lim, a.peer, t0 + 60 * SEC));
    EXPECT_FALSE(a.refuse(t0 + 60 * SEC));
    for (int i = 1; i < 20; ++i) EXPECT_FALSE(a.refuse(t0 + 61 * SEC));
    EXPECT_TRUE(a.refuse(t0 + 61 * SEC));
}

TEST(Limiter, LogLineOncePerPeerWindowAtMostEightPerMinute) {
    Refusal_Limiter lim;
    int logged = 0;
    for (int p = 0; p < 9; ++p) {
        std::string peer = "10.0.0." + std::to_string(p);
        for (int i = 0; i < 25; ++i) logged += limiter_fail(lim, peer, p * SEC) ? 1 : 0;
    }
    EXPECT_EQ(logged, 8);
    for (int p = 0; p < 9; ++p)
        EXPECT_TRUE(limiter_peek(lim, "10.0.0." + std::to_string(p), 10 * SEC)) << p;
    // A minute after the log window began, a line may be written again.
    int later = 0;
    for (int i = 0; i < 20; ++i) later += limiter_fail(lim, "10.0.1.1", 61 * SEC) ? 1 : 0;
    EXPECT_EQ(later, 1);
}

TEST(Limiter, PeerCapLeavesNewPeersUnrecordedUntilWindowsEnd) {
    Refusal_Limiter lim;
    for (size_t p = 0; p < LIMITER_MAX_PEERS; ++p) limiter_fail(lim, "peer" + std::to_string(p), 0);
    Peer_Sim late{lim, "2001:db8::1"};
    for (int i = 0; i < 30; ++i) EXPECT_FALSE(late.refuse(SEC)) << i;
    EXPECT_EQ(lim.peers.size(), LIMITER_MAX_PEERS);
    // Once the old windows are over, the purge makes room.
    limiter_fail(lim, late.peer, 60 * SEC);
    EXPECT_EQ(lim.peers.size(), 1u);
    for (int i = 1; i < 20; ++i) EXPECT_FALSE(late.refuse(61 * SEC));
    EXPECT_TRUE(late.refuse(61 * SEC));
}

TEST(Limiter, LogTextNamesThePeerQuoted) {
    EXPECT_EQ(limiter_log_text("1.2.3.4"),
              "tunnel: 20 refused requests from \"1.2.3.4\" in 60s — answering its refused ones "
              "429 for the rest of that time");
}
