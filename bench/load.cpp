// Load on a built quelmar, loopback only and bounded in time: many tab sessions open at
// once (each runs a short program and reads a file), a storm of connections opened and
// closed, and slow clients that send one header byte a second. During each, a normal tab
// keeps measuring its round trip; before, during and after, the daemon's resident memory,
// descriptors and threads are read from /proc.
//
//   bench_load [--quelmar PATH] [--only sessions|churn|slow] [--sessions N]
//              [--connections N] [--slow N] [--slow-seconds S]
#include <arpa/inet.h>
#include <dirent.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "core/base/bytes.h"
#include "core/base/clock.h"
#include "core/base/fd.h"
#include "core/netproto/ws.h"
#include "core/platform/platform.h"

namespace {

constexpr int RECV_TIMEOUT_S = 20;
constexpr int OPEN_WORKERS = 8;
constexpr int CHURN_WORKERS = 4;
constexpr int64_t HOLD_NS = 2 * NS_PER_SEC;
constexpr int64_t PROBE_EVERY_NS = 50 * NS_PER_MS;
constexpr int64_t SETTLE_LIMIT_NS = 15 * NS_PER_SEC;
constexpr uint8_t KIND_HELLO = 0, KIND_SPAWN = 1, KIND_FS = 5, KIND_EXIT = 12, KIND_FS_REPLY = 13;

struct Options {
    std::string quelmar = "build/quelmar";
    std::string only;
    int sessions = 1000;
    int connections = 20000;
    int slow = 200;
    int slow_seconds = 20;
};

struct Daemon {
    pid_t pid = -1;
    int port = 0;
    std::string token;
    std::string root;
};

// ---- the daemon as /proc shows it

int _entries(const std::string& dir) {
    DIR* d = opendir(dir.c_str());
    if (!d) return -1;
    int n = 0;
    while (dirent* e = readdir(d))
        if (e->d_name[0] != '.') ++n;
    closedir(d);
    return n;
}

long _rss_kib(pid_t pid) {
    std::ifstream f("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(f, line))
        if (line.rfind("VmRSS:", 0) == 0) return std::atol(line.c_str() + 6);
    return -1;
}

struct Snapshot {
    int fds = 0, threads = 0;
    long rss_kib = 0;
};

Snapshot _snapshot(pid_t pid) {
    std::string base = "/proc/" + std::to_string(pid);
    return {_entries(base + "/fd"), _entries(base + "/task"), _rss_kib(pid)};
}

// Waits until descriptors and threads are back at the baseline (or the limit passes).
Snapshot _settled(pid_t pid, const Snapshot& baseline) {
    int64_t end = mono_ns() + SETTLE_LIMIT_NS;
    Snapshot s = _snapshot(pid);
    while ((s.fds != baseline.fds || s.threads != baseline.threads) && mono_ns() < end) {
        sleep_ns(50 * NS_PER_MS);
        s = _snapshot(pid);
    }
    return s;
}

// ---- a minimal WebSocket client

int _connect(int port) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
        close(fd);
        return -1;
    }
    timeval tv{RECV_TIMEOUT_S, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    return fd;
}

bool _send(int fd, std::string_view bytes) {
    while (!bytes.empty()) {
        ssize_t n = send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
        if (n <= 0) return false;
        bytes.remove_prefix(static_cast<size_t>(n));
    }
    return true;
}

std::string _session_frame(uint8_t kind, uint32_t id, std::string_view payload) {
    std::string msg(1, static_cast<char>(kind));
    put_u32le(msg, id);
    msg.append(payload);
    std::string f(1, '\x82');
    if (msg.size() < 126) {
        f.push_back(static_cast<char>(0x80 | msg.size()));
    } else {
        f.push_back(static_cast<char>(0x80 | 126));
        f.push_back(static_cast<char>(msg.size() >> 8));
        f.push_back(static_cast<char>(msg.size()));
    }
    unsigned char key[4];
    random_bytes(key, sizeof key);
    f.append(reinterpret_cast<char*>(key), 4);
    for (size_t i = 0; i < msg.size(); ++i) f.push_back(static_cast<char>(msg[i] ^ key[i % 4]));
    return f;
}

struct Tab {
    int fd = -1;
    std::string buf;

