// An in-process daemon and a standard error capture for the tests.
#include "tests/session/in_process.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdlib>

#include "core/base/clock.h"
#include "core/base/random.h"
#include "core/base/thread.h"
#include "daemon/admission.h"
#include "daemon/config.h"
#include "daemon/session.h"
#include "tests/support/daemon_process.h"

namespace {

int _listen_loopback(int& port) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
        listen(fd, 512) != 0 || getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) != 0)
        std::abort();
    port = ntohs(a.sin_port);
    return fd;
}

// Sessions still closing when the tests end would run on while the process exits.
class Wait_For_Sessions : public ::testing::Environment {
  public:
    void TearDown() override { EXPECT_TRUE(wait_session_count(0)); }
};

[[maybe_unused]] ::testing::Environment* const _wait_env =
    ::testing::AddGlobalTestEnvironment(new Wait_For_Sessions);

}  // namespace

In_Process_Daemon start_in_process_daemon(const std::string& site_origin) {
    // Kept for the life of the process: connection threads read these directories.
    static Temp_Dir root_dir, web_dir;
    Temp_Dir* root = &root_dir;
    Temp_Dir* web = &web_dir;
    write_file(web->file("index.html"), "<h1>index</h1>");
    In_Process_Daemon d;
    int listener = _listen_loopback(d.port);
    d.token = random_hex(16);
    d.root = root->path();
    d.web = web->path();
    g_cfg.port = d.port;
    g_cfg.token = d.token;
    g_cfg.root = d.root;
    g_cfg.web = d.web;
    g_cfg.site_origin = site_origin;
    bool started = start_detached([listener] {
        for (;;) {
            int c = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
            if (c < 0) continue;
            if (!start_detached([c] { handle_connection(c, Listener::Loopback); })) close(c);
        }
    });
    if (!started) std::abort();
    return d;
}

const In_Process_Daemon& test_daemon() {
    static const In_Process_Daemon d = start_in_process_daemon(TEST_SITE_ORIGIN);
    return d;
}

bool wait_session_count(size_t n, int timeout_ms) {
    int64_t end = mono_ns() + int64_t{timeout_ms} * NS_PER_MS;
    while (session_count() != n) {
        if (mono_ns() > end) return false;
        sleep_ns(2 * NS_PER_MS);
    }
    return true;
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
