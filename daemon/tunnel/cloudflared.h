// How cloudflared is started: its argument vector, the environment it may see, and the
// spawn shared by the version probe and the tunnel runs.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "core/base/spawn.h"

// g_cfg.cloudflared, the fixed options, then the quick or the named tunnel's arguments.
std::vector<std::string> cloudflared_argv();

// The entries of env, in order, that cloudflared may see: TZ, PATH, HOME, LANG, LC_ALL,
// TMPDIR, SSL_CERT_* / ssl_cert_*, *_PROXY / *_proxy, but never TUNNEL_* / tunnel_*.
std::vector<std::string> cloudflared_env(const std::vector<std::string>& env);

// The daemon's own environment as a list.
std::vector<std::string> current_environment();

// Starts argv[0] (an absolute path) through spawn_program with env, working directory
// "/", standard input /dev/null and standard output and error both out_fd. With own_group
// the program leads a process group of its own, so that killing the group reaches
// whatever it started.
Spawned spawn_joined(const std::vector<std::string>& argv, const std::vector<std::string>& env,
                     int out_fd, bool own_group);
