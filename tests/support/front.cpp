// The in-process daemon front and a standard error capture for the tests.
#include "tests/support/front.h"

#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <climits>
#include <csignal>
#include <cstdlib>
#include <list>
#include <mutex>

#include "core/base/clock.h"
#include "daemon/config/config.h"
#include "core/base/random.h"
#include "core/base/thread.h"
#include "daemon/front/admission.h"
#include "daemon/session/session.h"
#include "tests/support/daemon_process.h"
#include "tests/support/net.h"

namespace {

constexpr int FRONT_BACKLOG = 512;

// Sessions still closing when the tests end would run on while the process exits, and
// connection threads must be joined before it does.
class Wait_For_Sessions : public ::testing::Environment {
  public:
    void TearDown() override {
        EXPECT_TRUE(wait_session_count(0));
        EXPECT_TRUE(wait_connections_closed());
    }
};

[[maybe_unused]] ::testing::Environment* const _wait_env =
    ::testing::AddGlobalTestEnvironment(new Wait_For_Sessions);

// Connection threads are joined, not detached, so a test can wait until the threads of
// its connections are gone (thread counts of the next test compare like with like).
struct Conn_Thread {
    Joinable_Thread thread;
    std::atomic<bool> done{false};
};
std::mutex _conns_mu;
std::list<Conn_Thread>& _conns() {
    static auto* conns = new std::list<Conn_Thread>;  // outlives the threads at exit
    return *conns;
}

// Joins the threads that have ended; under _conns_mu.
void _reap_locked() {
    _conns().remove_if([](Conn_Thread& c) {
        if (!c.done) return false;
        c.thread.join();
        return true;
    });
}

void _accept_loop(int listener) {
    for (;;) {
        int c = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
        if (c < 0) continue;
        std::lock_guard lock(_conns_mu);
        _reap_locked();
        Conn_Thread& t = _conns().emplace_back();
        if (!t.thread.start([c, &t] {
                handle_connection(c, Listener::Loopback);
                t.done = true;
            })) {
            close(c);
            _conns().pop_back();
        }
    }
}

}  // namespace

Front start_front(const std::string& site_origin) {
    // The daemon ignores it too: a program that exits before reading its input must fail
    // the write to its pipe, not end the tests.
    signal(SIGPIPE, SIG_IGN);
    // Kept for the life of the process: connection threads read these directories.
    static Temp_Dir root_dir, web_dir;
    write_file(web_dir.file("index.html"), "<h1>index</h1>");
    Front f;
    char real[PATH_MAX];
    f.root = realpath(root_dir.path().c_str(), real) ? real : root_dir.path();
    f.web = web_dir.path();
    f.token = random_hex(16);
    Fd listener = listen_on("127.0.0.1", f.port, FRONT_BACKLOG);
    if (!listener) std::abort();
    g_cfg.port = f.port;
    g_cfg.token = f.token;
    g_cfg.root = f.root;
    g_cfg.web = f.web;
    g_cfg.site_origin = site_origin;
    int fd = listener.release();
    if (!start_detached([fd] { _accept_loop(fd); })) std::abort();
    return f;
}

const Front& test_front() {
    static const Front f = start_front();
    return f;
}

bool wait_session_count(size_t n, int timeout_ms) {
    int64_t end = mono_ns() + int64_t{timeout_ms} * NS_PER_MS;
    while (session_count() != n) {
        if (mono_ns() > end) return false;
        sleep_ns(2 * NS_PER_MS);
    }
    return true;
}

bool wait_connections_closed(int timeout_ms) {
    int64_t end = mono_ns() + int64_t{timeout_ms} * NS_PER_MS;
    for (;;) {
        {
            std::lock_guard lock(_conns_mu);
            _reap_locked();
            if (_conns().empty()) return true;
        }
        if (mono_ns() > end) return false;
        sleep_ns(2 * NS_PER_MS);
    }
}

Stderr_Capture::Stderr_Capture() {
    char tmpl[] = "/tmp/quelmar-stderr-XXXXXX";
    file_ = mkstemp(tmpl);
    if (file_ < 0) std::abort();
    unlink(tmpl);
    saved_ = dup(2);
    dup2(file_, 2);
}

Stderr_Capture::~Stderr_Capture() {
    stop();
    close(file_);
}

void Stderr_Capture::stop() {
    if (saved_ < 0) return;
    dup2(saved_, 2);
    close(saved_);
    saved_ = -1;
}

std::string Stderr_Capture::text() const {
    std::string out;
    char buf[4096];
    off_t at = 0;
    for (;;) {
        ssize_t n = pread(file_, buf, sizeof buf, at);
        if (n <= 0) return out;
        out.append(buf, static_cast<size_t>(n));
        at += n;
    }
}

bool Stderr_Capture::wait_for(const std::string& needle, int timeout_ms) const {
    int64_t end = mono_ns() + int64_t{timeout_ms} * NS_PER_MS;
    while (text().find(needle) == std::string::npos) {
        if (mono_ns() > end) return false;
        sleep_ns(5 * NS_PER_MS);
    }
    return true;
}
