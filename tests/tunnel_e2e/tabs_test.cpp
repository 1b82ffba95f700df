// Tabs through the tunnel and the first-use records: who used the link is told in the log
// and in every open tab, once per address and link; at most 8 tunnel tabs at once.
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include "tests/support/net.h"
#include "tests/support/tab.h"
#include "tests/support/ws_peer.h"
#include "tunnel_daemon.h"

namespace {

constexpr uint8_t HELLO = 0, NOTICE = 16;

struct TunnelTabs : ::testing::Test {
    Tunnel_Daemon t;
    int port = 0;
    void SetUp() override {
        port = t.tunnel_port();
        ASSERT_GT(port, 0);
        ASSERT_TRUE(t.wait_link());
    }
    Answer file_service(const std::string& ip_headers) {
        std::string body = fs_request("stat", t.daemon().root());
        return ask(port, tunnel_req("POST", "/fs", t.host(),
                                    "Origin: https://" + t.host() + "\r\n" + ip_headers +
                                        "X-Editor-Token: " + t.token() + "\r\nContent-Length: " +
                                        std::to_string(body.size()) + "\r\n") +
                             body);
    }
    Answer file_service_from(const std::string& ip, const std::string& country = "DE") {
        return file_service("cf-connecting-ip: " + ip + "\r\ncf-ipcountry: " + country + "\r\n");
    }
    // A tab on the local link, past its Hello.
    int local_tab(std::string& buf) {
        int fd = open_session(t.daemon().port(), t.daemon().token(), buf);
        if (fd >= 0 && !next_message_of_kind(fd, buf, HELLO)) {
            ::close(fd);
            return -1;
        }
        return fd;
    }
};

int count_of(const std::string& text, const std::string& what) {
    int n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
    return n;
}

}  // namespace

TEST_F(TunnelTabs, FirstUseOfTheLinkIsToldToEveryOpenTab) {
    std::string lbuf;
    int local = local_tab(lbuf);
    ASSERT_GE(local, 0);

    ASSERT_EQ(file_service_from("198.51.100.1").status, 200);
    EXPECT_EQ(next_message_of_kind(local, lbuf, NOTICE),
              "The tunnel link was used from 198.51.100.1 (DE). If that was not you, stop "
              "quelmar now.");
    ASSERT_TRUE(t.process().wait_stderr_contains(
        "quelmar: tunnel: first request with the link from \"198.51.100.1\" (DE)\n"));
    // The same address again: neither a line nor a notice (the next notice is about B).
    ASSERT_EQ(file_service_from("198.51.100.1").status, 200);

    std::string head, tbuf;
    int tab = tunnel_tab(port, t.host(), t.token(), head, tbuf, "198.51.100.2", "de");
    ASSERT_GE(tab, 0) << head;
    ASSERT_TRUE(next_message_of_kind(tab, tbuf, HELLO));
    EXPECT_EQ(next_message_of_kind(local, lbuf, NOTICE),
              "A tab connected through the tunnel from 198.51.100.2 (?\?). If that was not you, "
              "stop quelmar now.");
    ASSERT_TRUE(t.process().wait_stderr_contains(
        "quelmar: tunnel tab connected from \"198.51.100.2\" (?\?)\n"));
    // The tab's address is recorded: its file requests are not announced again.
    ASSERT_EQ(file_service_from("198.51.100.2").status, 200);

    // Static files record nothing; an address that is not one becomes "local".
    ASSERT_EQ(
        ask(port, tunnel_req("GET", "/", t.host(), "cf-connecting-ip: 198.51.100.3\r\n")).status,
        200);
    ASSERT_EQ(file_service_from(std::string(46, '1'), "DEU").status, 200);
    std::string notice =
        "The tunnel link was used from local (?\?). If that was not you, stop "
        "quelmar now.";
    EXPECT_EQ(next_message_of_kind(local, lbuf, NOTICE), notice);
    EXPECT_EQ(next_message_of_kind(tab, tbuf, NOTICE), notice);
    ASSERT_EQ(file_service_from("198.51.100.3").status, 200);
    EXPECT_EQ(next_message_of_kind(tab, tbuf, NOTICE),
              "The tunnel link was used from 198.51.100.3 (DE). If that was not you, stop "
              "quelmar now.");
    // A refused request records nothing either.
    ASSERT_EQ(ask(port, tunnel_req("POST", "/fs", t.host(),
                                   "Origin: https://" + t.host() +
                                       "\r\ncf-connecting-ip: 198.51.100.4\r\nX-Editor-Token: " +
                                       t.token() + "\r\n"))
                  .status,
              411);
    ASSERT_EQ(file_service("cf-connecting-ip: 198.51.100.4\r\n").status, 200);
    EXPECT_EQ(next_message_of_kind(tab, tbuf, NOTICE),
              "The tunnel link was used from 198.51.100.4 (?\?). If that was not you, stop "
              "quelmar now.");

    ::close(tab);
    ASSERT_TRUE(t.process().wait_stderr_contains(
        "quelmar: tunnel tab disconnected from \"198.51.100.2\" (?\?)\n"));
    std::string err = t.process().stderr_text();
    EXPECT_EQ(count_of(err, "first request with the link from \"198.51.100.1\""), 1);
    EXPECT_EQ(count_of(err, "first request with the link from \"198.51.100.2\""), 0);
    ::close(local);
}

