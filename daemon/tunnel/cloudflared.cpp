// How cloudflared is started.
#include "daemon/tunnel/cloudflared.h"

#include <signal.h>
#include <spawn.h>

#include <cerrno>

#include "core/base/config.h"
#include "core/base/fd.h"

extern char** environ;

namespace {

bool _env_name_allowed(std::string_view name) {
    if (name.empty()) return false;
    if (name.size() >= 7 && (name.starts_with("TUNNEL_") || name.starts_with("tunnel_")))
        return false;
    if (name == "TZ" || name == "PATH" || name == "HOME" || name == "LANG" || name == "LC_ALL" ||
        name == "TMPDIR")
        return true;
    if (name.size() >= 9 && (name.starts_with("SSL_CERT_") || name.starts_with("ssl_cert_")))
        return true;
    return name.size() >= 6 && (name.ends_with("_PROXY") || name.ends_with("_proxy"));
}

std::vector<char*> _c_strings(const std::vector<std::string>& v) {
    std::vector<char*> out;
    out.reserve(v.size() + 1);
    for (const auto& s : v) out.push_back(const_cast<char*>(s.c_str()));
    out.push_back(nullptr);
    return out;
}

// Owns the two spawn records, so every path destroys them.
struct Spawn_Setup {
    posix_spawn_file_actions_t actions;
    posix_spawnattr_t attr;
    Spawn_Setup() {
        posix_spawn_file_actions_init(&actions);
        posix_spawnattr_init(&attr);
    }
    ~Spawn_Setup() {
        posix_spawn_file_actions_destroy(&actions);
        posix_spawnattr_destroy(&attr);
    }
};

}  // namespace

std::vector<std::string> cloudflared_argv() {
    std::vector<std::string> argv = {g_cfg.cloudflared, "tunnel",
                                     "--no-autoupdate", "--config",
                                     "/dev/null",       "--management-diagnostics=false",
                                     "--grace-period",  "1s",
                                     "--loglevel",      "info",
                                     "--protocol",      "auto"};
    std::string origin = "http://127.0.0.1:" + std::to_string(g_cfg.tunnel_port);
    if (g_cfg.tunnel == Tunnel_Mode::Named) {
        argv.insert(argv.end(), {"run", "--credentials-file", g_cfg.tunnel_creds, "--url", origin,
                                 g_cfg.tunnel_id});
    } else {
        argv.insert(argv.end(), {"--url", origin});
    }
    return argv;
}

std::vector<std::string> cloudflared_env(const std::vector<std::string>& env) {
    std::vector<std::string> out;
    for (const auto& entry : env) {
        size_t eq = entry.find('=');
        if (eq != std::string::npos && _env_name_allowed(std::string_view(entry).substr(0, eq)))
            out.push_back(entry);
    }
    return out;
}

bool make_cloexec_pipe(Fd& read_end, Fd& write_end) {
    int fds[2];
#if defined(__linux__)
    if (::pipe2(fds, O_CLOEXEC) != 0) return false;
#else
    // No pipe2 here: the ends are marked at once, leaving only a short window in which a
    // program started by another thread could inherit them.
    if (::pipe(fds) != 0) return false;
    set_cloexec(fds[0]);
    set_cloexec(fds[1]);
#endif
    read_end.reset(fds[0]);
    write_end.reset(fds[1]);
    return true;
}

std::vector<std::string> current_environment() {
    std::vector<std::string> out;
    for (char** e = environ; e && *e; ++e) out.emplace_back(*e);
    return out;
}

Spawned spawn_joined(const std::vector<std::string>& argv, const std::vector<std::string>& env,
                     int out_fd, bool own_group) {
    Spawn_Setup s;
    int err = posix_spawn_file_actions_addopen(&s.actions, 0, "/dev/null", O_RDONLY, 0);
    if (err == 0) err = posix_spawn_file_actions_adddup2(&s.actions, out_fd, 1);
    if (err == 0) err = posix_spawn_file_actions_adddup2(&s.actions, out_fd, 2);
    if (err == 0) err = posix_spawn_file_actions_addchdir_np(&s.actions, "/");
    // The daemon ignores SIGPIPE and SIGXFSZ for itself; the program gets the defaults back.
    sigset_t defaults, empty;
    sigemptyset(&defaults);
    sigaddset(&defaults, SIGPIPE);
    sigaddset(&defaults, SIGXFSZ);
    sigemptyset(&empty);
    short flags = POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK;
    if (own_group) flags |= POSIX_SPAWN_SETPGROUP;
    if (err == 0) err = posix_spawnattr_setsigdefault(&s.attr, &defaults);
    if (err == 0) err = posix_spawnattr_setsigmask(&s.attr, &empty);
    if (err == 0 && own_group) err = posix_spawnattr_setpgroup(&s.attr, 0);
    if (err == 0) err = posix_spawnattr_setflags(&s.attr, flags);
    if (err != 0) return {-1, err};
    std::vector<char*> args = _c_strings(argv);
    std::vector<char*> envp = _c_strings(env);
    pid_t pid = -1;
    err = posix_spawn(&pid, args[0], &s.actions, &s.attr, args.data(), envp.data());
    if (err != 0) return {-1, err};
    return {pid, 0};
}
