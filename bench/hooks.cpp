// Permission hook throughput and dravik latency: questions per second through one hook
// whose tab answers at once, and the median time of one whole dravik question.
//
//   bench_hooks [path/to/dravik] [dravik runs, default 1000] [questions, default 20000]
#include <poll.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "core/base/bytes.h"
#include "core/base/clock.h"
#include "core/base/fd.h"
#include "core/platform/platform.h"
#include "daemon/hooks/hooks.h"
#include "daemon/session/session.h"

extern char** environ;

namespace {

const std::string QUESTION =
    "{\"session_id\":\"b\",\"hook_event_name\":\"PreToolUse\",\"tool_name\":\"Bash\","
    "\"tool_input\":{\"command\":\"ls\"}}";

// The tab: reads the daemon's frames from its end of the socketpair and answers every
// Hook_Req with "allow\n" at once, on this one thread (it plays the session thread).
void tab_loop(Session& s, int peer, std::atomic<bool>& stop) {
    std::string buf;
    char tmp[65536];
    while (!stop) {
        struct pollfd p {
            peer, POLLIN, 0
        };
        if (poll(&p, 1, 50) <= 0) continue;
        ssize_t n = recv(peer, tmp, sizeof tmp, 0);
        if (n <= 0) return;
        buf.append(tmp, static_cast<size_t>(n));
        for (;;) {
            if (buf.size() < 2) break;
            uint64_t len = static_cast<unsigned char>(buf[1]) & 0x7f;
            size_t head = len == 126 ? 4 : len == 127 ? 10 : 2;
            if (buf.size() < head) break;
            if (head > 2) {
                len = 0;
                for (size_t i = 2; i < head; ++i)
                    len = (len << 8) | static_cast<unsigned char>(buf[i]);
            }
            if (buf.size() < head + len) break;
            std::string_view msg(buf.data() + head, len);
            if (msg.size() >= 9 && static_cast<Msg_Kind>(msg[0]) == Msg_Kind::Hook_Req) {
                std::string body(msg.substr(5, 4));
                body += "allow\n";
                hook_dispatch(s, Msg_Kind::Hook_Reply, get_u32le(msg.substr(1)), body);
            }
            buf.erase(0, head + len);
        }
    }
}

bool ask(const std::string& path) {
    int fd = socket(AF_UNIX, SOCK_STREAM, 0);
    set_cloexec(fd);
    struct sockaddr_un a;
    std::memset(&a, 0, sizeof a);
    a.sun_family = AF_UNIX;
    std::memcpy(a.sun_path, path.data(), path.size());
    bool ok = connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
    std::string req = "REQ " + QUESTION + "\n";
    ok = ok && send(fd, req.data(), req.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(req.size());
    shutdown(fd, SHUT_WR);
    char ans[64];
    ssize_t n = ok ? recv(fd, ans, sizeof ans, MSG_WAITALL) : -1;
    close(fd);
    return n == 6 && std::memcmp(ans, "allow\n", 6) == 0;
}

// Questions per second with `clients` helpers asking one after another each.
double questions_per_second(const std::string& path, int clients, int total) {
    std::atomic<int> failures{0};
    int64_t start = mono_ns();
    std::vector<std::thread> threads;
    for (int c = 0; c < clients; ++c)
        threads.emplace_back([&] {
            for (int i = 0; i < total / clients; ++i)
                if (!ask(path)) ++failures;
        });
    for (auto& t : threads) t.join();
    double secs = static_cast<double>(mono_ns() - start) / NS_PER_SEC;
    if (failures) std::fprintf(stderr, "%d questions failed\n", failures.load());
    return (total / clients) * clients / secs;
}

// One dravik process: start, stdin, decision line on stdout, exit. Nanoseconds, or -1.
int64_t one_dravik(const std::string& dravik, const std::string& path) {
    int in[2], out[2];
    if (pipe(in) != 0) return -1;
    if (pipe(out) != 0) {
        close(in[0]);
        close(in[1]);
        return -1;
    }
    for (int fd : {in[0], in[1], out[0], out[1]}) set_cloexec(fd);  // only the dup2s pass
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_adddup2(&fa, in[0], 0);
    posix_spawn_file_actions_adddup2(&fa, out[1], 1);
    std::string env_sock = "EDITOR_HOOK_SOCK=" + path;
    char* argv[] = {const_cast<char*>(dravik.c_str()), nullptr};
    char* envp[] = {env_sock.data(), nullptr};
    int64_t start = mono_ns();
    pid_t pid;
    int rc = posix_spawn(&pid, dravik.c_str(), &fa, nullptr, argv, envp);
    posix_spawn_file_actions_destroy(&fa);
    close(in[0]);
    close(out[1]);
    if (rc != 0) return -1;
    ssize_t w = write(in[1], QUESTION.data(), QUESTION.size());
    close(in[1]);
    std::string line;
    char tmp[512];
    ssize_t n;
    while (line.find('\n') == std::string::npos && (n = read(out[0], tmp, sizeof tmp)) > 0)
        line.append(tmp, static_cast<size_t>(n));
    int64_t elapsed = mono_ns() - start;
    close(out[0]);
    int status;
    waitpid(pid, &status, 0);
    bool allowed = line.find("\"permissionDecision\":\"allow\"") != std::string::npos;
    return w > 0 && allowed ? elapsed : -1;
}

}  // namespace

int main(int argc, char** argv) {
    std::string self = own_executable_path();
    std::string dravik = argc > 1 ? argv[1] : self.substr(0, self.rfind('/')) + "/../dravik";
    int runs = argc > 2 ? std::atoi(argv[2]) : 1000;
    int questions = argc > 3 ? std::atoi(argv[3]) : 20000;

    int sv[2];
    if (socketpair(AF_UNIX, SOCK_STREAM, 0, sv) != 0) return 1;
    set_cloexec(sv[0]);
    set_cloexec(sv[1]);
    auto* s = new Session;
    s->sock = sv[0];
    hook_dispatch(*s, Msg_Kind::Hook_Listen, 1, "");
    std::string path;
    {
        s->mu.lock();
        auto it = s->hooks.find(1);
        if (it != s->hooks.end()) path = it->second->path;
        s->mu.unlock();
    }
    if (path.empty()) {
        std::fprintf(stderr, "no hook\n");
        return 1;
    }
    std::atomic<bool> stop{false};
    std::thread tab([&] { tab_loop(*s, sv[1], stop); });

    for (int clients : {1, 4})
        std::printf("questions/s through one hook, %d helper(s) asking: %.0f\n", clients,
                    questions_per_second(path, clients, questions));

    std::vector<int64_t> times;
    int failed = 0;
    for (int i = 0; i < runs; ++i) {
        int64_t t = one_dravik(dravik, path);
        if (t < 0)
            ++failed;
        else
            times.push_back(t);
    }
    std::sort(times.begin(), times.end());
    if (!times.empty())
        std::printf("dravik, %zu runs in sequence: median %.3f ms, p90 %.3f ms, min %.3f ms%s\n",
                    times.size(), times[times.size() / 2] / 1e6, times[times.size() * 9 / 10] / 1e6,
                    times.front() / 1e6, failed ? " (some runs failed)" : "");
    else
        std::printf("dravik: no successful run (%s)\n", dravik.c_str());

    stop = true;
    tab.join();
    hook_close(*s, 1);
    session_unref(*s);
    close(sv[0]);
    close(sv[1]);
    return failed ? 1 : 0;
}
