// A hook's road inside one process: requests in, Hook_Req out, answers back, closing,
// and the bad inputs of each step.
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include "core/base/bytes.h"
#include "daemon/hooks/hooks.h"
#include "tests/hooks/tab_harness.h"
#include "tests/support/counts.h"
#include "tests/support/daemon_process.h"

namespace {

// Every test makes its hooks under a fresh XDG_RUNTIME_DIR, so leftovers can be counted.
class Hooks : public ::testing::Test {
  protected:
    void SetUp() override {
        // A sanitizer runtime may start a helper thread of its own at the first thread
        // creation; start one here so that thread counts taken later compare like with like.
        std::thread([] {}).join();
        setenv("XDG_RUNTIME_DIR", xdg_.path().c_str(), 1);
        base_ = xdg_.path() + "/editor";
    }
    void TearDown() override { unsetenv("XDG_RUNTIME_DIR"); }

    // Hook_Req of one question: {request id, payload}.
    std::pair<uint32_t, std::string> expect_req(Session_Tab& tab, uint32_t hook_id) {
        std::optional<Tab_Msg> m = tab.next();
        if (!m) {
            ADD_FAILURE() << "no Hook_Req";
            return {0, ""};
        }
        EXPECT_EQ(m->kind, Msg_Kind::Hook_Req);
        EXPECT_EQ(m->id, hook_id);
        if (m->payload.size() < 4) {
            ADD_FAILURE() << "short Hook_Req";
            return {0, ""};
        }
        return {get_u32le(m->payload), m->payload.substr(4)};
    }

