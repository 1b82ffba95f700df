// quelmar's command line: options, their checks and messages, the combination rules.
#include "daemon/front/options.h"

#include <algorithm>
#include <optional>

#include "core/base/decimal.h"
#include "core/base/log.h"
#include "daemon/front/site.h"
#include "daemon/tunnel/duration.h"

namespace {

constexpr std::string_view EXAMPLE_QUICK_LINK = "https://<words>.trycloudflare.com/#t=<token>";
constexpr std::string_view EXAMPLE_HOST = "editor.example.com";

constexpr uint64_t PORT_MAX = 65535;       // --port accepts 0 to 65535
constexpr size_t HOST_NAME_MAX_LEN = 253;  // a DNS name in text form
constexpr size_t HOST_LABEL_MAX_LEN = 63;

constexpr std::string_view ADD_A_TUNNEL =
    "add --tunnel (or --tunnel-host HOST --tunnel-creds FILE)";

// What was seen while reading, before the combination rules apply.
struct Seen {
    bool site = false;
    bool quick = false;
    bool idle = false;
    bool cloudflared = false;
};

std::optional<int> _parse_port(std::string_view text) {
    Decimal port = parse_decimal(text, PORT_MAX);
    if (!port.ok()) return std::nullopt;
    return static_cast<int>(port.value);
}

bool _label_ok(std::string_view label) {
    if (label.empty() || label.size() > HOST_LABEL_MAX_LEN) return false;
    if (label.front() == '-' || label.back() == '-') return false;
    return std::all_of(label.begin(), label.end(), [](char c) {
        return (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-';
    });
}

bool _all_digits(std::string_view s) {
    return std::all_of(s.begin(), s.end(), [](char c) { return c >= '0' && c <= '9'; });
}

bool _is_value_option(std::string_view a) {
    return a == "--port" || a == "--web" || a == "--root" || a == "--site-url" ||
           a == "--tunnel-host" || a == "--tunnel-creds" || a == "--tunnel-idle" ||
           a == "--cloudflared";
}

std::string _unknown_argument(std::string_view arg, std::string_view previous_flag) {
    std::string m = "unknown argument: " + std::string(arg);
    if (previous_flag == "--site")
        return m + " (--site takes no value; for another page use --site-url URL)";
    if (previous_flag == "--tunnel")
        return m +
               " (--tunnel takes no value; for a named tunnel use --tunnel-host HOST "
               "--tunnel-creds FILE)";
    return m + " (see --help)";
}

// One value option; returns the refusal, or "" when the value was taken.
std::string _take_value(std::string_view name, const std::string& v, Config& cfg, Seen& seen) {
    if (name == "--port") {
        std::optional<int> port = _parse_port(v);
        if (!port)
            return "--port needs a number from 0 to 65535 (0 picks a free port), not " + quote(v);
        cfg.port = *port;
    } else if (name == "--web") {
        cfg.web = v;
    } else if (name == "--root") {
        cfg.root = v;
    } else if (name == "--site-url") {
        std::optional<std::string> origin = site_origin_of(v);
        if (!origin)
            return "--site-url " + quote(v) +
                   " is not a page this daemon can trust: it must be https://host[:port]/path "
                   "(http:// only for 127.0.0.1 or localhost), with a host of letters, digits, "
                   "dots and dashes and no user name, query (?), fragment (#), wildcard (*), "
                   "backslash or space";
        cfg.site_page = v;
        cfg.site_origin = *origin;
    } else if (name == "--tunnel-host") {
        if (!tunnel_host_ok(v))
            return "--tunnel-host " + quote(v) +
                   " is not a host name: it must be the tunnel's public name exactly as browsers "
                   "send it — lower-case letters, digits and dashes in at least two "
                   "dot-separated labels, no port, no trailing dot (e.g. " +
                   std::string(EXAMPLE_HOST) + ")";
        cfg.tunnel_host = v;
    } else if (name == "--tunnel-creds") {
        if (v.empty()) return "--tunnel-creds needs the path of the tunnel's credentials JSON";
        cfg.tunnel_creds = v;
    } else if (name == "--tunnel-idle") {
        std::optional<int64_t> ns = parse_duration(v);
        if (!ns)
            return "--tunnel-idle needs 0 (never) or a whole number of seconds, minutes or "
                   "hours — 90s, 30m, 2h — at most 168h, not " +
                   quote(v);
        cfg.tunnel_idle = *ns;
        seen.idle = true;
    } else if (name == "--cloudflared") {
        if (v.empty()) return "--cloudflared needs the path of the cloudflared binary";
        cfg.cloudflared = v;
        seen.cloudflared = true;
    }
    return {};
}

// The rules that need the whole command line; the first that applies is the refusal.
std::string _combine(Config& cfg, const Seen& seen) {
    if (seen.site && !cfg.site_page.empty())
        return "--site and --site-url cannot be combined (--site means --site-url " +
               std::string(DEFAULT_SITE_PAGE) + ")";
    if (seen.site) {
        cfg.site_page = DEFAULT_SITE_PAGE;
        cfg.site_origin = DEFAULT_SITE_ORIGIN;
    }
    bool named = !cfg.tunnel_host.empty();
    if (seen.quick && named)
        return "--tunnel (a quick tunnel) and --tunnel-host (a named tunnel) cannot be combined";
    if (named && cfg.tunnel_creds.empty())
        return "--tunnel-host needs --tunnel-creds FILE: the credentials JSON that `cloudflared "
               "tunnel create` wrote";
    if (!named && !cfg.tunnel_creds.empty())
        return "--tunnel-creds needs --tunnel-host HOST: the named tunnel's public name";
    cfg.tunnel = seen.quick ? Tunnel_Mode::Quick : named ? Tunnel_Mode::Named : Tunnel_Mode::None;
    if (cfg.tunnel == Tunnel_Mode::None) {
        if (seen.idle)
            return "--tunnel-idle only applies to a tunnel: " + std::string(ADD_A_TUNNEL);
        if (seen.cloudflared)
            return "--cloudflared only applies to a tunnel: " + std::string(ADD_A_TUNNEL);
    }
    return {};
}

}  // namespace

bool tunnel_host_ok(std::string_view host) {
    if (host.empty() || host.size() > HOST_NAME_MAX_LEN) return false;
    if (host.front() == '.' || host.back() == '.') return false;
    size_t labels = 0;
    std::string_view last;
    while (true) {
        size_t dot = host.find('.');
        last = host.substr(0, dot);
        if (!_label_ok(last)) return false;
        ++labels;
        if (dot == std::string_view::npos) break;
        host.remove_prefix(dot + 1);
    }
    return labels >= 2 && !_all_digits(last);
}

Options parse_options(const std::vector<std::string>& args) {
    Options out;
    out.cfg.port = DEFAULT_PORT;
    Seen seen;
    std::string_view previous_flag;  // --site or --tunnel when it was the argument before
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        std::string_view flag;
        if (a == "-h" || a == "--help") {
            out.help = true;
            return out;
        } else if (a == "--site") {
            seen.site = true;
            flag = a;
        } else if (a == "--tunnel") {
            seen.quick = true;
            flag = a;
        } else if (_is_value_option(a)) {
            if (i + 1 == args.size()) {
                out.error = a + " needs a value (see --help)";
                return out;
            }
            out.error = _take_value(a, args[++i], out.cfg, seen);
            if (!out.error.empty()) return out;
        } else {
            out.error = _unknown_argument(a, previous_flag);
            return out;
        }
        previous_flag = flag;
    }
    out.error = _combine(out.cfg, seen);
    return out;
}

