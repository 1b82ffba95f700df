// Idle-session cost and greeting latency of the daemon: holds 1, 100 and 1000 tab sessions
// open and reports the daemon's resident memory at each, then times TCP connect to Hello
// received over 1000 fresh connections (median and p99).
//
//   bench_sessions                          fork a daemon of this build's connection code
//   bench_sessions --quelmar PATH           start PATH --port 0 on temporary directories
//   bench_sessions --port N --token T --pid PID   a quelmar that is already running
#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "core/base/clock.h"
#include "daemon/config/config.h"
#include "core/base/fd.h"
#include "core/base/random.h"
#include "core/base/thread.h"
#include "daemon/front/admission.h"

namespace {

constexpr int LATENCY_ROUNDS = 1000;
constexpr size_t SESSION_STEPS[] = {1, 100, 1000};
constexpr int64_t SETTLE_NS = 500 * NS_PER_MS;
constexpr int RECV_TIMEOUT_S = 10;

struct Target {
    int port = 0;
    std::string token;
    pid_t pid = 0;          // whose memory is measured
    bool own = false;       // started here: killed at the end
    std::string temp_root;  // made here for a started quelmar: removed at the end
};

void _raise_fd_limit() {
    rlimit rl{};
    if (getrlimit(RLIMIT_NOFILE, &rl) == 0) {
        rl.rlim_cur = rl.rlim_max;
        setrlimit(RLIMIT_NOFILE, &rl);
    }
}

long _rss_kib(pid_t pid) {
    std::ifstream f("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(f, line))
        if (line.rfind("VmRSS:", 0) == 0) return std::atol(line.c_str() + 6);
    return -1;
}

int _listen_loopback(int& port) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
        listen(fd, 1024) != 0 || getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) != 0)
        return -1;
    port = ntohs(a.sin_port);
    return fd;
}

// A child process that accepts loopback connections and runs handle_connection for each,
// one thread per connection, as the daemon's accept loop does.
bool _fork_daemon(Target& t) {
    int listener = _listen_loopback(t.port);
    if (listener < 0) return false;
    t.token = random_hex(16);
    pid_t pid = fork();
    if (pid < 0) return false;
    if (pid == 0) {
        // The daemon's log lines (two per session) would only slow the figures down.
        int devnull = open("/dev/null", O_WRONLY | O_CLOEXEC);
        dup2(devnull, 2);
        signal(SIGPIPE, SIG_IGN);
        g_cfg.port = t.port;
        g_cfg.token = t.token;
        g_cfg.root = "/";
        g_cfg.web = "/nonexistent";
        for (;;) {
            int c = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
            if (c < 0) continue;
            if (!start_detached([c] { handle_connection(c, Listener::Loopback); })) close(c);
        }
    }
    close(listener);
    t.pid = pid;
    t.own = true;
    return true;
}

// Starts a built quelmar with --port 0 and reads port and token from its first link.
bool _start_quelmar(const std::string& path, Target& t) {
    int out[2];
    if (pipe2(out, O_CLOEXEC) != 0) return false;
    char root[] = "/tmp/bench-sessions-XXXXXX";
    if (!mkdtemp(root)) return false;
    pid_t pid = fork();
    if (pid < 0) return false;
    if (pid == 0) {
        dup2(out[1], 1);
        int devnull = open("/dev/null", O_WRONLY);
        dup2(devnull, 2);
        execl(path.c_str(), path.c_str(), "--port", "0", "--root", root, "--web", root, nullptr);
        _exit(127);
    }
    close(out[1]);
    t.temp_root = root;
    Fd r(out[0]);
    std::string text;
    char buf[512];
    while (text.find('\n') == std::string::npos) {
        ssize_t n = read(r.get(), buf, sizeof buf);
        if (n <= 0) return false;
        text.append(buf, static_cast<size_t>(n));
    }
    // "http://127.0.0.1:%d/?t=%s"
    int port = 0;
    char token[128] = {};
    if (sscanf(text.c_str(), "http://127.0.0.1:%d/?t=%127[0-9a-f]", &port, token) != 2)
        return false;
    t.port = port;
    t.token = token;
    t.pid = pid;
    t.own = true;
    return true;
}

bool _recv_until(int fd, std::string& buf, size_t n) {
    char tmp[4096];
    while (buf.size() < n) {
        ssize_t got = recv(fd, tmp, sizeof tmp, 0);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) return false;
        buf.append(tmp, static_cast<size_t>(got));
    }
    return true;
}

