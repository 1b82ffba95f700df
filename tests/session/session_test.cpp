// Tab sessions against the in-process daemon: Hello, the registry, notices, messages that
// are ignored, framing violations that end the session silently, and whole frames from
// concurrent senders.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cstdlib>
#include <random>
#include <thread>

#include "core/base/bytes.h"
#include "core/base/fd.h"
#include "core/base/json_write.h"
#include "core/netproto/ws.h"
#include "daemon/config/config.h"
#include "daemon/hooks/perm_helper.h"
#include "daemon/session/session.h"
#include "tests/support/daemon_process.h"
#include "tests/support/front.h"
#include "tests/support/net.h"
#include "tests/support/tab.h"
#include "tests/support/ws_peer.h"

namespace {

// A tab that reads frames as they come, starting with the Hello.
Tab open_tab(const std::string& first_bytes = "") {
    const auto& d = test_front();
    return Tab(d.port, d.token, false, first_bytes);
}

std::string env_or_empty(const char* name) {
    const char* v = getenv(name);
    return v ? v : "";
}

std::string expected_hello() {
    return "{\"version\":1,\"root\":" + json_string(g_cfg.root) +
           ",\"home\":" + json_string(env_or_empty("HOME")) +
           ",\"platform\":\"linux\",\"perm_helper\":" + json_string(find_perm_helper()) +
           ",\"has_anthropic_key\":" +
           (env_or_empty("ANTHROPIC_API_KEY").empty() ? "false" : "true") +
           ",\"vm_relay\":true,\"features\":[\"pty\"]}";
}

void expect_hello(Tab& t) {
    Server_Frame f;
    ASSERT_TRUE(t.next_frame(f));
    EXPECT_EQ(f.first, 0x82);
    EXPECT_FALSE(f.masked);
    ASSERT_GE(f.payload.size(), 5u);
    EXPECT_EQ(f.payload.substr(0, 5), std::string(5, '\0'));
    EXPECT_EQ(f.payload.substr(5), expected_hello());
}

// The session is alive and has handled everything sent before: a Ping gets its Pong next.
void expect_pong_next(Tab& t, const std::string& payload) {
    ASSERT_TRUE(t.send_raw(client_msg(9, payload)));
    Server_Frame f;
    ASSERT_TRUE(t.next_frame(f));
    EXPECT_EQ(f.first, 0x8a);
    EXPECT_EQ(f.payload, payload);
}

std::string notice_payload(const std::string& text) {
    return std::string("\x10\0\0\0\0", 5) + text;
}

struct Pair {
    Fd a, b;
    Pair() {
        int sv[2];
        if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv) == 0) {
            a.reset(sv[0]);
            b.reset(sv[1]);
        }
    }
};

}  // namespace

TEST(Session, HelloFirstAlsoWithOthersOpen) {
    Tab first = open_tab();
    ASSERT_TRUE(first.ok());
    expect_hello(first);
    Tab second = open_tab();
    ASSERT_TRUE(second.ok());
    expect_hello(second);
    expect_pong_next(first, "still here");
}

TEST(Session, FramesThatCameWithTheHeadAreRead) {
    Tab t = open_tab(client_msg(9, "early"));
    ASSERT_TRUE(t.ok());
    expect_hello(t);
    Server_Frame f;
    ASSERT_TRUE(t.next_frame(f));
    EXPECT_EQ(f.first, 0x8a);
    EXPECT_EQ(f.payload, "early");
}

TEST(Session, RegisteredWhileOpenGoneAfterClose) {
    ASSERT_TRUE(wait_session_count(0));
    Tab a = open_tab(), b = open_tab();
    expect_hello(a);
    expect_hello(b);
    EXPECT_EQ(session_count(), 2u);
    a.close();
    EXPECT_TRUE(wait_session_count(1));
    b.close();
    EXPECT_TRUE(wait_session_count(0));
}

