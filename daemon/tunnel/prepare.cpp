// Preparing a tunnel: the web build, a recent enough cloudflared, a named tunnel's
// credentials, and the tunnel's start-up banners.
#include "daemon/tunnel/prepare.h"

#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <nlohmann/json.hpp>
#include <tuple>

#include "core/base/ascii.h"
#include "core/base/clock.h"
#include "core/base/decimal.h"
#include "core/base/fd.h"
#include "core/base/log.h"
#include "core/base/path.h"
#include "core/base/random.h"
#include "core/platform/platform.h"
#include "daemon/config/config.h"
#include "daemon/tunnel/cloudflared.h"
#include "daemon/tunnel/duration.h"
#include "daemon/tunnel/internal.h"
#include "daemon/tunnel/state.h"

using namespace tunnel_internal;

namespace {

constexpr size_t TUNNEL_TOKEN_BYTES = 32;
constexpr size_t UUID_TEXT_LENGTH = 36;
constexpr int64_t VERSION_PART_MAX = 1'000'000;
constexpr int64_t PROBE_REAP_POLL_NS = 10 * NS_PER_MS;

// The path against the current directory, or as given when that cannot be told.
std::string _absolute(const std::string& path) {
    if (!path.empty() && path[0] == '/') return clean_path(path);
    std::string buf(1024, '\0');
    while (::getcwd(buf.data(), buf.size()) == nullptr) {
        if (errno != ERANGE) return path;
        buf.resize(buf.size() * 2);
    }
    buf.resize(std::strlen(buf.c_str()));
    return clean_path(buf + "/" + path);
}

// Reads a non-negative decimal run of at most VERSION_PART_MAX at s[at...]; advances at.
std::optional<int64_t> _version_part(std::string_view s, size_t& at) {
    size_t end = at;
    while (end < s.size() && s[end] >= '0' && s[end] <= '9') ++end;
    Decimal n = parse_decimal(s.substr(at, end - at), VERSION_PART_MAX);
    if (!n.ok()) return std::nullopt;
    at = end;
    return static_cast<int64_t>(n.value);
}

// Waits for the probe to end within limit_ns; kills its group and waits on when it does not.
int _reap_within(pid_t pid, int64_t limit_ns) {
    int64_t deadline = mono_ns() + limit_ns;
    int status = 0;
    for (;;) {
        pid_t got = ::waitpid(pid, &status, WNOHANG);
        if (got == pid) return status;
        if (got < 0 && errno != EINTR) return 0;
        if (mono_ns() >= deadline) break;
        sleep_ns(PROBE_REAP_POLL_NS);
    }
    ::kill(-pid, SIGKILL);
    while (::waitpid(pid, &status, 0) < 0)
        if (errno != EINTR) return 0;
    return status;
}

// Reads the probe's output until end of file or deadline; false on the deadline.
bool _read_until(int fd, int64_t deadline, std::string& out) {
    char chunk[PROBE_CHUNK];
    for (;;) {
        int64_t left = deadline - mono_ns();
        if (left <= 0) return false;
        struct pollfd p {
            fd, POLLIN, 0
        };
        int n = ::poll(&p, 1, static_cast<int>(left / NS_PER_MS + 1));
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return true;
        if (n == 0) continue;
        ssize_t got = ::read(fd, chunk, sizeof chunk);
        if (got < 0 && (errno == EINTR || errno == EAGAIN)) continue;
        if (got <= 0) return true;
        if (out.size() < PROBE_KEEP_LIMIT) out.append(chunk, static_cast<size_t>(got));
    }
}

int _exit_code(int status) {
    if (WIFEXITED(status)) return WEXITSTATUS(status);
    if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
    return -1;
}

std::optional<std::string> _check_web_build() {
    std::string index = clean_path(g_cfg.web.empty() ? "index.html" : g_cfg.web + "/index.html");
    struct stat st;
    if (::stat(index.c_str(), &st) == 0 && S_ISREG(st.st_mode)) return std::nullopt;
    return "the tunnel serves this machine's own web build, and " + g_cfg.web +
           " has none (no index.html): run `make web` first, or pass --web DIR";
}

std::optional<std::string> _prepare_named() {
    std::string creds = _absolute(g_cfg.tunnel_creds);
    Fd fd(::open(creds.c_str(), O_RDONLY | O_CLOEXEC));
    std::string contents;
    int err = fd ? 0 : errno;
    char chunk[4096];
    while (fd && err == 0 && contents.size() <= CREDS_SIZE_LIMIT) {
        ssize_t n = ::read(fd.get(), chunk, sizeof chunk);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) err = errno;
        if (n <= 0) break;
        contents.append(chunk, static_cast<size_t>(n));
    }
    if (err != 0) return "--tunnel-creds: cannot read " + creds + ": " + std::strerror(err);
    std::optional<std::string> id;
    if (contents.size() <= CREDS_SIZE_LIMIT) id = tunnel_id_of(contents);
    if (!id)
        return "--tunnel-creds: " + creds +
               " has no TunnelID — it should be the credentials JSON that `cloudflared tunnel "
               "create NAME` wrote (~/.cloudflared/<UUID>.json)";
    g_cfg.tunnel_creds = creds;
    g_cfg.tunnel_id = *id;
    g_tunnel.named_token = new_tunnel_token();
    return std::nullopt;
}

}  // namespace