    bool open(const Daemon& d) {
        fd = _connect(d.port);
        if (fd < 0) return false;
        std::string key = ws_client_key();
        std::string req =
            ws_client_request("/ws?t=" + d.token, "127.0.0.1:" + std::to_string(d.port), key);
        if (!_send(fd, req)) return false;
        size_t end;
        while ((end = buf.find("\r\n\r\n")) == std::string::npos)
            if (!_fill()) return false;
        Response_Head head;
        bool ok = parse_response_head(std::string_view(buf).substr(0, end), head) &&
                  ws_client_accepts(head, key);
        buf.erase(0, end + 4);
        uint8_t kind;
        uint32_t id;
        std::string payload;
        return ok && next(kind, id, payload) && kind == KIND_HELLO;
    }
    bool _fill() {
        char chunk[65536];
        ssize_t n = recv(fd, chunk, sizeof chunk, 0);
        if (n <= 0) return false;
        buf.append(chunk, static_cast<size_t>(n));
        return true;
    }
    bool next(uint8_t& kind, uint32_t& id, std::string& payload) {
        for (;;) {
            WS_Frame_Header h;
            size_t n = ws_parse_frame_header(buf, h);
            if (n != 0 && buf.size() - n >= h.length) {
                std::string_view msg = std::string_view(buf).substr(n, h.length);
                bool usable = h.opcode == 2 && msg.size() >= 5;
                if (usable) {
                    kind = static_cast<uint8_t>(msg[0]);
                    id = get_u32le(msg.substr(1));
                    payload = msg.substr(5);
                }
                buf.erase(0, n + h.length);
                if (usable) return true;
                continue;
            }
            if (!_fill()) return false;
        }
    }
    bool wait_for(uint8_t want_kind, uint32_t want_id) {
        uint8_t kind;
        uint32_t id;
        std::string payload;
        while (next(kind, id, payload))
            if (kind == want_kind && id == want_id) return true;
        return false;
    }
    bool send(uint8_t kind, uint32_t id, std::string_view payload) {
        return _send(fd, _session_frame(kind, id, payload));
    }
    void close_now() {
        if (fd >= 0) ::close(fd);
        fd = -1;
    }
};

std::string _fs(std::string_view op, const std::string& path) {
    std::string json = "{\"op\":\"" + std::string(op) + "\",\"path\":\"" + path + "\"}";
    std::string out;
    put_u32le(out, static_cast<uint32_t>(json.size()));
    return out + json;
}

// ---- the normal tab that keeps measuring during a load

class Probe {
  public:
    Probe(const Daemon& d) : d_(d) {}
    bool start() {
        if (!tab_.open(d_)) return false;
        thread_ = std::thread([this] { _run(); });
        return true;
    }
    // Round trips in microseconds since the last call; failures counted apart.
    std::vector<int64_t> take(int& failures) {
        std::lock_guard lock(mu_);
        failures = failures_;
        failures_ = 0;
        return std::exchange(samples_, {});
    }
    void stop() {
        stop_ = true;
        if (thread_.joinable()) thread_.join();
        tab_.close_now();
    }

  private:
    void _run() {
        std::string stat = _fs("stat", d_.root + "/small.txt");
        for (uint32_t id = 1; !stop_; ++id) {
            int64_t t0 = mono_ns();
            bool ok = tab_.send(KIND_FS, id, stat) && tab_.wait_for(KIND_FS_REPLY, id);
            int64_t us = (mono_ns() - t0) / 1000;
            {
                std::lock_guard lock(mu_);
                if (ok)
                    samples_.push_back(us);
                else
                    ++failures_;
            }
            if (!ok) {
                tab_.close_now();
                tab_ = Tab();
                if (!tab_.open(d_)) sleep_ns(PROBE_EVERY_NS);
            }
            sleep_ns(PROBE_EVERY_NS);
        }
    }
    const Daemon& d_;
    Tab tab_;
    std::thread thread_;
    std::atomic<bool> stop_{false};
    std::mutex mu_;
    std::vector<int64_t> samples_;
    int failures_ = 0;
};

// Peak resident memory while a load runs, sampled every 20 ms.
class Rss_Watch {
  public:
    explicit Rss_Watch(pid_t pid) : pid_(pid) {
        thread_ = std::thread([this] {
            while (!stop_) {
                peak_ = std::max(peak_.load(), _rss_kib(pid_));
                sleep_ns(20 * NS_PER_MS);
            }
        });
    }
    long stop() {
        stop_ = true;
        thread_.join();
        return peak_;
    }