TEST(Session, IgnoredMessagesGetNoAnswer) {
    Tab t = open_tab();
    expect_hello(t);
    t.send_raw(client_msg(1, std::string("\x01\x01\0\0\0{\"argv\":[\"true\"]}", 22)));  // Text
    t.send_raw(client_msg(2, std::string("\x03\x01\0\0", 4)));                          // 4 bytes
    t.send_raw(client_msg(2, ""));
    t.send_raw(session_msg(0, 0, "{}"));  // a kind only the daemon sends
    t.send_raw(session_msg(9, 0, "x"));   // unused
    t.send_raw(session_msg(16, 0, "x"));  // Notice is the daemon's
    t.send_raw(session_msg(255, 7, std::string(100000, 'y')));
    expect_pong_next(t, "alive");
}

// An Fs message is answered by one Fs_Reply with its id: length, JSON, then the data.
TEST(Session, FileRequestIsAnsweredInOrderWithItsId) {
    Temp_Dir dir;
    write_file(dir.file("a.txt"), std::string("hi\0there", 8));
    Tab t = open_tab();
    expect_hello(t);
    auto envelope = [](const std::string& json) {
        std::string e;
        put_u32le(e, static_cast<uint32_t>(json.size()));
        return e + json;
    };
    t.send_raw(session_msg(5, 0x01020304,
                           envelope(R"({"op":"read","path":")" + dir.file("a.txt") + "\"}")));
    t.send_raw(session_msg(5, 7, "xyz"));  // too short for an envelope
    Server_Frame f;
    ASSERT_TRUE(t.next_frame(f));
    ASSERT_GE(f.payload.size(), 9u);
    EXPECT_EQ(f.payload.substr(0, 5), std::string("\x0d\x04\x03\x02\x01", 5));
    uint32_t n = get_u32le(std::string_view(f.payload).substr(5));
    ASSERT_LE(9 + n, f.payload.size());
    std::string json = f.payload.substr(9, n);
    EXPECT_EQ(json.substr(0, 32), R"({"ok":true,"err":"","kind":"","s)");
    EXPECT_NE(json.find("\"size\":8,"), std::string::npos);
    EXPECT_EQ(f.payload.substr(9 + n), std::string("hi\0there", 8));
    ASSERT_TRUE(t.next_frame(f));
    EXPECT_EQ(f.payload.substr(0, 5), std::string("\x0d\x07\0\0\0", 5));
    EXPECT_NE(f.payload.find(R"("ok":false,"err":"bad request")"), std::string::npos);
}

TEST(Session, FramingViolationsEndTheSessionSilently) {
    struct Case {
        const char* name;
        std::string bytes;
    } cases[] = {
        {"unmasked", client_frame(0x82, "xxxxx", false)},
        {"RSV1", client_frame(0xc2, "x")},
        {"opcode 3", client_frame(0x83, "x")},
        {"ping of 126", client_frame(0x89, std::string(126, 'p'))},
        {"fragmented ping", client_frame(0x09, "p")},
        {"continuation first", client_frame(0x80, "x")},
        {"text in a binary message", client_frame(0x02, "ab") + client_frame(0x81, "c")},
        {"one frame over 64 MiB",
         std::string("\x82\xff\x00\x00\x00\x00\x04\x00\x00\x01", 10) + "mask"},
        {"40 MiB + 30 MiB", client_frame(0x02, std::string(40u << 20, 'a')) +
                                client_frame(0x00, std::string(30u << 20, 'b')).substr(0, 14)},
    };
    for (const auto& c : cases) {
        Tab t = open_tab();
        ASSERT_TRUE(t.ok()) << c.name;
        expect_hello(t);
        t.send_raw(c.bytes);
        std::string extra;
        EXPECT_TRUE(closes_silently(t.fd(), extra)) << c.name << ": " << extra.size();
    }
    EXPECT_TRUE(wait_session_count(0));
}