// Opens /ws and waits for the 101 and the whole Hello frame. The socket, or -1.
int _open_session(const Target& t) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    timeval tv{RECV_TIMEOUT_S, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(t.port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    std::string req =
        "GET /ws?t=" + t.token + " HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(t.port) +
        "\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
        "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\nSec-WebSocket-Version: 13\r\n\r\n";
    std::string buf;
    size_t end;
    bool ok = connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 &&
              send(fd, req.data(), req.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(req.size());
    while (ok && (end = buf.find("\r\n\r\n")) == std::string::npos)
        ok = _recv_until(fd, buf, buf.size() + 1);
    ok = ok && buf.rfind("HTTP/1.1 101 ", 0) == 0;
    if (ok) {
        buf.erase(0, end + 4);
        ok = _recv_until(fd, buf, 2);
    }
    if (ok) {
        // Hello is short: 7-bit or 16-bit length form.
        size_t len = static_cast<unsigned char>(buf[1]) & 0x7f, header = 2;
        if (len == 126 && (ok = _recv_until(fd, buf, 4))) {
            len = (static_cast<size_t>(static_cast<unsigned char>(buf[2])) << 8) |
                  static_cast<unsigned char>(buf[3]);
            header = 4;
        }
        ok = ok && static_cast<unsigned char>(buf[0]) == 0x82 &&
             _recv_until(fd, buf, header + len) && buf[header] == 0;
    }
    if (!ok) {
        close(fd);
        return -1;
    }
    return fd;
}

bool _memory_steps(const Target& t) {
    std::vector<Fd> open;
    long first = -1;
    std::printf("%-10s %12s %22s\n", "sessions", "rss_kib", "kib_per_extra_session");
    std::printf("%-10d %12ld %22s\n", 0, _rss_kib(t.pid), "-");
    for (size_t step : SESSION_STEPS) {
        while (open.size() < step) {
            Fd fd(_open_session(t));
            if (!fd) {
                std::fprintf(stderr, "session %zu could not be opened: %s\n", open.size() + 1,
                             std::strerror(errno));
                return false;
            }
            open.push_back(std::move(fd));
        }
        sleep_ns(SETTLE_NS);
        long rss = _rss_kib(t.pid);
        if (step == 1) first = rss;
        if (step == 1)
            std::printf("%-10zu %12ld %22s\n", step, rss, "-");
        else
            std::printf("%-10zu %12ld %22.1f\n", step, rss,
                        static_cast<double>(rss - first) / static_cast<double>(step - 1));
        std::fflush(stdout);
    }
    return true;
}

bool _latency(const Target& t) {
    std::vector<double> us;
    us.reserve(LATENCY_ROUNDS);
    for (int i = 0; i < LATENCY_ROUNDS; ++i) {
        int64_t start = mono_ns();
        Fd fd(_open_session(t));
        int64_t end = mono_ns();
        if (!fd) return false;
        us.push_back(static_cast<double>(end - start) / 1000.0);
    }
    std::sort(us.begin(), us.end());
    std::printf("connect to Hello over %d connections: median %.0f us, p99 %.0f us, max %.0f us\n",
                LATENCY_ROUNDS, us[us.size() / 2], us[us.size() * 99 / 100], us.back());
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    signal(SIGPIPE, SIG_IGN);
    _raise_fd_limit();
    Target t;
    std::string quelmar;
    for (int i = 1; i + 1 < argc; i += 2) {
        std::string k = argv[i], v = argv[i + 1];
        if (k == "--port")
            t.port = std::atoi(v.c_str());
        else if (k == "--token")
            t.token = v;
        else if (k == "--pid")
            t.pid = std::atoi(v.c_str());
        else if (k == "--quelmar")
            quelmar = v;
    }
    bool ready = t.port > 0        ? t.pid > 0 && !t.token.empty()
                 : quelmar.empty() ? _fork_daemon(t)
                                   : _start_quelmar(quelmar, t);
    if (!ready) {
        std::fprintf(stderr,
                     "usage: bench_sessions [--quelmar PATH | --port N --token T --pid PID]\n");
        return 2;
    }
    std::printf("daemon pid %d on 127.0.0.1:%d (%s)\n", t.pid, t.port,
                t.own ? (quelmar.empty() ? "forked connection code" : quelmar.c_str()) : "running");
    bool ok = _memory_steps(t) && _latency(t);
    if (t.own) {
        kill(t.pid, SIGKILL);
        waitpid(t.pid, nullptr, 0);
    }
    if (!t.temp_root.empty()) rmdir(t.temp_root.c_str());
    return ok ? 0 : 1;
}