  private:
    pid_t pid_;
    std::atomic<bool> stop_{false};
    std::atomic<long> peak_{0};
    std::thread thread_;
};

int64_t _percentile(std::vector<int64_t> v, double p) {
    if (v.empty()) return -1;
    std::sort(v.begin(), v.end());
    return v[std::min(v.size() - 1, static_cast<size_t>(p * static_cast<double>(v.size())))];
}

void _report(const char* name, const Snapshot& before, long peak, const Snapshot& during,
             const Snapshot& after, Probe& probe) {
    int failures = 0;
    std::vector<int64_t> rtt = probe.take(failures);
    std::printf("  memory (RSS KiB): before %ld, peak during %ld, after %ld\n", before.rss_kib,
                peak, after.rss_kib);
    std::printf(
        "  descriptors: before %d, during %d, after %d; threads: before %d, during %d, "
        "after %d\n",
        before.fds, during.fds, after.fds, before.threads, during.threads, after.threads);
    std::printf(
        "  normal tab round trip (Fs stat): %zu samples, median %lld us, p99 %lld us, max "
        "%lld us, %d failed\n",
        rtt.size(), static_cast<long long>(_percentile(rtt, 0.5)),
        static_cast<long long>(_percentile(rtt, 0.99)),
        static_cast<long long>(_percentile(rtt, 1.0)), failures);
    bool clean = after.fds == before.fds && after.threads == before.threads;
    std::printf("  %s: %s\n", name,
                clean ? "nothing left behind" : "DESCRIPTORS OR THREADS LEFT BEHIND");
}

// ---- the three loads

bool _load_sessions(const Daemon& d, const Options& o, Probe& probe) {
    std::printf("\n%d tab sessions at once, each running a program and reading a file\n",
                o.sessions);
    Snapshot before = _snapshot(d.pid);
    int dummy = 0;
    probe.take(dummy);
    Rss_Watch watch(d.pid);
    std::vector<Tab> tabs(static_cast<size_t>(o.sessions));
    std::atomic<int> opened{0}, failed{0};
    std::string spawn = "{\"argv\":[\"/bin/echo\",\"hello\"]}";
    std::string read = _fs("read", d.root + "/small.txt");
    int64_t t0 = mono_ns();
    std::vector<std::thread> workers;
    for (int w = 0; w < OPEN_WORKERS; ++w) {
        workers.emplace_back([&, w] {
            for (size_t i = static_cast<size_t>(w); i < tabs.size(); i += OPEN_WORKERS) {
                Tab& t = tabs[i];
                bool ok = t.open(d) && t.send(KIND_SPAWN, 1, spawn) && t.wait_for(KIND_EXIT, 1) &&
                          t.send(KIND_FS, 2, read) && t.wait_for(KIND_FS_REPLY, 2);
                (ok ? opened : failed)++;
            }
        });
    }
    for (auto& w : workers) w.join();
    int64_t open_ms = (mono_ns() - t0) / NS_PER_MS;
    sleep_ns(HOLD_NS);
    Snapshot during = _snapshot(d.pid);
    std::printf("  %d sessions held (%d failed), all opened and served in %lld ms\n", opened.load(),
                failed.load(), static_cast<long long>(open_ms));
    for (Tab& t : tabs) t.close_now();
    long peak = watch.stop();
    Snapshot after = _settled(d.pid, before);
    _report("sessions", before, peak, during, after, probe);
    return failed == 0;
}

bool _load_churn(const Daemon& d, const Options& o, Probe& probe) {
    std::printf("\n%d connections opened and closed as fast as possible\n", o.connections);
    Snapshot before = _snapshot(d.pid);
    int dummy = 0;
    probe.take(dummy);
    Rss_Watch watch(d.pid);
    std::atomic<int> next{0}, failed{0}, peak_fds{0};
    int64_t t0 = mono_ns();
    std::vector<std::thread> workers;
    for (int w = 0; w < CHURN_WORKERS; ++w) {
        workers.emplace_back([&] {
            while (next++ < o.connections) {
                int fd = _connect(d.port);
                if (fd < 0) {
                    ++failed;
                    continue;
                }
                // An abortive close: the storm must not run out of local ports in TIME_WAIT.
                linger l{1, 0};
                setsockopt(fd, SOL_SOCKET, SO_LINGER, &l, sizeof l);
                close(fd);
            }
        });
    }
    std::thread fd_watch([&] {
        while (next < o.connections) {
            peak_fds = std::max(peak_fds.load(), _snapshot(d.pid).fds);
            sleep_ns(10 * NS_PER_MS);
        }
    });
    for (auto& w : workers) w.join();
    fd_watch.join();
    double secs = static_cast<double>(mono_ns() - t0) / 1e9;
    Snapshot during = _snapshot(d.pid);
    during.fds = std::max(during.fds, peak_fds.load());
    std::printf("  %d connections in %.2f s: %.0f per second (%d failed)\n", o.connections, secs,
                o.connections / secs, failed.load());
    long peak = watch.stop();
    Snapshot after = _settled(d.pid, before);
    _report("churn", before, peak, during, after, probe);
    return failed == 0;
}

bool _load_slow(const Daemon& d, const Options& o, Probe& probe) {
    std::printf("\n%d slow clients, one header byte a second for %d s\n", o.slow, o.slow_seconds);
    Snapshot before = _snapshot(d.pid);
    int dummy = 0;
    probe.take(dummy);
    Rss_Watch watch(d.pid);
    std::string head = "GET /ws?t=" + d.token +
                       " HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(d.port) +
                       "\r\nUpgrade: websocket\r\n";
    std::vector<Fd> socks;
    int failed = 0;
    for (int i = 0; i < o.slow; ++i) {
        Fd fd(_connect(d.port));
        if (fd)
            socks.push_back(std::move(fd));
        else
            ++failed;
    }
    int still_open = 0;
    Snapshot during;
    for (int s = 0; s < o.slow_seconds; ++s) {
        char byte = head[static_cast<size_t>(s) % head.size()];
        still_open = 0;
        for (Fd& fd : socks)
            if (fd && send(fd.get(), &byte, 1, MSG_NOSIGNAL) == 1) ++still_open;
        if (s == o.slow_seconds / 2) during = _snapshot(d.pid);
        sleep_ns(NS_PER_SEC);
    }
    std::printf("  %d clients connected (%d failed), %d still accepted bytes after %d s\n",
                static_cast<int>(socks.size()), failed, still_open, o.slow_seconds);
    socks.clear();
    long peak = watch.stop();
    Snapshot after = _settled(d.pid, before);
    _report("slow clients", before, peak, during, after, probe);
    return failed == 0;
}

// ---- start-up

void _raise_fd_limit() {
    rlimit rl{};
    if (getrlimit(RLIMIT_NOFILE, &rl) == 0) {
        rl.rlim_cur = rl.rlim_max;
        setrlimit(RLIMIT_NOFILE, &rl);
    }
}

bool _start(const std::string& path, Daemon& d) {
    int out[2];
    if (pipe2(out, O_CLOEXEC) != 0) return false;
    char root[] = "/tmp/bench-load-XXXXXX";
    if (!mkdtemp(root)) return false;
    d.root = root;
    std::ofstream(d.root + "/small.txt") << "a small file the tabs read\n";
    d.pid = fork();
    if (d.pid < 0) return false;
    if (d.pid == 0) {
        dup2(out[1], 1);
        int devnull = open("/dev/null", O_WRONLY);
        dup2(devnull, 2);  // two log lines per session would only slow the figures down
        execl(path.c_str(), path.c_str(), "--port", "0", "--root", root, "--web", root, nullptr);
        _exit(127);
    }
    close(out[1]);
    Fd r(out[0]);
    std::string text;
    char buf[512];
    while (text.find('\n') == std::string::npos) {
        ssize_t n = read(r.get(), buf, sizeof buf);
        if (n <= 0) return false;
        text.append(buf, static_cast<size_t>(n));
    }
    char token[128] = {};
    if (sscanf(text.c_str(), "http://127.0.0.1:%d/?t=%127[0-9a-f]", &d.port, token) != 2)
        return false;
    d.token = token;
    return true;
}

bool _parse(int argc, char** argv, Options& o) {
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        if (i + 1 >= argc) return false;
        std::string v = argv[++i];
        if (a == "--quelmar")
            o.quelmar = v;
        else if (a == "--only")
            o.only = v;
        else if (a == "--sessions")
            o.sessions = std::atoi(v.c_str());
        else if (a == "--connections")
            o.connections = std::atoi(v.c_str());
        else if (a == "--slow")
            o.slow = std::atoi(v.c_str());
        else if (a == "--slow-seconds")
            o.slow_seconds = std::atoi(v.c_str());
        else
            return false;
    }
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    Options o;
    if (!_parse(argc, argv, o)) {
        std::fprintf(stderr,
                     "usage: bench_load [--quelmar PATH] [--only sessions|churn|slow] "
                     "[--sessions N] [--connections N] [--slow N] [--slow-seconds S]\n");
        return 2;
    }
    signal(SIGPIPE, SIG_IGN);
    _raise_fd_limit();
    Daemon d;
    if (!_start(o.quelmar, d)) {
        std::fprintf(stderr, "bench_load: cannot start %s\n", o.quelmar.c_str());
        return 1;
    }
    Probe probe(d);
    bool ok = probe.start();
    sleep_ns(300 * NS_PER_MS);
    Snapshot idle = _snapshot(d.pid);
    std::printf(
        "quelmar pid %d on port %d: idle with one tab, %ld KiB RSS, %d descriptors, %d "
        "threads\n",
        d.pid, d.port, idle.rss_kib, idle.fds, idle.threads);
    if (ok && (o.only.empty() || o.only == "sessions")) ok = _load_sessions(d, o, probe) && ok;
    if (ok && (o.only.empty() || o.only == "churn")) ok = _load_churn(d, o, probe) && ok;
    if (ok && (o.only.empty() || o.only == "slow")) ok = _load_slow(d, o, probe) && ok;
    probe.stop();
    kill(d.pid, SIGKILL);
    waitpid(d.pid, nullptr, 0);
    std::error_code ec;
    std::filesystem::remove_all(d.root, ec);
    return ok ? 0 : 1;
}