    Temp_Dir xdg_;
    std::string base_;
};

// Sends bytes and half-closes, as dravik does.
int ask(const std::string& path, const std::string& bytes, bool half_close = true) {
    int fd = connect_unix(path);
    if (fd < 0) return -1;
    if (!bytes.empty()) ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
    if (half_close) ::shutdown(fd, SHUT_WR);
    return fd;
}

std::optional<std::string> answer_of(int fd) {
    std::optional<std::string> a = read_to_end(fd);
    ::close(fd);
    return a;
}

bool exists(const std::string& path) {
    struct stat st;
    return ::lstat(path.c_str(), &st) == 0;
}

TEST_F(Hooks, OneQuestionGoesToTheTabAndTheAnswerComesBackVerbatim) {
    Session_Tab tab;
    Hook_Ready_Body ready = tab.listen(7);
    ASSERT_EQ(ready.err, "");
    std::string dir = ready.path.substr(0, ready.path.rfind('/'));
    EXPECT_EQ(ready.path, dir + "/hook.sock");
    EXPECT_EQ(dir.rfind(base_ + "/editor-chat-daemon-" + std::to_string(getpid()) + "-", 0), 0u)
        << dir;
    struct stat st;
    ASSERT_EQ(::stat(dir.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);
    ASSERT_EQ(::stat(base_.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);

    int fd = ask(ready.path, "REQ {\"tool_name\":\"Bash\"}\n");
    auto [rid, payload] = expect_req(tab, 7);
    EXPECT_EQ(rid, 1u);
    EXPECT_EQ(payload, "{\"tool_name\":\"Bash\"}");
    tab.reply(7, rid, "deny not today\n");
    EXPECT_EQ(answer_of(fd), "deny not today\n");

    // The same request id again is not pending any more; the next question gets 2.
    tab.reply(7, rid, "allow\n");
    fd = ask(ready.path, "REQ \n");
    auto [rid2, payload2] = expect_req(tab, 7);
    EXPECT_EQ(rid2, 2u);
    EXPECT_EQ(payload2, "");
    tab.reply(7, rid2, "allow\n");
    EXPECT_EQ(answer_of(fd), "allow\n");
}

TEST_F(Hooks, RequestsWithoutThePrefixAreClosedUnansweredAndUseNoId) {
    Session_Tab tab;
    Hook_Ready_Body ready = tab.listen(1);
    ASSERT_EQ(ready.err, "");
    for (std::string bad : {"REQ", "REQ\n", "req {}\n", "XREQ {}\n", "", "\r\n\r\n"}) {
        EXPECT_EQ(answer_of(ask(ready.path, bad)), "") << bad;
    }
    // Nothing reached the tab: the next good request is the hook's first.
    int fd = ask(ready.path, "REQ a\r\nb\r\n\r\n");
    auto [rid, payload] = expect_req(tab, 1);
    EXPECT_EQ(rid, 1u);
    EXPECT_EQ(payload, "a\r\nb");
    tab.reply(1, rid, "allow\n");
    EXPECT_EQ(answer_of(fd), "allow\n");
}

TEST_F(Hooks, RepliesThatMatchNothingAreIgnoredAndTheQuestionStaysPending) {
    Session_Tab tab;
    Hook_Ready_Body ready = tab.listen(3);
    ASSERT_EQ(ready.err, "");
    int fd = ask(ready.path, "REQ q\n");
    auto [rid, payload] = expect_req(tab, 3);
    ASSERT_EQ(rid, 1u);
    hook_dispatch(tab.session(), Msg_Kind::Hook_Reply, 3, std::string("\x01\x00\x00", 3));
    tab.reply(4, rid, "allow\n");      // no such hook
    tab.reply(3, rid + 1, "allow\n");  // no such request
    tab.close(99);                     // closing an unknown hook is nothing either
    tab.reply(3, rid, "deny the real one\n");
    EXPECT_EQ(answer_of(fd), "deny the real one\n");
}

TEST_F(Hooks, AReplyOfOnlyTheRequestIdClosesWithoutWriting) {
    Session_Tab tab;
    Hook_Ready_Body ready = tab.listen(0);
    ASSERT_EQ(ready.err, "");
    int fd = ask(ready.path, "REQ x");  // end of file instead of a newline
    auto [rid, payload] = expect_req(tab, 0);
    EXPECT_EQ(payload, "x");
    tab.reply(0, rid, "");
    EXPECT_EQ(answer_of(fd), "");
}

TEST_F(Hooks, ConcurrentHelpersAndTwoHooksHaveTheirOwnIds) {
    Session_Tab tab;
    Hook_Ready_Body a = tab.listen(10);
    Hook_Ready_Body b = tab.listen(11);
    ASSERT_EQ(a.err, "");
    ASSERT_EQ(b.err, "");
    EXPECT_NE(a.path, b.path);
    constexpr int N = 5;
    std::vector<int> fds;
    std::map<uint32_t, std::string> asked;  // request id -> payload, hook 10
    for (int i = 0; i < N; ++i) {
        fds.push_back(ask(a.path, "REQ n" + std::to_string(i) + "\n"));
        auto [rid, payload] = expect_req(tab, 10);
        asked[rid] = payload;
    }
    int other = ask(b.path, "REQ other\n");
    auto [orid, opayload] = expect_req(tab, 11);
    EXPECT_EQ(orid, 1u);
    for (int i = 0; i < N; ++i)
        EXPECT_EQ(asked[static_cast<uint32_t>(i + 1)], "n" + std::to_string(i));
    // Answered in reverse order: each helper gets its own answer.
    for (int i = N; i >= 1; --i)
        tab.reply(10, static_cast<uint32_t>(i), "deny " + std::to_string(i) + "\n");
    for (int i = 0; i < N; ++i)
        EXPECT_EQ(answer_of(fds[i]), "deny " + std::to_string(i + 1) + "\n");
    tab.reply(11, orid, "allow\n");
    EXPECT_EQ(answer_of(other), "allow\n");
}

TEST_F(Hooks, ClosingAnswersWaitingHelpersAndLeavesNothingBehind) {
    Session_Tab tab;
    int fds_before = open_fd_count();
    int threads_before = thread_count();
    Hook_Ready_Body ready = tab.listen(5);
    ASSERT_EQ(ready.err, "");
    std::string dir = ready.path.substr(0, ready.path.rfind('/'));
    int one = ask(ready.path, "REQ 1\n");
    int two = ask(ready.path, "REQ 2\n");
    expect_req(tab, 5);
    expect_req(tab, 5);
    tab.close(5);
    EXPECT_EQ(answer_of(one), "deny session closed\n");
    EXPECT_EQ(answer_of(two), "deny session closed\n");
    EXPECT_FALSE(exists(ready.path));
    EXPECT_FALSE(exists(dir));
    EXPECT_EQ(connect_unix(ready.path), -1);
    EXPECT_EQ(open_fd_count(), fds_before);
    EXPECT_EQ(thread_count(), threads_before);
    EXPECT_EQ(tab.session().refs.load(), 1);
    tab.reply(5, 1, "allow\n");  // the hook is gone: ignored
}

TEST_F(Hooks, ListeningAgainOnAnOpenIdClosesTheEarlierHookFirst) {
    Session_Tab tab;
    int fds_before = open_fd_count();
    int threads_before = thread_count();
    Hook_Ready_Body first = tab.listen(2);
    ASSERT_EQ(first.err, "");
    int waiting = ask(first.path, "REQ old\n");
    expect_req(tab, 2);
    Hook_Ready_Body second = tab.listen(2);
    ASSERT_EQ(second.err, "");
    EXPECT_NE(first.path, second.path);
    EXPECT_EQ(answer_of(waiting), "deny session closed\n");
    EXPECT_FALSE(exists(first.path.substr(0, first.path.rfind('/'))));
    EXPECT_EQ(dir_entry_count(base_), 1);
    EXPECT_EQ(tab.session().refs.load(), 2);

    int fd = ask(second.path, "REQ new\n");
    auto [rid, payload] = expect_req(tab, 2);
    EXPECT_EQ(rid, 1u);  // a fresh sequence
    tab.reply(2, rid, "allow\n");
    EXPECT_EQ(answer_of(fd), "allow\n");
    tab.close(2);
    EXPECT_EQ(open_fd_count(), fds_before);
    EXPECT_EQ(thread_count(), threads_before);
    EXPECT_EQ(dir_entry_count(base_), 0);
}

TEST_F(Hooks, AStalledClientNeitherBlocksTheCloseNorTheNextHelper) {
    g_hook_limits.request_timeout_ns = 300'000'000;
    {
        Session_Tab tab;
        Hook_Ready_Body ready = tab.listen(1);
        ASSERT_EQ(ready.err, "");
        int stalled = ask(ready.path, "REQ no end", false);
        int next = ask(ready.path, "REQ after\n");
        // Served once the stalled read has run out of time; the stalled one gets no answer.
        auto [rid, payload] = expect_req(tab, 1);
        EXPECT_EQ(payload, "after");
        EXPECT_EQ(answer_of(stalled), "");
        tab.reply(1, rid, "allow\n");
        EXPECT_EQ(answer_of(next), "allow\n");
    }
    g_hook_limits.request_timeout_ns = 10'000'000'000;
    Session_Tab tab;
    Hook_Ready_Body ready = tab.listen(1);
    ASSERT_EQ(ready.err, "");
    int stalled = ask(ready.path, "REQ no end", false);
    std::this_thread::sleep_for(std::chrono::milliseconds(100));  // let the read begin
    auto start = std::chrono::steady_clock::now();
    tab.close(1);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
    // The hook closed while the question was arriving: it is refused like a late one.
    EXPECT_EQ(answer_of(stalled), "deny session closed\n");
}

TEST_F(Hooks, AHelperThatVanishedBeforeItsAnswerCostsNothing) {
    Session_Tab tab;
    int fds_before = open_fd_count();
    Hook_Ready_Body ready = tab.listen(1);
    ASSERT_EQ(ready.err, "");
    ::close(ask(ready.path, "REQ gone\n"));
    auto [rid, payload] = expect_req(tab, 1);
    tab.reply(1, rid, std::string(1 << 20, 'x'));  // no SIGPIPE, no hang
    int gone_pending = ask(ready.path, "REQ gone too\n");
    expect_req(tab, 1);
    ::close(gone_pending);
    tab.close(1);
    EXPECT_EQ(open_fd_count(), fds_before);
}

TEST_F(Hooks, WithoutAnAcceptThreadNoHookIsRegistered) {
    Session_Tab tab;
    int fds_before = open_fd_count();
    g_hook_limits.fail_thread_start = true;
    Hook_Ready_Body ready = tab.listen(4);
    g_hook_limits.fail_thread_start = false;
    EXPECT_EQ(ready.path, "");
    EXPECT_EQ(ready.err, "thread failed");
    EXPECT_TRUE(tab.session().hooks.empty());
    EXPECT_EQ(tab.session().refs.load(), 1);
    EXPECT_EQ(dir_entry_count(base_), 0);
    EXPECT_EQ(open_fd_count(), fds_before);
}

TEST_F(Hooks, AcceptGoesOnAfterRunningOutOfDescriptors) {
    Session_Tab tab;
    Hook_Ready_Body ready = tab.listen(1);
    ASSERT_EQ(ready.err, "");
    int client = connect_unix(ready.path);  // the client's descriptor exists before the squeeze
    ASSERT_GE(client, 0);
    struct rlimit saved;
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &saved), 0);
    int lowest_free = dup(0);
    ASSERT_GE(lowest_free, 0);
    ::close(lowest_free);
    struct rlimit squeezed = saved;
    squeezed.rlim_cur = static_cast<rlim_t>(lowest_free);
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &squeezed), 0);
    std::string req = "REQ squeezed\n";
    ::send(client, req.data(), req.size(), MSG_NOSIGNAL);
    std::this_thread::sleep_for(std::chrono::milliseconds(300));  // accept fails meanwhile
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &saved), 0);
    auto [rid, payload] = expect_req(tab, 1);
    EXPECT_EQ(payload, "squeezed");
    tab.reply(1, rid, "allow\n");
    EXPECT_EQ(answer_of(client), "allow\n");
}

TEST_F(Hooks, AThousandHooksOpenedAndClosedLeaveNothing) {
    Session_Tab tab;
    int fds_before = open_fd_count();
    int threads_before = thread_count();
    for (uint32_t i = 0; i < 1000; ++i) {
        Hook_Ready_Body ready = tab.listen(i);
        ASSERT_EQ(ready.err, "") << i;
        if (i % 100 == 0) {  // now and then with a question left waiting
            int fd = ask(ready.path, "REQ w\n");
            expect_req(tab, i);
            tab.close(i);
            ASSERT_EQ(answer_of(fd), "deny session closed\n");
        } else {
            tab.close(i);
        }
    }
    EXPECT_EQ(open_fd_count(), fds_before);
    EXPECT_EQ(thread_count(), threads_before);
    EXPECT_EQ(dir_entry_count(base_), 0);
    EXPECT_EQ(tab.session().refs.load(), 1);
}

}  // namespace
