// The tunnel supervisor: runs, watches and restarts cloudflared.
#include "daemon/tunnel/supervisor.h"

#include <poll.h>
#include <signal.h>
#include <sys/wait.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <mutex>

#include "core/base/clock.h"
#include "core/base/fd.h"
#include "core/base/thread.h"
#include "core/platform/platform.h"
#include "daemon/config/config.h"
#include "daemon/tunnel/cloudflared.h"
#include "daemon/tunnel/duration.h"
#include "daemon/tunnel/internal.h"
#include "daemon/tunnel/state.h"

using namespace tunnel_internal;

namespace {

std::string _seconds(int64_t ns) {
    return std::to_string(ns / NS_PER_SEC) + "s";
}

// Whether the program has ended, without reaping it (the pid stays valid for kill).
bool _has_exited(pid_t pid) {
    siginfo_t info{};
    for (;;) {
        if (::waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOHANG | WNOWAIT) == 0)
            return info.si_pid == pid;
        // Anything but an interruption means there is nothing left to wait for.
        if (errno != EINTR) return true;
    }
}

// Reads what is readable; false when the output has ended.
bool _read_some(int fd, Tunnel_Run& run, const Tunnel_Out& out) {
    char chunk[TUNNEL_READ_CHUNK];
    ssize_t n;
    do n = ::read(fd, chunk, sizeof chunk);
    while (n < 0 && errno == EINTR);
    if (n < 0 && errno == EAGAIN) return true;
    if (n <= 0) return false;
    _feed(run, std::string_view(chunk, static_cast<size_t>(n)), mono_ns(), out);
    return true;
}

// After the exit: whatever is still in the pipe, without waiting for writers that are left.
void _drain(int fd, Tunnel_Run& run, const Tunnel_Out& out) {
    int flags = ::fcntl(fd, F_GETFL);
    if (flags < 0 || ::fcntl(fd, F_SETFL, flags | O_NONBLOCK) != 0) return;
    char chunk[TUNNEL_READ_CHUNK];
    for (;;) {
        ssize_t n = ::read(fd, chunk, sizeof chunk);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return;
        _feed(run, std::string_view(chunk, static_cast<size_t>(n)), mono_ns(), out);
    }
}

// The checks of one round while the program runs: announce limit, idle close, late kill.
void _watch(Tunnel_Run& run, pid_t pid, const Tunnel_Timing& timing, const Tunnel_Out& out) {
    int64_t now = mono_ns();
    if (!run.published && !run.killed && now - run.started > timing.announce_limit) {
        out.log("cloudflared announced no tunnel within " + _seconds(timing.announce_limit) +
                " — stopping it");
        ::kill(pid, SIGKILL);
        run.killed = true;
    }
    if (run.published && !run.idle_stop && g_cfg.tunnel_idle > 0) {
        bool stop = false;
        {
            std::lock_guard lock(g_tunnel.mu);
            stop = g_tunnel.idle_clock && g_tunnel.tabs == 0 &&
                   now - g_tunnel.last_use >= g_cfg.tunnel_idle;
            if (stop) _clear_host_locked();
        }
        if (stop) {
            run.idle_stop = true;
            run.idle_stop_at = now;
            ::kill(pid, SIGTERM);
        }
    }
    if (run.idle_stop && !run.killed && now - run.idle_stop_at >= timing.kill_after_term) {
        ::kill(pid, SIGKILL);
        run.killed = true;
    }
}

int _reap(pid_t pid, bool& known) {
    int status = 0;
    for (;;) {
        if (::waitpid(pid, &status, 0) == pid) {
            known = true;
            return status;
        }
        if (errno != EINTR) {
            known = false;
            return 0;
        }
    }
}

std::string _retry_line(const Run_Result& r, int64_t wait) {
    if (!r.start_error.empty())
        return "cannot start cloudflared: " + r.start_error + " — retrying in " + _seconds(wait);
    if (g_cfg.tunnel == Tunnel_Mode::Named)
        return "cloudflared exited (" + r.exit + ") — reconnecting in " + _seconds(wait) +
               " (same link)";
    return "cloudflared exited (" + r.exit + ") — new tunnel in " + _seconds(wait) + " (new link)";
}

}  // namespace

