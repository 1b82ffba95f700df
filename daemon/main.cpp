// quelmar's entry point: start-up in its fixed order, then the accept loop.
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "core/base/clock.h"
#include "core/base/decimal.h"
#include "core/base/dir.h"
#include "core/base/fd.h"
#include "core/base/log.h"
#include "core/base/path.h"
#include "core/base/random.h"
#include "core/base/write_all.h"
#include "core/platform/platform.h"
#include "daemon/config/config.h"
#include "daemon/front/accept.h"
#include "daemon/front/admission.h"
#include "daemon/front/exit_signals.h"
#include "daemon/front/fatal.h"
#include "daemon/front/listen.h"
#include "daemon/front/options.h"
#include "daemon/tunnel/prepare.h"
#include "daemon/tunnel/signals.h"
#include "daemon/tunnel/state.h"
#include "daemon/tunnel/supervisor.h"

namespace {

constexpr size_t ACCESS_TOKEN_BYTES = 16;
constexpr size_t CWD_FIRST_BUFFER = 1024;

// Later sockets and files must never land on 0, 1 or 2, where a stray write of a
// library would reach a peer.
void _ensure_standard_descriptors() {
    for (int fd = 0; fd <= 2; ++fd)
        if (fcntl(fd, F_GETFD) < 0) open("/dev/null", O_RDWR);
}

std::string _working_directory() {
    std::string buf(CWD_FIRST_BUFFER, '\0');
    while (getcwd(buf.data(), buf.size()) == nullptr) {
        if (errno != ERANGE) return {};
        buf.resize(buf.size() * 2);
    }
    buf.resize(std::strlen(buf.c_str()));
    return buf;
}

// An unusable --root is refused here: everything later expects an absolute directory.
std::string _settle_root(const std::string& given) {
    if (given.empty()) return _working_directory();
    char resolved[PATH_MAX];
    if (realpath(given.c_str(), resolved) == nullptr)
        fatal("cannot use --root " + quote(given) + ": " + std::strerror(errno));
    struct stat st {};
    if (stat(resolved, &st) != 0 || !S_ISDIR(st.st_mode))
        fatal("cannot use --root " + quote(given) + ": " + std::strerror(ENOTDIR));
    return resolved;
}

// The dist directory inside a web directory next to the executable's directory.
std::string _settle_web(const std::string& given) {
    if (!given.empty()) return given;
    std::string exe = own_executable_path();
    std::string dir = exe.substr(0, exe.rfind('/') + 1);
    return clean_path(clean_path(dir) + "/../web/dist");
}

bool _exists(const std::string& path) {
    struct stat st {};
    return stat(path.c_str(), &st) == 0;
}

void _print_links() {
    std::string out =
        "http://127.0.0.1:" + std::to_string(g_cfg.port) + "/?t=" + g_cfg.token + "\n";
    if (!g_cfg.site_page.empty())
        out +=
            g_cfg.site_page + "#daemon=" + std::to_string(g_cfg.port) + "&t=" + g_cfg.token + "\n";
    write_all(STDOUT_FILENO, out);
}

void _print_site_lines() {
    if (g_cfg.site_page.empty())
        log_line("to use it from " + std::string(DEFAULT_SITE_PAGE) + ", start it with --site");
    else
        log_line(g_cfg.site_origin +
                 " may use this daemon — open the second link (Chrome and Edge ask once to "
                 "allow it, Firefox per tab unless you tick \"Remember my choice for this "
                 "site\"; Safari: use the first link)");
    if (!_exists(g_cfg.web + "/index.html"))
        log_line("no web build in " + g_cfg.web + " — the first link answers 404 until `make web`");
}

// Tests of the answer deadline cannot wait its 30 s: they may shorten it, never lengthen it.
std::optional<int64_t> _test_answer_deadline_ms() {
    const char* v = getenv("QUELMAR_TEST_ANSWER_DEADLINE_MS");
    if (!v) return std::nullopt;
    Decimal ms = parse_decimal(v, ANSWER_DEADLINE_NS / NS_PER_MS);
    if (!ms.ok() || ms.value == 0) return std::nullopt;
    return static_cast<int64_t>(ms.value);
}

}  // namespace

int main(int argc, char** argv) {
    signal(SIGPIPE, SIG_IGN);
    // Past a file size limit a write must fail with EFBIG ("write failed"), not end the daemon.
    signal(SIGXFSZ, SIG_IGN);
    _ensure_standard_descriptors();
    // Every connection, pipe and file takes a descriptor; the cap on connections waiting for
    // admission is a share of this limit.
    uint64_t descriptor_limit = raise_descriptor_limit();
    // Descriptors the daemon's own parent left open (a terminal multiplexer's, a test runner's
    // log) must not reach the programs tabs start.
    close_inherited_on_exec();

    Options opts = parse_options(std::vector<std::string>(argv + std::min(argc, 1), argv + argc));
    if (opts.help) {
        write_all(STDOUT_FILENO, usage_text() + "\n");
        return 0;
    }
    if (!opts.error.empty()) fatal(opts.error);
    g_cfg = std::move(opts.cfg);
    g_cfg.root = _settle_root(g_cfg.root);
    g_cfg.web = _settle_web(g_cfg.web);
    bool tunnel = g_cfg.tunnel != Tunnel_Mode::None;
    if (auto ms = _test_answer_deadline_ms()) set_answer_deadline(*ms * NS_PER_MS);
    // Everything the tunnel needs is checked before anything is printed.
    if (tunnel) {
        if (auto err = tunnel_prepare()) fatal(*err);
        if (auto err = static_table_load(g_cfg.web)) fatal(*err);
    }

    g_cfg.token = random_hex(ACCESS_TOKEN_BYTES);
    Listen_Result l = listen_loopback(g_cfg.port);
    if (!l.fd) fatal("cannot listen on 127.0.0.1:" + std::to_string(g_cfg.port) + ": " + l.error);
    g_cfg.port = l.port;
    Listen_Result t;
    if (tunnel) {
        t = listen_loopback(0);
        if (!t.fd) fatal("cannot listen on 127.0.0.1 for the tunnel: " + t.error);
        g_cfg.tunnel_port = t.port;
        // From here on a crash ends cloudflared first.
        install_crash_signal_handler();
    }
    // g_cfg is complete: the first other thread starts here. From now on SIGINT, SIGTERM
    // and SIGHUP end every program, cloudflared and hook directory before the daemon.
    if (!start_exit_thread())
        log_line("cannot start the exit thread: a signal will leave programs running");

    log_line("serving " + g_cfg.web + " for " + g_cfg.root);
    _print_links();
    _print_site_lines();
    if (tunnel) {
        for (const std::string& line : tunnel_banners()) log_line(line);
        // A thread that cannot be made is skipped; without the supervisor the tunnel answers
        // "tunnel not ready".
        start_tunnel_supervisor();
        start_tunnel_accept(std::move(t.fd));
    }
    accept_loopback(l.fd.get(), loopback_unadmitted_cap(descriptor_limit));
}
