// Starting a program: posix_spawn, or fork and exec for one with a controlling terminal.
#include "core/base/spawn.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>

#include "core/platform/platform.h"

extern char** environ;

namespace {

// Owns the two spawn records, so every path destroys them.
struct Spawn_Setup {
    posix_spawn_file_actions_t actions;
    posix_spawnattr_t attr;
    Spawn_Setup() {
        ::posix_spawn_file_actions_init(&actions);
        ::posix_spawnattr_init(&attr);
    }
    ~Spawn_Setup() {
        ::posix_spawn_file_actions_destroy(&actions);
        ::posix_spawnattr_destroy(&attr);
    }
    Spawn_Setup(const Spawn_Setup&) = delete;
    Spawn_Setup& operator=(const Spawn_Setup&) = delete;
};

// One standard stream of the child: the given descriptor, or /dev/null.
int _redirect(posix_spawn_file_actions_t& actions, int fd, int target) {
    if (fd >= 0) return ::posix_spawn_file_actions_adddup2(&actions, fd, target);
    return ::posix_spawn_file_actions_addopen(&actions, target, "/dev/null", O_RDWR, 0);
}

int _set_actions(posix_spawn_file_actions_t& actions, const Spawn_Options& o) {
    int err = _redirect(actions, o.in, 0);
    if (err == 0) err = _redirect(actions, o.out, 1);
    if (err == 0) err = _redirect(actions, o.err, 2);
    if (err == 0 && !o.cwd.empty())
        err = ::posix_spawn_file_actions_addchdir_np(&actions, o.cwd.c_str());
    return err;
}

int _set_attributes(posix_spawnattr_t& attr, const Spawn_Options& o) {
    sigset_t defaults, none;
    sigemptyset(&defaults);
    sigaddset(&defaults, SIGPIPE);
    sigaddset(&defaults, SIGXFSZ);
    sigemptyset(&none);
    short flags = POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK;
    if (o.own_group) flags |= POSIX_SPAWN_SETPGROUP;
    int err = ::posix_spawnattr_setsigdefault(&attr, &defaults);
    if (err == 0) err = ::posix_spawnattr_setsigmask(&attr, &none);
    if (err == 0 && o.own_group) err = ::posix_spawnattr_setpgroup(&attr, 0);
    if (err == 0) err = ::posix_spawnattr_setflags(&attr, flags);
    return err;
}

std::vector<char*> _c_strings(const std::vector<std::string>& strings) {
    std::vector<char*> out;
    out.reserve(strings.size() + 1);
    for (const std::string& s : strings) out.push_back(const_cast<char*>(s.c_str()));
    out.push_back(nullptr);
    return out;
}

// A program with a controlling terminal. posix_spawn cannot give it one on every system:
// on Linux, opening the slave in a file action after POSIX_SPAWN_SETSID makes it the
// controlling terminal, but BSD kernels, macOS among them, make a terminal controlling only
// through the TIOCSCTTY ioctl issued in the new session, which no file action can do. So
// this child is made by fork on every system (one path, the one the tests run), and from
// fork to exec it calls only async-signal-safe functions: the daemon has other threads,
// whose locks may be held at the fork. Everything it needs is prepared before.
struct Terminal_Exec {
    const char* path;
    char* const* argv;
    char* const* envp;
    const char* cwd;  // nullptr: stay
    int terminal;
    int report;    // close-on-exec: the exec closes it, a failure writes its errno there
    int fd_limit;  // descriptors from 3 up to this one are closed
};

// Where posix_spawn cannot help (a forked child has no spawn attributes), the
// child closes every descriptor above 2 before the exec, so one another thread made without
// close-on-exec at birth never reaches the program. Descriptors are numbered lowest free
// first, so none stands above this many.
constexpr rlim_t CHILD_FD_SWEEP_MAX = 65536;

int _fd_limit() {
    struct rlimit rl {};
    if (::getrlimit(RLIMIT_NOFILE, &rl) != 0 || rl.rlim_cur == RLIM_INFINITY ||
        rl.rlim_cur > CHILD_FD_SWEEP_MAX)
        return static_cast<int>(CHILD_FD_SWEEP_MAX);
    return static_cast<int>(rl.rlim_cur);
}

// A program with a terminal of its own gets the signals a terminal sends back at their
// defaults (Ctrl+C must interrupt it even when the daemon's parent left SIGINT ignored), and
// like every program SIGPIPE and SIGXFSZ.
constexpr int TERMINAL_CHILD_DEFAULTS[] = {SIGPIPE, SIGXFSZ, SIGINT,  SIGQUIT, SIGHUP,
                                           SIGTSTP, SIGTTIN, SIGTTOU, SIGWINCH};

[[noreturn]] void _child_failed(int report, int err) {
    ssize_t n = ::write(report, &err, sizeof err);
    (void)n;
    ::_exit(127);
}

[[noreturn]] void _terminal_child(const Terminal_Exec& x) {
    if (::setsid() < 0) _child_failed(x.report, errno);
    if (::ioctl(x.terminal, TIOCSCTTY, 0) < 0) _child_failed(x.report, errno);
    for (int fd = 0; fd <= 2; ++fd)
        if (::dup2(x.terminal, fd) < 0) _child_failed(x.report, errno);
    for (int fd = 3; fd < x.fd_limit; ++fd)
        if (fd != x.report) ::close(fd);
    if (x.cwd != nullptr && ::chdir(x.cwd) != 0) _child_failed(x.report, errno);
    struct sigaction dfl {};
    dfl.sa_handler = SIG_DFL;
    for (int sig : TERMINAL_CHILD_DEFAULTS) ::sigaction(sig, &dfl, nullptr);
    sigset_t none;
    sigemptyset(&none);
    ::sigprocmask(SIG_SETMASK, &none, nullptr);
    ::execve(x.path, x.argv, x.envp);
    _child_failed(x.report, errno);
}

Spawned _spawn_in_terminal(const std::string& path, const Spawn_Options& o) {
    std::vector<char*> argv = _c_strings(o.argv);
    std::vector<char*> envp;
    if (o.env) envp = _c_strings(*o.env);
    Fd report_r, report_w;
    if (!make_cloexec_pipe(report_r, report_w)) return {-1, errno};
    Terminal_Exec x{path.c_str(),
                    argv.data(),
                    o.env ? envp.data() : environ,
                    o.cwd.empty() ? nullptr : o.cwd.c_str(),
                    o.terminal,
                    report_w.get(),
                    _fd_limit()};
    pid_t pid = ::fork();
    if (pid < 0) return {-1, errno};
    if (pid == 0) _terminal_child(x);
    report_w.reset();
    int err = 0;
    ssize_t n;
    do n = ::read(report_r.get(), &err, sizeof err);
    while (n < 0 && errno == EINTR);
    if (n <= 0) return {pid, 0};  // the exec closed the report pipe: the program runs
    // It failed before the program ran, so nobody else will ever reap it.
    while (::waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
    }
    return {-1, n == static_cast<ssize_t>(sizeof err) ? err : EIO};
}

}  // namespace

Spawned spawn_program(const std::string& path, const Spawn_Options& options) {
    if (options.terminal >= 0) return _spawn_in_terminal(path, options);
    Spawn_Setup setup;
    int err = _set_actions(setup.actions, options);
    if (err == 0) err = _set_attributes(setup.attr, options);
    // Last, as it closes whatever the actions before it left open.
    if (err == 0) err = spawn_keep_standard_streams_only(setup.actions, setup.attr);
    if (err != 0) return {-1, err};
    std::vector<char*> argv = _c_strings(options.argv);
    std::vector<char*> envp;
    if (options.env) envp = _c_strings(*options.env);
    pid_t pid = -1;
    err = ::posix_spawn(&pid, path.c_str(), &setup.actions, &setup.attr, argv.data(),
                        options.env ? envp.data() : environ);
    if (err != 0) return {-1, err};
    return {pid, 0};
}
