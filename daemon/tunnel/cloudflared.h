// How cloudflared is started: its argument vector, the environment it may see, and the
// spawn shared by the version probe and the tunnel runs.
#pragma once

#include <sys/types.h>

#include <string>
#include <string_view>
#include <vector>

// g_cfg.cloudflared, the fixed options, then the quick or the named tunnel's arguments.
std::vector<std::string> cloudflared_argv();

// The entries of env, in order, that cloudflared may see: TZ, PATH, HOME, LANG, LC_ALL,
// TMPDIR, SSL_CERT_* / ssl_cert_*, *_PROXY / *_proxy, but never TUNNEL_* / tunnel_*.
std::vector<std::string> cloudflared_env(const std::vector<std::string>& env);

// A pipe whose two ends are close-on-exec from the start; false when none could be made.
class Fd;
bool make_cloexec_pipe(Fd& read_end, Fd& write_end);

// The daemon's own environment as a list.
std::vector<std::string> current_environment();

struct Spawned {
    pid_t pid = -1;
    int err = 0;  // errno of the failed start
};

// Starts argv[0] (an absolute path) with env, working directory "/", standard input
// /dev/null and standard output and error both out_fd. With own_group the program leads a
// process group of its own, so that killing the group reaches whatever it started.
Spawned spawn_joined(const std::vector<std::string>& argv, const std::vector<std::string>& env,
                     int out_fd, bool own_group);
