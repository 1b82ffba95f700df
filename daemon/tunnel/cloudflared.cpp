// How cloudflared is started.
#include "daemon/tunnel/cloudflared.h"

#include "daemon/config/config.h"

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

std::vector<std::string> current_environment() {
    std::vector<std::string> out;
    for (char** e = environ; e && *e; ++e) out.emplace_back(*e);
    return out;
}

Spawned spawn_joined(const std::vector<std::string>& argv, const std::vector<std::string>& env,
                     int out_fd, bool own_group) {
    Spawn_Options options;
    options.argv = argv;
    options.env = env;
    options.cwd = "/";
    options.out = out_fd;
    options.err = out_fd;
    options.own_group = own_group;
    return spawn_program(argv[0], options);
}