std::string usage_text() {
    std::string u;
    u += "usage: quelmar [--port N] [--web DIR] [--root DIR] [--site | --site-url URL]\n";
    u += "                     [--tunnel | --tunnel-host HOST --tunnel-creds FILE]\n";
    u += "                     [--tunnel-idle DUR] [--cloudflared PATH]\n";
    u += "  --port N        listen on 127.0.0.1:N (default 8737; 0 picks a free port)\n";
    u += "  --web DIR       the web build to serve (default: ../web/dist from the executable)\n";
    u += "  --root DIR      the project directory (default: the current directory)\n";
    u += "  --site          also let " + std::string(DEFAULT_SITE_PAGE) + " use this daemon, and\n";
    u += "                  print a second link that opens it there\n";
    u += "  --site-url URL  the same for another copy of that page: https://host[:port]/path,\n";
    u += "                  or http:// on 127.0.0.1 or localhost\n";
    u += "  --tunnel        also publish this daemon through a Cloudflare quick tunnel and\n";
    u += "                  print a " + std::string(EXAMPLE_QUICK_LINK) + " link that\n";
    u += "                  opens the editor on this machine's files from any browser.\n";
    u += "                  WHOEVER HAS THAT LINK CAN READ AND WRITE YOUR FILES AND RUN\n";
    u += "                  PROGRAMS AS YOU, and Cloudflare can read the traffic. Needs\n";
    u += "                  cloudflared and a web build (make web); a new link every run\n";
    u += "  --tunnel-host HOST --tunnel-creds FILE\n";
    u += "                  the same through your own named tunnel: HOST is its public name\n";
    u += "                  (e.g. " + std::string(EXAMPLE_HOST) +
         "), FILE the credentials JSON that\n";
    u += "                  \"cloudflared tunnel create\" wrote\n";
    u += "  --tunnel-idle DUR\n";
    u += "                  close the tunnel once no tab has used it for DUR: <n>s, <n>m or\n";
    u += "                  <n>h, at most 168h (default 0: never)\n";
    u += "  --cloudflared PATH\n";
    u += "                  the cloudflared to run (default: cloudflared on PATH)";
    return u;
}
