// A front that holds: a flood of connections without the token cannot lock a tab out, an
// answer nobody reads is ended by its deadline, and a signal does not cost a request.
#include <gtest/gtest.h>
#include <pthread.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <fstream>
#include <list>
#include <string>
#include <thread>
#include <vector>

#include "core/base/clock.h"
#include "core/base/fd.h"
#include "core/netproto/conn_pool.h"
#include "daemon/front/admission.h"
#include "tests/support/counts.h"
#include "tests/support/daemon_process.h"
#include "tests/support/front.h"
#include "tests/support/net.h"
#include "tests/support/tab.h"

namespace {

constexpr size_t BIG_FILE = 16u << 20;

void raise_own_descriptor_limit() {
    struct rlimit rl {};
    getrlimit(RLIMIT_NOFILE, &rl);
    rl.rlim_cur = rl.rlim_max;
    setrlimit(RLIMIT_NOFILE, &rl);
}

std::string get_request(int port, const std::string& path) {
    return "GET " + path + " HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(port) + "\r\n\r\n";
}

// Whether thread tid of this process is blocked in poll (first field of its syscall file).
bool in_poll(pid_t tid) {
    std::ifstream f("/proc/self/task/" + std::to_string(tid) + "/syscall");
    long nr = -1;
    f >> nr;
#ifdef SYS_poll
    if (nr == SYS_poll) return true;
#endif
    return nr == SYS_ppoll;
}

bool wait_in_poll(pid_t tid) {
    int64_t end = mono_ns() + 10 * NS_PER_SEC;
    while (!in_poll(tid))
        if (mono_ns() > end) return false;
    return true;
}

std::atomic<int> _signals_seen{0};
void _count_signal(int) {
    _signals_seen.fetch_add(1);
}

}  // namespace

// 400 connections holding half a head and 20 clients that never read a 16 MiB answer, all
// on a daemon with 256 descriptors: a tab with the token still gets in at once, and its
// programs and files still have descriptors.
TEST(Bounded_Front, FloodWithoutTheTokenDoesNotLockTheTabOut) {
    raise_own_descriptor_limit();
    Daemon d({}, {}, {"/usr/bin/prlimit", "--nofile=256", "--"});
    ASSERT_TRUE(d.ok());
    write_file(d.web() + "/big.wasm", std::string(BIG_FILE, 'w'));
    std::vector<Fd> flood;
    for (int i = 0; i < 400; ++i) {
        flood.emplace_back(connect_tcp(d.port()));
        ASSERT_TRUE(flood.back()) << i;
        send_bytes(flood.back().get(), "GET / HTTP/1.1\r\n");
    }
    for (int i = 0; i < 20; ++i) {
        flood.emplace_back(connect_tcp(d.port()));
        ASSERT_TRUE(flood.back()) << i;
        send_bytes(flood.back().get(), get_request(d.port(), "/big.wasm"));
    }

    int64_t t0 = mono_ns();
    Tab tab(d.port(), d.token());
    ASSERT_TRUE(tab.ok()) << d.process().stderr_text();
    EXPECT_LT(mono_ns() - t0, 2 * NS_PER_SEC);

    ASSERT_TRUE(tab.spawn(1, sh_spawn("echo still here")));
    Channel_Run run = tab.collect(1);
    EXPECT_EQ(run.out, "still here\n");
    EXPECT_EQ(run.status, 0) << run.exit_text;

    write_file(d.root() + "/a.txt", "file bytes");
    ASSERT_TRUE(tab.send(Msg_Kind::Fs, 2, fs_request("read", d.root() + "/a.txt")));
    auto reply = tab.next_of(Msg_Kind::Fs_Reply, 2);
    ASSERT_TRUE(reply);
    std::string json, data;
    ASSERT_TRUE(split_reply(reply->payload, json, data));
    EXPECT_NE(json.find("\"ok\":true"), std::string::npos) << json;
    EXPECT_EQ(data, "file bytes");
}