bool tunnel_internal::_is_executable(const std::string& path) {
    struct stat st;
    return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) &&
           ::access(path.c_str(), X_OK) == 0;
}

Text_Result tunnel_internal::_find_cloudflared(const std::string& name) {
    if (name.find('/') != std::string::npos) {
        std::string path = _absolute(name);
        if (_is_executable(path)) return {path, {}};
        return {{}, path + " is not an executable file"};
    }
    const char* env = std::getenv("PATH");
    std::string_view rest = env ? env : "";
    while (true) {
        size_t colon = rest.find(':');
        std::string_view entry = rest.substr(0, colon);
        if (!entry.empty()) {
            std::string candidate = clean_path(std::string(entry) + "/" + name);
            if (_is_executable(candidate)) return {_absolute(candidate), {}};
        }
        if (colon == std::string_view::npos) break;
        rest.remove_prefix(colon + 1);
    }
    return {{}, "there is no " + name + " on PATH"};
}

std::string tunnel_internal::_version_line(std::string_view output) {
    std::string_view line = trim_ascii_space(output);
    line = line.substr(0, line.find('\n'));
    return std::string(line.substr(0, VERSION_LINE_LIMIT));
}

Text_Result tunnel_internal::_cloudflared_probe(const std::string& path, int64_t answer_limit_ns,
                                                int64_t exit_limit_ns) {
    Fd r, w;
    if (!make_cloexec_pipe(r, w)) return {{}, "cannot make a pipe to run " + path};
    int64_t started = mono_ns();
    // A group of its own: a probe that has to be killed takes whatever it started with it.
    Spawned s =
        spawn_joined({path, "--version"}, cloudflared_env(current_environment()), w.get(), true);
    w.reset();
    if (s.pid < 0) return {{}, path + " does not run (" + std::strerror(s.error) + ")"};
    std::string out;
    bool answered = _read_until(r.get(), started + answer_limit_ns, out);
    if (!answered) {
        r.reset();
        ::kill(-s.pid, SIGKILL);
    }
    int status = _reap_within(s.pid, exit_limit_ns);
    if (!answered)
        return {{},
                "`" + path + " --version` did not answer within " +
                    std::to_string(answer_limit_ns / NS_PER_SEC) + "s"};
    std::string line = _version_line(out);
    if (WIFEXITED(status) && WEXITSTATUS(status) == 0 &&
        line.find("cloudflared") != std::string::npos)
        return {line, {}};
    return {{},
            "`" + path + " --version` does not work (exit status " +
                std::to_string(_exit_code(status)) + ", output " + quote(line) + ")"};
}