std::string tunnel_internal::_exit_description(int status) {
    if (WIFSTOPPED(status)) return "status unknown";
    if (WIFSIGNALED(status)) return "signal " + std::to_string(WTERMSIG(status));
    return "status " + std::to_string(WEXITSTATUS(status));
}

int64_t tunnel_internal::_restart_wait(const Run_Result& r, int64_t delay,
                                       const Tunnel_Timing& timing) {
    return r.published && r.up_ns >= timing.stable_run ? timing.first_delay : delay;
}

int64_t tunnel_internal::_next_delay(int64_t wait, const Tunnel_Timing& timing) {
    return std::min(2 * wait, timing.delay_cap);
}

bool tunnel_internal::_idle_due(int64_t now) {
    if (g_cfg.tunnel_idle <= 0) return false;
    std::lock_guard lock(g_tunnel.mu);
    return g_tunnel.idle_clock && g_tunnel.tabs == 0 &&
           now - g_tunnel.last_use >= g_cfg.tunnel_idle;
}

Run_Result tunnel_internal::_tunnel_run(const Tunnel_Timing& timing, const Tunnel_Out& out) {
    Run_Result result;
    Fd r, w;
    if (!make_cloexec_pipe(r, w)) {
        result.start_error = "cannot make a pipe";
        return result;
    }
    std::vector<std::string> argv = cloudflared_argv();
    Spawned s = spawn_joined(argv, cloudflared_env(current_environment()), w.get(), false);
    if (s.pid < 0) {
        result.start_error = "cannot run " + argv[0] + ": " + std::strerror(s.error);
        return result;
    }
    g_child_pid.store(s.pid);
    w.reset();

    Tunnel_Run run;
    run.quick = g_cfg.tunnel != Tunnel_Mode::Named;
    run.started = mono_ns();
    if (!run.quick) run.host = g_cfg.tunnel_host;
    run.line.reserve(TUNNEL_LINE_CAPACITY);

    bool ended = false;
    for (;;) {
        if (!ended) {
            struct pollfd p {
                r.get(), POLLIN, 0
            };
            int n = ::poll(&p, 1, static_cast<int>(timing.poll / NS_PER_MS));
            if (n > 0) ended = !_read_some(r.get(), run, out);
        }
        if (_has_exited(s.pid)) break;
        _watch(run, s.pid, timing, out);
        if (ended) sleep_ns(timing.recheck);
    }

    run.exited = true;
    if (!ended) _drain(r.get(), run, out);
    if (!run.line.empty()) {
        _on_line(run, run.line, mono_ns(), out);
        run.line.clear();
    }
    if (run.suppressed != 0)
        out.log("cloudflared: (" + std::to_string(run.suppressed) + " of its lines not shown)");

    // Cleared before the reap, so the exit-signal handler never kills a reused pid.
    g_child_pid.store(0);
    bool known = false;
    int status = _reap(s.pid, known);
    result.exit = known ? _exit_description(status) : "status unknown";
    if (run.published) {
        std::lock_guard lock(g_tunnel.mu);
        _clear_host_locked();
    }
    result.published = run.published;
    if (run.published) result.up_ns = mono_ns() - run.published_at;
    result.idle_stop = run.idle_stop;
    return result;
}

void tunnel_internal::_tunnel_supervise(const Tunnel_Timing& timing, const Tunnel_Out& out) {
    int64_t delay = timing.first_delay;
    for (;;) {
        Run_Result r = _tunnel_run(timing, out);
        if (r.idle_stop || _idle_due(mono_ns())) break;
        int64_t wait = _restart_wait(r, delay, timing);
        out.log(_retry_line(r, wait));
        sleep_ns(wait);
        delay = _next_delay(wait, timing);
        if (_idle_due(mono_ns())) break;
    }
    out.log("no tab on the tunnel for " + format_duration(g_cfg.tunnel_idle) +
            " — closed it; the local link still works (restart quelmar for a new tunnel link)");
}

bool start_tunnel_supervisor() {
    return start_detached([] { _tunnel_supervise(TUNNEL_TIMING, tunnel_default_out()); });
}
