// The trusted site page: which pages may be trusted, and the CORS lines and the
// preflight answer that page gets for POST /fs.
#include "daemon/front/site.h"

#include "core/base/ascii.h"
#include "daemon/config/config.h"
#include "core/base/decimal.h"
#include "core/netproto/answers.h"

namespace {

constexpr uint64_t PORT_MAX = 65535;

bool _host_chars_ok(std::string_view host) {
    if (host.empty() || host.find("..") != std::string_view::npos) return false;
    if (host.front() == '-' || host.front() == '.' || host.back() == '-' || host.back() == '.')
        return false;
    for (char c : host)
        if (!((c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' || c == '.'))
            return false;
    return true;
}

}  // namespace

std::string cors_headers(const Request& req) {
    const std::string* origin = req.header("origin");
    if (!origin || g_cfg.site_origin.empty() || *origin != g_cfg.site_origin) return {};
    return "Access-Control-Allow-Origin: " + *origin + "\r\nVary: Origin\r\n";
}

void preflight_reply(int sock, const Request& req) {
    const std::string* origin = req.header("origin");
    std::string extra =
        "Access-Control-Allow-Origin: " + (origin ? *origin : std::string()) + "\r\n";
    extra += "Access-Control-Allow-Methods: POST\r\n";
    extra += "Access-Control-Allow-Headers: X-Editor-Token, Content-Type\r\n";
    extra += "Access-Control-Max-Age: 7200\r\n";
    extra += "Vary: Origin\r\n";
    const std::string* pna = req.header("access-control-request-private-network");
    if (pna && *pna == "true") extra += "Access-Control-Allow-Private-Network: true\r\n";
    http_respond(sock, "200 OK", "text/plain", "", extra);
}

std::optional<std::string> site_origin_of(std::string_view url) {
    for (char ch : url) {
        unsigned char c = static_cast<unsigned char>(ch);
        if (c < 33 || c > 126 || c == '#' || c == '*' || c == '?' || c == '@' || c == '\\')
            return std::nullopt;
    }
    size_t sep = url.find("://");
    if (sep == std::string_view::npos) return std::nullopt;
    std::string scheme = ascii_lower(url.substr(0, sep));
    std::string_view rest = url.substr(sep + 3);
    std::string_view authority = rest.substr(0, rest.find('/'));
    std::string_view host_part = authority;
    int port = -1;
    size_t colon = authority.find(':');
    if (colon != std::string_view::npos) {
        host_part = authority.substr(0, colon);
        Decimal digits = parse_decimal(authority.substr(colon + 1), PORT_MAX);
        if (!digits.ok() || digits.value == 0) return std::nullopt;
        port = static_cast<int>(digits.value);
    }
    std::string host = ascii_lower(host_part);
    if (!_host_chars_ok(host)) return std::nullopt;
    int default_port;
    if (scheme == "https") {
        default_port = 443;
    } else if (scheme == "http") {
        if (host != "127.0.0.1" && host != "localhost") return std::nullopt;
        default_port = 80;
    } else {
        return std::nullopt;
    }
    std::string origin = scheme + "://" + host;
    if (port > 0 && port != default_port) origin += ":" + std::to_string(port);
    return origin;
}