std::string tunnel_internal::_version_problem(const std::string& path, std::string_view line) {
    size_t at = line.find("version ");
    if (at == std::string_view::npos) return {};
    at += 8;
    auto major = _version_part(line, at);
    if (!major || at >= line.size() || line[at++] != '.') return {};
    auto minor = _version_part(line, at);
    if (!minor || at >= line.size() || line[at++] != '.') return {};
    auto patch = _version_part(line, at);
    if (!patch) return {};
    auto below = std::tuple(*major, *minor, *patch) <
                 std::tuple<int64_t, int64_t, int64_t>(MIN_CLOUDFLARED_MAJOR, MIN_CLOUDFLARED_MINOR,
                                                       MIN_CLOUDFLARED_PATCH);
    if (!below) return {};
    return path + " is version " + std::to_string(*major) + "." + std::to_string(*minor) + "." +
           std::to_string(*patch) + ", older than the " + std::to_string(MIN_CLOUDFLARED_MAJOR) +
           "." + std::to_string(MIN_CLOUDFLARED_MINOR) + "." +
           std::to_string(MIN_CLOUDFLARED_PATCH) + " it needs";
}

std::string tunnel_internal::_install_hint(std::string_view problem) {
    std::string hint = "a tunnel needs cloudflared, Cloudflare's tunnel client, and ";
    hint.append(problem).append(". Install it, then start quelmar again:\n");
    hint.append(
        "  Debian/Ubuntu  add Cloudflare's apt repository (https://pkg.cloudflare.com/), then: "
        "sudo apt-get install cloudflared\n");
    hint.append("  macOS          brew install cloudflared\n");
    hint.append(
        "  any Linux      save cloudflared-linux-amd64 or cloudflared-linux-arm64 from "
        "https://github.com/cloudflare/cloudflared/releases/latest as ~/.local/bin/cloudflared "
        "and chmod +x it\n");
    hint.append("  or name the binary with --cloudflared PATH");
    return hint;
}

std::optional<std::string> tunnel_prepare() {
    if (auto err = _check_web_build()) return err;
    Text_Result found =
        _find_cloudflared(g_cfg.cloudflared.empty() ? "cloudflared" : g_cfg.cloudflared);
    if (!found.ok()) return _install_hint(found.error);
    Text_Result probe = _cloudflared_probe(found.text);
    if (!probe.ok()) return _install_hint(probe.error);
    std::string old = _version_problem(found.text, probe.text);
    if (!old.empty()) return _install_hint(old);
    g_cfg.cloudflared = found.text;
    if (g_cfg.tunnel == Tunnel_Mode::Named) return _prepare_named();
    return std::nullopt;
}

std::string new_tunnel_token() {
    return random_hex(TUNNEL_TOKEN_BYTES);
}

std::optional<std::string> tunnel_id_of(std::string_view contents) {
    nlohmann::json creds = nlohmann::json::parse(contents, nullptr, false);
    if (creds.is_discarded() || !creds.is_object()) return std::nullopt;
    auto it = creds.find("TunnelID");
    if (it == creds.end() || !it->is_string()) return std::nullopt;
    const std::string& id = it->get_ref<const std::string&>();
    if (id.size() != UUID_TEXT_LENGTH) return std::nullopt;
    for (size_t i = 0; i < id.size(); ++i) {
        bool dash = i == 8 || i == 13 || i == 18 || i == 23;
        if (dash ? id[i] != '-' : !is_hex_digit(id[i])) return std::nullopt;
    }
    return id;
}

std::vector<std::string> tunnel_banners() {
    std::vector<std::string> lines = {
        "TUNNEL — anyone with the tunnel link can read and write your files and run programs as "
        "you, from anywhere, until this daemon stops; Cloudflare relays the traffic and can read "
        "all of it. Never paste the link into a chat, an email or an issue; a browser that opens "
        "it keeps it in its history, so on a computer that is not yours use a private window."};
    if (g_cfg.tunnel == Tunnel_Mode::Named)
        lines.push_back("starting the named tunnel " + g_cfg.tunnel_id + " for https://" +
                        g_cfg.tunnel_host + " — its link follows on stdout once it is up");
    else
        lines.push_back(
            "starting a Cloudflare quick tunnel — its link follows on stdout once it is up (a new "
            "link every run)");
    if (g_cfg.tunnel_idle > 0)
        lines.push_back("the tunnel closes once no tab has used it for " +
                        format_duration(g_cfg.tunnel_idle));
    return lines;
}
