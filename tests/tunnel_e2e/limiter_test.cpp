// The refusal limiter through the tunnel: per client address, guessing is answered 429
// after 20 counted refusals, and a flood from many addresses keeps its records bounded.
#include <gtest/gtest.h>

#include <fstream>

#include "tests/support/tab.h"
#include "tunnel_daemon.h"

namespace {

struct TunnelLimiter : ::testing::Test {
    Tunnel_Daemon t;
    int port = 0;
    void SetUp() override {
        port = t.tunnel_port();
        ASSERT_GT(port, 0);
        ASSERT_TRUE(t.wait_link());
    }
    Answer wrong_token(const std::string& ip) {
        return ask(port, tunnel_req("POST", "/fs", t.host(),
                                    from_page(t.host(), ip) +
                                        "X-Editor-Token: guess\r\nContent-Length: 0\r\n"));
    }
    Answer right_token(const std::string& ip) {
        std::string body = fs_request("stat", t.daemon().root());
        return ask(port,
                   tunnel_req("POST", "/fs", t.host(),
                              from_page(t.host(), ip) + "X-Editor-Token: " + t.token() +
                                  "\r\nContent-Length: " + std::to_string(body.size()) + "\r\n") +
                       body);
    }
    long rss_kib() {
        std::ifstream f("/proc/" + std::to_string(t.process().pid()) + "/status");
        std::string line;
        while (std::getline(f, line))
            if (line.rfind("VmRSS:", 0) == 0) return std::atol(line.c_str() + 6);
        return -1;
    }
};

int count_of(const std::string& text, const std::string& what) {
    int n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
    return n;
}

}  // namespace

TEST_F(TunnelLimiter, TwentyFirstWrongTokenIsAnswered429ForThatAddressOnly) {
    const std::string a = "198.51.100.4", b = "2001:db8::4";
    for (int i = 1; i <= 20; ++i) {
        Answer r = wrong_token(a);
        ASSERT_EQ(r.status, 403) << "refusal " << i;
        ASSERT_EQ(r.body, "bad token");
    }
    Answer limited = wrong_token(a);
    EXPECT_EQ(limited.status, 429);
    EXPECT_EQ(limited.body, "too many attempts");
    // Every counted refusal is turned into 429, whatever its own reason.
    Answer in_url = ask(port, tunnel_req("GET", "/ws?t=x", t.host(), from_page(t.host(), a)));
    EXPECT_EQ(in_url.status, 429);
    // Refusals that guessing does not cause are answered as always.
    EXPECT_EQ(ask(port, tunnel_req("GET", "/", "other.example", from_page(t.host(), a))).body,
              "bad host");
    EXPECT_EQ(ask(port, tunnel_req("GET", "/nope", t.host(), from_page(t.host(), a))).status, 404);
    // Another address is not affected, and the right token is still served.
    EXPECT_EQ(wrong_token(b).body, "bad token");
    EXPECT_EQ(right_token(a).status, 200);

    std::string line = "quelmar: tunnel: 20 refused requests from \"" + a +
                       "\" in 60s — answering its refused ones 429 for the rest of that time\n";
    ASSERT_TRUE(t.process().wait_stderr_contains(line));
    EXPECT_EQ(count_of(t.process().stderr_text(), "refused requests from"), 1);
}

TEST_F(TunnelLimiter, FloodFromManyAddressesStaysBoundedAndTheTokenStillWorks) {
    constexpr int ADDRESSES = 2000;
    auto ip_of = [](int i) {
        return "10." + std::to_string(i / 65536) + "." + std::to_string(i / 256 % 256) + "." +
               std::to_string(i % 256);
    };
    ASSERT_EQ(right_token("192.0.2.99").status, 200);  // warms up the file service
    long before = rss_kib();
    for (int i = 0; i < ADDRESSES; ++i) {
        Answer r = wrong_token(ip_of(i));
        ASSERT_EQ(r.body, "bad token") << i;
    }
    ASSERT_GT(before, 0);
#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
    long after = rss_kib();
    // Every refusal leaves at most a small record, and at most 1024 of them. (Sanitizer
    // builds hold freed memory back on purpose, so there the growth says nothing.)
    EXPECT_LT(after - before, 16 * 1024) << before << " KiB before, " << after << " KiB after";
#endif

    // Addresses beyond the 1024 records are not recorded, so they are never limited...
    for (int i = 1; i <= 25; ++i) ASSERT_EQ(wrong_token(ip_of(1500)).body, "bad token") << i;
    // ...while a recorded one is, once it has its 20.
    for (int i = 2; i <= 20; ++i) ASSERT_EQ(wrong_token(ip_of(5)).body, "bad token") << i;
    EXPECT_EQ(wrong_token(ip_of(5)).status, 429);
    EXPECT_EQ(right_token(ip_of(5)).status, 200);
    EXPECT_EQ(right_token(ip_of(1500)).status, 200);
}
