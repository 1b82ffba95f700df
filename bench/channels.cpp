// Program output streaming and Stdin/Stdout round trips through a tab session, side by
// side with websocketd running the same program, and the raw pipe + loopback TCP limit.
// With the argument "terminals": round trips through cat with pipes and with a terminal,
// and the time from Kill to Exit for a program with 100 descendants.
// The session runs in this process behind a loopback listener, as the daemon runs it.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "core/base/bytes.h"
#include "core/base/clock.h"
#include "core/base/thread.h"
#include "core/base/write_all.h"
#include "daemon/config/config.h"
#include "daemon/front/admission.h"
#include "daemon/messages/protocol.h"

extern char** environ;

namespace {

constexpr uint64_t STREAM_BYTES = 1ull << 30;  // head -c 1G
constexpr int ROUND_TRIPS = 20000;
constexpr size_t ROUND_TRIP_SIZE = 64;
constexpr int REPEATS = 5;
const char* const TOKEN = "00112233445566778899aabbccddeeff";

int _listen_any(int& port) {
    int ls = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    if (ls < 0 || ::bind(ls, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
        ::listen(ls, 64) != 0 || ::getsockname(ls, reinterpret_cast<sockaddr*>(&a), &len) != 0) {
        std::perror("listen");
        std::exit(1);
    }
    port = ntohs(a.sin_port);
    return ls;
}

int _connect(int port) {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
        ::close(fd);
        return -1;
    }
    int one = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    return fd;
}

// The daemon's front in this process: accepted connections go to handle_connection.
int _start_front(const std::string& root) {
    int port;
    int ls = _listen_any(port);
    g_cfg.port = port;
    g_cfg.token = TOKEN;
    g_cfg.root = root;
    start_detached([ls] {
        while (true) {
            int s = ::accept4(ls, nullptr, nullptr, SOCK_CLOEXEC);
            if (s >= 0) start_detached([s] { handle_connection(s, Listener::Loopback); });
        }
    });
    return port;
}

// A WebSocket client: masked frames out, server frames in without copying payloads out.
class Ws_Client {
  public:
    bool open(int port, const std::string& target) {
        fd_ = _connect(port);
        if (fd_ < 0) return false;
        std::string req = "GET " + target + " HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(port) +
                          "\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
                          "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\n"
                          "Sec-WebSocket-Version: 13\r\n\r\n";
        if (!send_all(fd_, req)) return false;
        while (buf_.find("\r\n\r\n") == std::string::npos)
            if (!_fill()) return false;
        size_t end = buf_.find("\r\n\r\n") + 4;
        bool ok = buf_.compare(0, 12, "HTTP/1.1 101") == 0;
        pos_ = end;
        return ok;
    }
    ~Ws_Client() {
        if (fd_ >= 0) ::close(fd_);
    }
    void close() {
        if (fd_ >= 0) ::close(fd_);
        fd_ = -1;
    }

    bool send(std::string_view payload) {
        std::string f;
        f.push_back(static_cast<char>(0x82));
        size_t n = payload.size();
        if (n < 126) {
            f.push_back(static_cast<char>(0x80 | n));
        } else if (n < 65536) {
            f.push_back(static_cast<char>(0x80 | 126));
            f.push_back(static_cast<char>(n >> 8));
            f.push_back(static_cast<char>(n));
        } else {
            f.push_back(static_cast<char>(0x80 | 127));
            for (int i = 7; i >= 0; --i) f.push_back(static_cast<char>(uint64_t(n) >> (8 * i)));
        }
        const unsigned char mask[4] = {0x12, 0x34, 0x56, 0x78};
        f.append(reinterpret_cast<const char*>(mask), 4);
        for (size_t i = 0; i < n; ++i) f.push_back(static_cast<char>(payload[i] ^ mask[i % 4]));
        return send_all(fd_, f);
    }
    bool send_msg(Msg_Kind kind, uint32_t id, std::string_view payload) {
        std::string m(1, static_cast<char>(kind));
        put_u32le(m, id);
        m.append(payload);
        return send(m);
    }

