// Reading cloudflared's output: lines, the announced host, publication and the echo.
#include "daemon/tunnel/lines.h"

#include <unistd.h>

#include <cerrno>
#include <mutex>

#include "core/base/ascii.h"
#include "daemon/config/config.h"
#include "core/base/fd.h"
#include "core/base/log.h"
#include "core/base/write_all.h"
#include "daemon/tunnel/internal.h"
#include "daemon/tunnel/prepare.h"
#include "daemon/tunnel/state.h"

using namespace tunnel_internal;

namespace {

constexpr std::string_view REGISTERED = "Registered tunnel connection";
constexpr std::string_view EMPTY_CONFIG = "Configuration file /dev/null was empty";
constexpr size_t LABEL_MAX = 63;
constexpr size_t LEVEL_MIN_OFFSET = 20;  // a time stamp is at least this long

bool _host_char(char c) {
    return (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '.' || c == '-';
}

bool _blank(std::string_view s) {
    for (char c : s)
        if (!is_ascii_space(c)) return false;
    return true;
}

bool _label_ok(std::string_view label) {
    if (label.empty() || label.size() > LABEL_MAX || label == "api") return false;
    if (label.front() == '-' || label.back() == '-' || label.find("--") != std::string_view::npos)
        return false;
    for (char c : label)
        if (!((c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-')) return false;
    return true;
}

// The boxed form "|" spaces "https://" host spaces "|", for the "https://" at pos.
std::string_view _boxed_host_at(std::string_view line, size_t pos) {
    size_t before = pos;
    while (before > 0 && line[before - 1] == ' ') --before;
    if (before == pos || before == 0 || line[before - 1] != '|') return {};
    size_t begin = pos + 8, end = begin;
    while (end < line.size() && _host_char(line[end])) ++end;
    size_t after = end;
    while (after < line.size() && line[after] == ' ') ++after;
    if (after == end || after >= line.size() || line[after] != '|') return {};
    return line.substr(begin, end - begin);
}

bool _host_acceptable(std::string_view host) {
    size_t dot = host.find('.');
    return dot != std::string_view::npos && host.substr(dot + 1) == QUICK_TUNNEL_DOMAIN &&
           _label_ok(host.substr(0, dot));
}

bool _echoable(std::string_view line) {
    if (_blank(line) || line.find(EMPTY_CONFIG) != std::string_view::npos) return false;
    std::string_view level = log_level_of(line);
    return !(level == "TRC" || level == "DBG" || level == "INF");
}

void _echo(Tunnel_Run& run, std::string_view line, int64_t now, const Tunnel_Out& out) {
    if (run.window_count != 0 && now - run.window_start < ECHO_WINDOW_NS) {
        ++run.window_count;
        if (run.window_count <= ECHO_LIMIT) {
            out.log("cloudflared: " + quote(line.substr(0, QUOTED_LINE_LIMIT)));
            return;
        }
        if (run.window_count == ECHO_LIMIT + 1)
            out.log("cloudflared: more than " + std::to_string(ECHO_LIMIT) + " lines in " +
                    std::to_string(ECHO_WINDOW_NS / 1'000'000'000) +
                    "s — not repeating them until that time is up");
        ++run.suppressed;
        return;
    }
    if (run.suppressed != 0) {
        out.log("cloudflared: (" + std::to_string(run.suppressed) + " of its lines not shown)");
        run.suppressed = 0;
    }
    run.window_start = now;
    run.window_count = 1;
    out.log("cloudflared: " + quote(line.substr(0, QUOTED_LINE_LIMIT)));
}

}  // namespace

Tunnel_Out tunnel_default_out() {
    return {[](std::string_view line) { log_line(line); },
            [](std::string_view bytes) { write_all(STDOUT_FILENO, bytes); }};
}

std::string tunnel_link(std::string_view host, std::string_view token) {
    std::string link = "https://";
    link.append(host).append("/#t=").append(token);
    return link;
}

void _clear_host_locked() {
    g_tunnel.host.clear();
    g_tunnel.token.clear();
}

std::string quick_host_of(std::string_view line) {
    for (size_t pos = line.find("https://", 1); pos != std::string_view::npos;
         pos = line.find("https://", pos + 1)) {
        std::string_view host = _boxed_host_at(line, pos);
        if (_host_acceptable(host)) return std::string(host);
    }
    return {};
}

std::string_view log_level_of(std::string_view line) {
    size_t space = line.find(' ');
    if (space == std::string_view::npos || space < LEVEL_MIN_OFFSET) return {};
    if (line.substr(0, space).find('T') == std::string_view::npos) return {};
    std::string_view level = line.substr(space + 1, 3);
    if (level.size() != 3) return {};
    if (space + 4 < line.size() && line[space + 4] != ' ') return {};
    for (std::string_view known : {"TRC", "DBG", "INF", "WRN", "ERR", "FTL", "PNC"})
        if (level == known) return level;
    return {};
}

void tunnel_internal::_feed(Tunnel_Run& run, std::string_view bytes, int64_t now,
                            const Tunnel_Out& out) {
    for (char c : bytes) {
        if (c == '\n') {
            std::string_view line = run.line;
            while (!line.empty() && line.back() == '\r') line.remove_suffix(1);
            _on_line(run, line, now, out);
            run.line.clear();
            continue;
        }
        if (run.line.size() >= TUNNEL_LINE_LIMIT) {
            _on_line(run, run.line, now, out);
            run.line.clear();
        }
        run.line.push_back(c);
    }
}

void tunnel_internal::_on_line(Tunnel_Run& run, std::string_view line, int64_t now,
                               const Tunnel_Out& out) {
    if (run.quick && run.host.empty()) {
        run.host = quick_host_of(line);
        bool looks_announced = line.find("https://") != std::string_view::npos &&
                               line.find('|') != std::string_view::npos;
        if (run.host.empty() && looks_announced && !run.warned) {
            run.warned = true;
            out.log("cloudflared announced " + quote(line.substr(0, QUOTED_LINE_LIMIT)) +
                    ", not a <label>." + std::string(QUICK_TUNNEL_DOMAIN) +
                    " address — not using it");
        }
    }
    if (line.find(REGISTERED) != std::string_view::npos) run.registered = true;
    // A killed program's leftover output announces nothing that could still be reached.
    bool running = !run.killed && !run.exited;
    if (!run.published && running && run.registered && !run.host.empty())
        _tunnel_publish(run, now, out);
    if (_echoable(line)) _echo(run, line, now, out);
}

void tunnel_internal::_tunnel_publish(Tunnel_Run& run, int64_t now, const Tunnel_Out& out) {
    run.published = true;
    run.published_at = now;
    std::string token = run.quick ? new_tunnel_token() : g_tunnel.named_token;
    {
        std::lock_guard lock(g_tunnel.mu);
        g_tunnel.host = run.host;
        g_tunnel.token = token;
        if (!g_tunnel.idle_clock) {
            g_tunnel.idle_clock = true;
            g_tunnel.last_use = now;
        }
    }
    out.link(tunnel_link(run.host, token) + "\n");
    out.log("tunnel up: https://" + run.host +
            " — open the link just printed on stdout, in any browser" +
            (run.quick ? " (a new quick tunnel can take a minute to become reachable)" : ""));
}
