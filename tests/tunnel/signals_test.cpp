// The crash-signal handler, exercised in forked children so the test process keeps its own
// signal dispositions.
#include <gtest/gtest.h>
#include <sys/prctl.h>
#include <sys/wait.h>

#include "core/base/clock.h"
#include "daemon/tunnel/signals.h"
#include "daemon/tunnel/state.h"

namespace {

constexpr int64_t MS = 1'000'000;

// Waits for a child at most limit_ns; SIGKILLs and reaps it on time-out.
std::optional<int> wait_bounded(pid_t pid, int64_t limit_ns) {
    int64_t end = mono_ns() + limit_ns;
    int status = 0;
    while (mono_ns() < end) {
        if (::waitpid(pid, &status, WNOHANG) == pid) return status;
        sleep_ns(5 * MS);
    }
    ::kill(pid, SIGKILL);
    ::waitpid(pid, &status, 0);
    return std::nullopt;
}

// Orphans are handed to the test process, so it can see how the grandchild ended.
struct Subreaper {
    Subreaper() { ::prctl(PR_SET_CHILD_SUBREAPER, 1); }
    ~Subreaper() { ::prctl(PR_SET_CHILD_SUBREAPER, 0); }
};

}  // namespace

TEST(CrashSignal, KillsCloudflaredThenEndsByTheSameSignal) {
    Subreaper reaper;
    int pids[2];
    ASSERT_EQ(::pipe(pids), 0);
    pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        pid_t grandchild = ::fork();
        if (grandchild == 0) {
            for (;;) ::pause();
        }
        ::write(pids[1], &grandchild, sizeof grandchild);
        g_child_pid.store(grandchild);
        // Ignored SIGQUIT stays ignored; SIGABRT is handled.
        ::signal(SIGQUIT, SIG_IGN);
        install_crash_signal_handler();
        ::raise(SIGQUIT);
        ::raise(SIGABRT);
        ::_exit(99);  // not reached when the handler works
    }
    ::close(pids[1]);
    pid_t grandchild = 0;
    ASSERT_EQ(::read(pids[0], &grandchild, sizeof grandchild),
              static_cast<ssize_t>(sizeof grandchild));
    ::close(pids[0]);

    std::optional<int> st = wait_bounded(child, 5000 * MS);
    ASSERT_TRUE(st);
    EXPECT_TRUE(WIFSIGNALED(*st));
    EXPECT_EQ(WTERMSIG(*st), SIGABRT);

    std::optional<int> gst = wait_bounded(grandchild, 5000 * MS);
    ASSERT_TRUE(gst);
    EXPECT_TRUE(WIFSIGNALED(*gst));
    EXPECT_EQ(WTERMSIG(*gst), SIGKILL);
}

TEST(CrashSignal, DispositionsAfterInstalling) {
    pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        ::signal(SIGQUIT, SIG_IGN);
        install_crash_signal_handler();
        struct sigaction sa {};
        int bad = 0;
        ::sigaction(SIGQUIT, nullptr, &sa);
        if (sa.sa_handler != SIG_IGN) bad |= 1;
        for (int sig : {SIGSEGV, SIGBUS, SIGILL, SIGFPE, SIGABRT, SIGTRAP}) {
            ::sigaction(sig, nullptr, &sa);
            if (sa.sa_handler == SIG_DFL || sa.sa_handler == SIG_IGN) bad |= 2;
            if (!(sa.sa_flags & SA_RESETHAND)) bad |= 4;
        }
        // The exit thread's signals are not this handler's.
        for (int sig : {SIGINT, SIGTERM, SIGHUP}) {
            ::sigaction(sig, nullptr, &sa);
            if (sa.sa_handler != SIG_DFL) bad |= 8;
        }
        // Without a running cloudflared the handler only re-raises.
        g_child_pid.store(0);
        ::raise(SIGTRAP);
        ::_exit(bad == 0 ? 98 : bad);
    }
    std::optional<int> st = wait_bounded(child, 5000 * MS);
    ASSERT_TRUE(st);
    ASSERT_TRUE(WIFSIGNALED(*st)) << "exit code " << WEXITSTATUS(*st);
    EXPECT_EQ(WTERMSIG(*st), SIGTRAP);
}