TEST(Session, CloseIsEchoedThenTheConnectionEnds) {
    Tab t = open_tab();
    expect_hello(t);
    t.send_raw(client_msg(8, "\x03\xe8normal") + client_msg(9, "never answered"));
    Server_Frame f;
    ASSERT_TRUE(t.next_frame(f));
    EXPECT_EQ(f.first, 0x88);
    EXPECT_EQ(f.payload, "\x03\xe8");
    std::string extra;
    EXPECT_TRUE(closes_silently(t.fd(), extra));
}

TEST(Session, GarbageNeverCrashesOrCutsAFrame) {
    // Random mixes of valid and broken frames: whatever the daemon writes before it closes
    // is a sequence of whole frames of the kinds it may send. (A close with unread junk is
    // a reset, which may discard what was on its way, so no count is expected.)
    std::mt19937 rng(12345);
    for (int round = 0; round < 60; ++round) {
        Tab t = open_tab();
        ASSERT_TRUE(t.ok());
        expect_hello(t);
        std::string junk;
        for (int i = 0; i < 8; ++i) {
            switch (rng() % 4) {
                case 0:
                    junk += client_msg(9, std::string(rng() % 126, 'p'));
                    break;
                case 1:
                    junk += session_msg(static_cast<uint8_t>(rng()), rng(),
                                        std::string(rng() % 3000, 'q'));
                    break;
                case 2:
                    for (int n = rng() % 40; n > 0; --n) junk.push_back(static_cast<char>(rng()));
                    break;
                default:
                    junk +=
                        client_frame(static_cast<uint8_t>(rng()), std::string(rng() % 200, 'r'));
            }
        }
        t.send_raw(junk);
        shutdown(t.fd(), SHUT_WR);
        std::string all = read_until_close(t.fd());
        Server_Frame f;
        while (!all.empty()) {
            ASSERT_TRUE(read_server_frame(-1, all, f)) << "cut frame in round " << round;
            uint8_t op = f.opcode();
            EXPECT_TRUE(f.first & 0x80);
            EXPECT_TRUE(op == 2 || op == 8 || op == 10) << int(op);
            EXPECT_FALSE(f.masked);
        }
    }
    EXPECT_TRUE(wait_session_count(0));
}

TEST(Session, NoticeReachesEveryOpenSession) {
    Tab a = open_tab(), b = open_tab();
    expect_hello(a);
    expect_hello(b);
    notice_others(nullptr, "to everyone");
    for (Tab* t : {&a, &b}) {
        Server_Frame f;
        ASSERT_TRUE(t->next_frame(f));
        EXPECT_EQ(f.payload, notice_payload("to everyone"));
    }
}

TEST(Session, ATabWithANoticeWarnsTheOthersNotItself) {
    Tab other = open_tab();
    expect_hello(other);
    Pair p;
    WS_Conn conn;
    conn.sock = p.a.get();
    std::thread tab([&] { run_tab(p.a.get(), conn, "someone came in"); });
    Tab self(std::move(p.b), "");
    expect_hello(self);
    expect_pong_next(self, "no notice before me");
    Server_Frame f;
    ASSERT_TRUE(other.next_frame(f));
    EXPECT_EQ(f.payload, notice_payload("someone came in"));
    self.close();
    tab.join();
}