TEST_F(TunnelTabs, AtMostEightTunnelTabsAtOnce) {
    std::vector<int> tabs;
    for (int i = 0; i < 8; ++i) {
        std::string head, buf;
        int fd = tunnel_tab(port, t.host(), t.token(), head, buf);
        ASSERT_GE(fd, 0) << "tab " << i << ": " << head;
        ASSERT_TRUE(next_message_of_kind(fd, buf, HELLO));
        tabs.push_back(fd);
    }
    std::string head, buf;
    EXPECT_EQ(tunnel_tab(port, t.host(), t.token(), head, buf), -1);
    Answer ninth = parse_answer(head);
    EXPECT_EQ(ninth.status, 503);
    EXPECT_EQ(ninth.body, "too many tabs");

    ::close(tabs.back());
    tabs.pop_back();
    // The slot comes back once the session has ended on the daemon's side.
    int fd = -1;
    for (int i = 0; i < 200 && fd < 0; ++i) {
        fd = tunnel_tab(port, t.host(), t.token(), head, buf);
        if (fd < 0) std::this_thread::sleep_for(std::chrono::milliseconds(25));
    }
    EXPECT_GE(fd, 0) << head;
    if (fd >= 0) tabs.push_back(fd);
    for (int s : tabs) ::close(s);
}

TEST_F(TunnelTabs, MoreThan1024AddressesAreToldOnceAndThenNoMore) {
    for (int i = 0; i < 1024; ++i)
        ASSERT_EQ(
            file_service_from("10.1." + std::to_string(i / 256) + "." + std::to_string(i % 256))
                .status,
            200)
            << i;
    // Opened now, so that it is not sent the 1024 notices before.
    std::string lbuf;
    int local = local_tab(lbuf);
    ASSERT_GE(local, 0);
    ASSERT_EQ(file_service_from("10.2.0.1").status, 200);
    EXPECT_EQ(next_message_of_kind(local, lbuf, NOTICE),
              "More than 1024 addresses have used the tunnel link. If that was not you, stop "
              "quelmar now.");
    ASSERT_EQ(file_service_from("10.2.0.2").status, 200);
    ASSERT_EQ(file_service_from("10.1.0.0").status, 200);
    std::string line =
        "quelmar: tunnel: more than 1024 addresses have used the link — naming no more of them\n";
    ASSERT_TRUE(t.process().wait_stderr_contains(line));
    std::string err = t.process().stderr_text();
    EXPECT_EQ(count_of(err, line), 1);
    EXPECT_EQ(count_of(err, "first request with the link from"), 1024);
    ::close(local);
}