    // The next frame; payload points into the buffer until the next call.
    bool next(uint8_t& op, std::string_view& payload) {
        while (true) {
            size_t have = buf_.size() - pos_;
            const auto* b = reinterpret_cast<const unsigned char*>(buf_.data() + pos_);
            if (have >= 2) {
                uint64_t n = b[1] & 0x7f;
                size_t head = 2;
                if (n == 126 && have >= 4) {
                    n = (uint64_t(b[2]) << 8) | b[3];
                    head = 4;
                } else if (n == 127 && have >= 10) {
                    n = 0;
                    for (int i = 0; i < 8; ++i) n = (n << 8) | b[2 + i];
                    head = 10;
                } else if (n >= 126) {
                    head = 0;
                }
                if (head != 0 && have >= head + n) {
                    op = b[0] & 0x0f;
                    payload = std::string_view(buf_.data() + pos_ + head, n);
                    pos_ += head + n;
                    return true;
                }
            }
            if (!_fill()) return false;
        }
    }

  private:
    bool _fill() {
        if (pos_ > 0 && pos_ >= buf_.size() / 2) {
            buf_.erase(0, pos_);
            pos_ = 0;
        }
        size_t old = buf_.size();
        buf_.resize(old + READ_SIZE);
        ssize_t n;
        do n = ::recv(fd_, buf_.data() + old, READ_SIZE, 0);
        while (n < 0 && errno == EINTR);
        buf_.resize(old + (n > 0 ? size_t(n) : 0));
        return n > 0;
    }
    static constexpr size_t READ_SIZE = 256 * 1024;
    int fd_ = -1;
    std::string buf_;
    size_t pos_ = 0;
};

std::string _spawn_json(const std::vector<std::string>& argv) {
    std::string j = "{\"argv\":[";
    for (size_t i = 0; i < argv.size(); ++i) j += (i ? ",\"" : "\"") + argv[i] + "\"";
    return j + "]}";
}

// --- the websocketd side -----------------------------------------------------------

struct Websocketd {
    pid_t pid = -1;
    int port = 0;
    explicit Websocketd(const std::vector<std::string>& program) {
        int ls = _listen_any(port);
        ::close(ls);  // free again for websocketd; a race we accept in a benchmark
        std::vector<std::string> args = {"websocketd", "--binary", "--address=127.0.0.1",
                                         "--port=" + std::to_string(port), "--loglevel=fatal"};
        args.insert(args.end(), program.begin(), program.end());
        std::vector<char*> argv;
        for (auto& a : args) argv.push_back(a.data());
        argv.push_back(nullptr);
        posix_spawn_file_actions_t fa;
        posix_spawn_file_actions_init(&fa);
        posix_spawn_file_actions_addopen(&fa, 1, "/dev/null", O_WRONLY, 0);
        posix_spawn_file_actions_addopen(&fa, 2, "/dev/null", O_WRONLY, 0);
        if (posix_spawnp(&pid, "websocketd", &fa, nullptr, argv.data(), environ) != 0) pid = -1;
        posix_spawn_file_actions_destroy(&fa);
        for (int i = 0; i < 500 && pid > 0; ++i) {  // until it listens, at most 5 s
            int fd = _connect(port);
            if (fd >= 0) {
                ::close(fd);
                return;
            }
            sleep_ns(10000000);
        }
    }
    ~Websocketd() {
        if (pid <= 0) return;
        ::kill(pid, SIGTERM);
        ::waitpid(pid, nullptr, 0);
    }
};

// --- streaming -----------------------------------------------------------------------

// CPU seconds of this process and of every reaped descendant: the whole pipeline's cost,
// client included, which contention on a shared machine disturbs far less than wall time.
double _cpu_s() {
    double t = 0;
    for (int who : {RUSAGE_SELF, RUSAGE_CHILDREN}) {
        rusage u{};
        ::getrusage(who, &u);
        t += double(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
             double(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
    }
    return t;
}

struct Stream_Figure {
    double bytes_per_s = 0;
    double cpu_s = 0;  // for the whole GiB
};

template <typename F>
Stream_Figure _measure(F run) {
    double c0 = _cpu_s();
    double rate = run();
    return {rate, _cpu_s() - c0};
}

// Bytes per second, or 0 on failure.
double _stream_ours(int port) {
    Ws_Client c;
    if (!c.open(port, std::string("/ws?t=") + TOKEN)) return 0;
    uint8_t op;
    std::string_view p;
    if (!c.next(op, p)) return 0;  // Hello
    int64_t t0 = mono_ns();
    c.send_msg(Msg_Kind::Spawn, 1, _spawn_json({"head", "-c", "1G", "/dev/zero"}));
    uint64_t got = 0;
    while (c.next(op, p)) {
        if (p.size() < 5) continue;
        auto kind = static_cast<Msg_Kind>(p[0]);
        if (kind == Msg_Kind::Stdout) got += p.size() - 5;
        if (kind == Msg_Kind::Exit) break;
    }
    double s = double(mono_ns() - t0) / 1e9;
    return got == STREAM_BYTES ? double(got) / s : 0;
}

double _stream_websocketd() {
    Websocketd w({"head", "-c", "1G", "/dev/zero"});
    if (w.pid <= 0) return 0;
    Ws_Client c;
    int64_t t0 = mono_ns();
    if (!c.open(w.port, "/")) return 0;
    uint64_t got = 0;
    uint8_t op;
    std::string_view p;
    while (got < STREAM_BYTES && c.next(op, p))
        if (op == 2 || op == 0) got += p.size();
    double s = double(mono_ns() - t0) / 1e9;
    return got == STREAM_BYTES ? double(got) / s : 0;
}

// The same bytes through a pipe and one loopback TCP connection, 32 KiB reads: what any
// relay of this program's output could reach at best on this machine.
double _stream_raw() {
    int port;
    int ls = _listen_any(port);
    int64_t t0 = mono_ns();
    std::thread relay([ls] {
        int s = ::accept4(ls, nullptr, nullptr, SOCK_CLOEXEC);
        FILE* f = ::popen("head -c 1G /dev/zero", "r");
        std::vector<char> buf(32768);
        ssize_t n;
        while ((n = ::read(fileno(f), buf.data(), buf.size())) > 0)
            if (!send_all(s, std::string_view(buf.data(), size_t(n)))) break;
        ::pclose(f);
        ::close(s);
    });
    int fd = _connect(port);
    uint64_t got = 0;
    std::vector<char> buf(256 * 1024);
    ssize_t n;
    while ((n = ::recv(fd, buf.data(), buf.size(), 0)) > 0) got += size_t(n);
    double s = double(mono_ns() - t0) / 1e9;
    relay.join();
    ::close(fd);
    ::close(ls);
    return got == STREAM_BYTES ? double(got) / s : 0;
}

// --- round trips ---------------------------------------------------------------------

struct Latency {
    double median_us = 0, p99_us = 0;
};

Latency _summary(std::vector<int64_t>& ns) {
    if (ns.empty()) return {};
    std::sort(ns.begin(), ns.end());
    return {double(ns[ns.size() / 2]) / 1e3, double(ns[ns.size() * 99 / 100]) / 1e3};
}

Latency _round_trips_ours(int port) {
    Ws_Client c;
    if (!c.open(port, std::string("/ws?t=") + TOKEN)) return {};
    uint8_t op;
    std::string_view p;
    c.next(op, p);  // Hello
    c.send_msg(Msg_Kind::Spawn, 1, _spawn_json({"cat"}));
    std::string data(ROUND_TRIP_SIZE, 'x');
    std::vector<int64_t> ns;
    ns.reserve(ROUND_TRIPS);
    for (int i = 0; i < ROUND_TRIPS; ++i) {
        int64_t t0 = mono_ns();
        c.send_msg(Msg_Kind::Stdin, 1, data);
        size_t got = 0;
        while (got < ROUND_TRIP_SIZE && c.next(op, p))
            if (p.size() > 5 && static_cast<Msg_Kind>(p[0]) == Msg_Kind::Stdout)
                got += p.size() - 5;
        if (got < ROUND_TRIP_SIZE) return {};
        ns.push_back(mono_ns() - t0);
    }
    c.send_msg(Msg_Kind::Stdin_Close, 1, "");
    while (c.next(op, p))
        if (p.size() >= 5 && static_cast<Msg_Kind>(p[0]) == Msg_Kind::Exit) break;
    return _summary(ns);
}

Latency _round_trips_websocketd() {
    Websocketd w({"cat"});
    Ws_Client c;
    if (w.pid <= 0 || !c.open(w.port, "/")) return {};
    std::string data(ROUND_TRIP_SIZE, 'x');
    std::vector<int64_t> ns;
    ns.reserve(ROUND_TRIPS);
    uint8_t op;
    std::string_view p;
    for (int i = 0; i < ROUND_TRIPS; ++i) {
        int64_t t0 = mono_ns();
        c.send(data);
        size_t got = 0;
        while (got < ROUND_TRIP_SIZE && c.next(op, p))
            if (op == 2 || op == 0) got += p.size();
        if (got < ROUND_TRIP_SIZE) return {};
        ns.push_back(mono_ns() - t0);
    }
    return _summary(ns);
}

// --- terminals -----------------------------------------------------------------------

constexpr int TERMINAL_ROUNDS = 5;
constexpr int TRIPS_PER_ROUND = 4000;
constexpr int DESCENDANTS = 100;
const std::string PTY_MEMBER = ",\"pty\":{\"cols\":80,\"rows\":24}";

// A session with Hello read.
bool _open_session(Ws_Client& c, int port) {
    uint8_t op;
    std::string_view p;
    return c.open(port, std::string("/ws?t=") + TOKEN) && c.next(op, p);
}

// Reads until channel id has sent text on Stdout (true) or its Exit (false).
bool _wait_stdout(Ws_Client& c, uint32_t id, std::string_view text) {
    std::string seen;
    uint8_t op;
    std::string_view p;
    while (seen.find(text) == std::string::npos && c.next(op, p)) {
        if (p.size() < 5 || get_u32le(p.substr(1)) != id) continue;
        if (static_cast<Msg_Kind>(p[0]) == Msg_Kind::Exit) return false;
        if (static_cast<Msg_Kind>(p[0]) == Msg_Kind::Stdout) seen.append(p.substr(5));
    }
    return seen.find(text) != std::string::npos;
}

void _wait_exit(Ws_Client& c, uint32_t id) {
    uint8_t op;
    std::string_view p;
    while (c.next(op, p))
        if (p.size() >= 5 && static_cast<Msg_Kind>(p[0]) == Msg_Kind::Exit &&
            get_u32le(p.substr(1)) == id)
            return;
}

// 64-byte round trips through cat; with a terminal in raw mode without echo, so that the
// same 64 bytes come back and nothing else.
bool _trips(Ws_Client& c, uint32_t id, bool terminal, std::vector<int64_t>& ns) {
    std::string spawn = terminal ? "{\"argv\":[\"sh\",\"-c\",\"stty raw -echo && printf ready && "
                                   "exec cat\"]" +
                                       PTY_MEMBER + "}"
                                 : "{\"argv\":[\"sh\",\"-c\",\"printf ready; exec cat\"]}";
    c.send_msg(Msg_Kind::Spawn, id, spawn);
    if (!_wait_stdout(c, id, "ready")) return false;
    std::string data(ROUND_TRIP_SIZE, 'x');
    uint8_t op;
    std::string_view p;
    for (int i = 0; i < TRIPS_PER_ROUND; ++i) {
        int64_t t0 = mono_ns();
        c.send_msg(Msg_Kind::Stdin, id, data);
        size_t got = 0;
        while (got < ROUND_TRIP_SIZE && c.next(op, p))
            if (p.size() > 5 && static_cast<Msg_Kind>(p[0]) == Msg_Kind::Stdout)
                got += p.size() - 5;
        if (got < ROUND_TRIP_SIZE) return false;
        ns.push_back(mono_ns() - t0);
    }
    c.send_msg(Msg_Kind::Kill, id, "");
    _wait_exit(c, id);
    return true;
}

// Nanoseconds from Kill to Exit for a shell with DESCENDANTS background sleeps; -1 on failure.
int64_t _kill_to_exit(Ws_Client& c, uint32_t id, bool terminal) {
    std::string script = "i=0; while [ $i -lt " + std::to_string(DESCENDANTS) +
                         " ]; do sleep 300 & i=$((i+1)); done; echo ready; wait";
    c.send_msg(Msg_Kind::Spawn, id,
               "{\"argv\":[\"sh\",\"-c\",\"" + script + "\"]" + (terminal ? PTY_MEMBER : "") + "}");
    if (!_wait_stdout(c, id, "ready")) return -1;
    int64_t t0 = mono_ns();
    c.send_msg(Msg_Kind::Kill, id, "");
    _wait_exit(c, id);
    return mono_ns() - t0;
}

int _terminals(int port) {
    Ws_Client c;
    if (!_open_session(c, port)) return 1;
    std::vector<int64_t> pipe_ns, pty_ns, pipe_kill, pty_kill;
    uint32_t id = 1;
    for (int r = 0; r < TERMINAL_ROUNDS; ++r) {
        if (!_trips(c, id++, false, pipe_ns) || !_trips(c, id++, true, pty_ns)) return 1;
        pipe_kill.push_back(_kill_to_exit(c, id++, false));
        pty_kill.push_back(_kill_to_exit(c, id++, true));
    }
    Latency lp = _summary(pipe_ns), lt = _summary(pty_ns);
    std::printf("round trip, %zu bytes through cat, %d rounds of %d, interleaved\n",
                ROUND_TRIP_SIZE, TERMINAL_ROUNDS, TRIPS_PER_ROUND);
    std::printf("  pipes       median %7.1f us  p99 %7.1f us\n", lp.median_us, lp.p99_us);
    std::printf("  terminal    median %7.1f us  p99 %7.1f us\n", lt.median_us, lt.p99_us);
    std::printf("\nKill to Exit, a shell with %d background sleeps, %d rounds\n", DESCENDANTS,
                TERMINAL_ROUNDS);
    for (auto [name, v] : {std::pair{"pipes   ", &pipe_kill}, std::pair{"terminal", &pty_kill}}) {
        std::sort(v->begin(), v->end());
        std::printf("  %s    median %7.1f ms  max %7.1f ms\n", name,
                    double((*v)[v->size() / 2]) / 1e6, double(v->back()) / 1e6);
    }
    return 0;
}

double _median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v.empty() ? 0 : v[v.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
    ::signal(SIGPIPE, SIG_IGN);
    char cwd[4096];
    int port = _start_front(::getcwd(cwd, sizeof cwd) ? cwd : "/");
    if (argc > 1 && std::string(argv[1]) == "terminals") return _terminals(port);

    std::vector<double> raw, ours, theirs, raw_cpu, ours_cpu, theirs_cpu;
    for (int r = 0; r < REPEATS; ++r) {
        Stream_Figure a = _measure([] { return _stream_raw(); });
        Stream_Figure b = _measure([port] { return _stream_ours(port); });
        Stream_Figure c = _measure([] { return _stream_websocketd(); });
        raw.push_back(a.bytes_per_s);
        ours.push_back(b.bytes_per_s);
        theirs.push_back(c.bytes_per_s);
        raw_cpu.push_back(a.cpu_s);
        ours_cpu.push_back(b.cpu_s);
        theirs_cpu.push_back(c.cpu_s);
        std::printf(
            "stream run %d: raw %.0f MB/s (%.2f cpu-s), session %.0f MB/s (%.2f cpu-s), "
            "websocketd %.0f MB/s (%.2f cpu-s)\n",
            r + 1, a.bytes_per_s / 1e6, a.cpu_s, b.bytes_per_s / 1e6, b.cpu_s, c.bytes_per_s / 1e6,
            c.cpu_s);
    }
    double mr = _median(raw), mo = _median(ours), mt = _median(theirs);
    double cr = _median(raw_cpu), co = _median(ours_cpu), ct = _median(theirs_cpu);
    std::printf(
        "\nstreaming head -c 1G /dev/zero: median of %d runs; cpu-s: CPU seconds of the "
        "whole pipeline per GiB\n",
        REPEATS);
    std::printf("  raw pipe + loopback TCP  %6.0f MB/s  %5.2f cpu-s\n", mr / 1e6, cr);
    std::printf(
        "  session (quelmar)        %6.0f MB/s  %5.2f cpu-s  %3.0f%% of raw  %.2fx websocketd\n",
        mo / 1e6, co, mr > 0 ? 100 * mo / mr : 0, mt > 0 ? mo / mt : 0);
    std::printf("  websocketd --binary      %6.0f MB/s  %5.2f cpu-s  %3.0f%% of raw\n", mt / 1e6,
                ct, mr > 0 ? 100 * mt / mr : 0);

    Latency lo = _round_trips_ours(port);
    Latency lt = _round_trips_websocketd();
    std::printf("\nround trip, %zu bytes through cat, %d times\n", ROUND_TRIP_SIZE, ROUND_TRIPS);
    std::printf("  session (quelmar)    median %7.1f us  p99 %7.1f us\n", lo.median_us, lo.p99_us);
    std::printf("  websocketd --binary  median %7.1f us  p99 %7.1f us\n", lt.median_us, lt.p99_us);
    return 0;
}