TEST(SessionSend, ConcurrentLargeMessagesNeverInterleave) {
    Pair p;
    auto* s = new Session;
    s->sock = p.a.get();
    // Interleaved bytes would leave the reader waiting for a frame that never ends.
    struct timeval tv {
        10, 0
    };
    setsockopt(p.b.get(), SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    constexpr int PER_THREAD = 24;
    auto sender = [&](char fill) {
        for (int i = 0; i < PER_THREAD; ++i) {
            std::string body((i % 3 + 1) * 300000 + i, fill);
            std::string_view parts[] = {std::string_view(body).substr(0, 10),
                                        std::string_view(body).substr(10, 70000),
                                        std::string_view(body).substr(70010)};
            session_send(*s, Msg_Kind::Stdout, static_cast<uint32_t>(fill), parts);
        }
    };
    int seen_a = 0, seen_b = 0;
    bool all_whole = true;
    std::thread reader([&] {
        std::string buf;
        Server_Frame f;
        for (int n = 0; n < 2 * PER_THREAD; ++n) {
            if (!read_server_frame(p.b.get(), buf, f)) {
                all_whole = false;
                return;
            }
            char fill = f.payload.size() > 5 ? f.payload[5] : '?';
            bool whole =
                f.first == 0x82 && f.payload[0] == 10 &&
                static_cast<unsigned char>(f.payload[1]) == static_cast<unsigned char>(fill) &&
                f.payload.find_first_not_of(fill, 5) == std::string::npos;
            all_whole = all_whole && whole;
            (fill == 'A' ? seen_a : seen_b)++;
        }
    });
    std::thread ta(sender, 'A'), tb(sender, 'B');
    reader.join();
    p.b.reset();  // a reader that gave up must not leave the senders blocked
    ta.join();
    tb.join();
    EXPECT_TRUE(all_whole);
    EXPECT_EQ(seen_a, PER_THREAD);
    EXPECT_EQ(seen_b, PER_THREAD);
    session_unref(*s);
}

TEST(SessionSend, AFailedWriteClosesTheSessionForGood) {
    Pair p;
    auto* s = new Session;
    s->sock = p.a.get();
    session_send(*s, Msg_Kind::Notice, 0, "first");
    Server_Frame f;
    std::string buf;
    ASSERT_TRUE(read_server_frame(p.b.get(), buf, f));
    EXPECT_EQ(f.payload, notice_payload("first"));
    p.b.reset();
    session_send(*s, Msg_Kind::Notice, 0, "lost");
    {
        std::lock_guard lock(s->send_mu);
        EXPECT_TRUE(s->closed);
    }
    // The socket was shut down, so the session thread's receive ends at once.
    char c;
    EXPECT_EQ(recv(p.a.get(), &c, 1, 0), 0);
    session_send(*s, Msg_Kind::Notice, 0, "dropped");
    session_unref(*s);
}

TEST(SessionSend, ReferencesKeepTheRecordAlive) {
    Pair p;
    auto* s = new Session;
    s->sock = p.a.get();
    session_ref(*s);
    session_unref(*s);
    EXPECT_EQ(s->refs.load(), 1);
    session_send(*s, Msg_Kind::Exit, 3, std::string_view("\0\0\0\0", 4));
    session_unref(*s);  // the last one frees it (checked by the sanitizer builds)
}

class Env : public ::testing::Test {
  protected:
    void SetUp() override { GTEST_FLAG_SET(death_test_style, "threadsafe"); }
};

namespace {

[[noreturn]] void child_hello_with_key(const char* value) {
    setenv("ANTHROPIC_API_KEY", value, 1);
    Tab t = open_tab();
    Server_Frame f;
    bool ok = t.next_frame(f) && f.payload.substr(5) == expected_hello();
    bool has = f.payload.find("\"has_anthropic_key\":true") != std::string::npos;
    ok = ok && f.payload.find("sk-secret") == std::string::npos;
    fprintf(stderr, "%s\n%s\n", f.payload.c_str() + 5, ok ? "checks passed" : "checks FAILED");
    t.close();
    ok = ok && wait_session_count(0) && wait_connections_closed();
    exit(ok && has == (value[0] != 0) ? 0 : 1);
}

}  // namespace

TEST_F(Env, AnthropicKeySetButEmptyCountsAsAbsent) {
    EXPECT_EXIT(child_hello_with_key(""), ::testing::ExitedWithCode(0), "checks passed");
}

TEST_F(Env, AnthropicKeySetIsAnnouncedNotSent) {
    EXPECT_EXIT(child_hello_with_key("sk-secret"), ::testing::ExitedWithCode(0), "checks passed");
}