// A client that asks for a big file and never reads holds its connection only until the
// answer deadline (shortened for the test), not until it goes away.
TEST(Bounded_Front, AnswerNobodyReadsEndsAtTheDeadline) {
    Daemon d({}, {"QUELMAR_TEST_ANSWER_DEADLINE_MS=500"});
    ASSERT_TRUE(d.ok());
    write_file(d.web() + "/big.wasm", std::string(BIG_FILE, 'w'));
    int idle_fds = fd_count(d.process().pid());
    Fd c(connect_tcp(d.port()));
    ASSERT_TRUE(send_bytes(c.get(), get_request(d.port(), "/big.wasm")));
    // The daemon holds the connection's socket and the file while it sends.
    int64_t end = mono_ns() + 5 * NS_PER_SEC;
    while (fd_count(d.process().pid()) < idle_fds + 2 && mono_ns() < end) sleep_ns(NS_PER_MS);
    end = mono_ns() + 10 * NS_PER_SEC;
    while (fd_count(d.process().pid()) > idle_fds && mono_ns() < end) sleep_ns(5 * NS_PER_MS);
    EXPECT_EQ(fd_count(d.process().pid()), idle_fds);
    std::string got = read_until_close(c.get());
    EXPECT_GT(got.size(), 0u);
    EXPECT_LT(got.size(), BIG_FILE);  // cut short: the client took too long
}

// A signal that interrupts the wait for the rest of a head (handler without SA_RESTART)
// neither drops the connection nor shortens its deadline: the request is still answered.
TEST(Bounded_Front, InterruptedHeadReadStillAnswers) {
    const Front& f = test_front();
    struct sigaction sa {};
    sa.sa_handler = _count_signal;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = 0;
    struct sigaction old {};
    ASSERT_EQ(sigaction(SIGUSR1, &sa, &old), 0);
    int sv[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv), 0);
    Fd client(sv[1]);
    std::atomic<pid_t> tid{0};
    std::thread server([&] {
        tid = static_cast<pid_t>(syscall(SYS_gettid));
        handle_connection(sv[0], Listener::Loopback);
    });
    std::string request = get_request(f.port, "/missing");
    ASSERT_TRUE(send_bytes(client.get(), request.substr(0, request.size() - 2)));
    while (tid == 0) {
    }
    ASSERT_TRUE(wait_in_poll(tid));
    pthread_kill(server.native_handle(), SIGUSR1);
    int64_t end = mono_ns() + 10 * NS_PER_SEC;
    while (_signals_seen == 0 && mono_ns() < end) {
    }
    EXPECT_EQ(_signals_seen, 1);
    ASSERT_TRUE(wait_in_poll(tid));  // back to waiting, not gone
    ASSERT_TRUE(send_bytes(client.get(), "\r\n"));
    std::string answer = read_until_close(client.get());
    server.join();
    sigaction(SIGUSR1, &old, nullptr);
    EXPECT_EQ(answer.substr(0, 22), "HTTP/1.1 404 Not Found");
}

// Room is made from the oldest connection that waits for its head or whose answer has
// stalled; never from one being answered briskly, one already evicted, or the newcomer.
TEST(Bounded_Front, EvictionPicksTheOldestIdleOrStalled) {
    const int64_t stall = 1000, now = 10000;
    std::list<Pool_Slot> slots = {
        {1, 1, false, 0, true},         // already evicted
        {2, 2, true, now - 10, false},  // answering briskly
        {3, 3, false, 0, false},        // waiting for its head
        {4, 4, false, 0, false},
    };
    EXPECT_EQ(pick_victim(slots, now, stall, nullptr)->fd, 3);
    slots.begin()->evicted = false;
    std::next(slots.begin())->answering_ns = now - stall;  // stalled now
    slots.begin()->answering = true;
    slots.begin()->answering_ns = now - 1;
    EXPECT_EQ(pick_victim(slots, now, stall, nullptr)->fd, 2);
    std::list<Pool_Slot> only_newcomer = {{9, 9, false, 0, false}};
    EXPECT_EQ(pick_victim(only_newcomer, now, stall, &only_newcomer.front()), nullptr);
}
