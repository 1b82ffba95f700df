// Every HTTP answer the daemon writes, static files from disk, CORS for the site page,
// and the check of which site pages may be trusted.
#include "daemon/front/http.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#if defined(__linux__)
#include <sys/sendfile.h>
#endif
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>

#include "core/base/ascii.h"
#include "core/base/fd.h"
#include "core/base/path.h"

const std::string_view TUNNEL_PLAIN_HEADERS =
    "Cache-Control: no-store\r\n"
    "X-Content-Type-Options: nosniff\r\n"
    "Cross-Origin-Resource-Policy: same-origin\r\n"
    "Referrer-Policy: no-referrer\r\n"
    "X-Robots-Tag: noindex\r\n"
    "X-Frame-Options: DENY\r\n"
    "Content-Security-Policy: frame-ancestors 'none'\r\n";

const std::string_view TUNNEL_HTML_HEADERS =
    "Cache-Control: no-store\r\n"
    "X-Content-Type-Options: nosniff\r\n"
    "Cross-Origin-Resource-Policy: same-origin\r\n"
    "Referrer-Policy: no-referrer\r\n"
    "X-Robots-Tag: noindex\r\n"
    "X-Frame-Options: DENY\r\n"
    "Content-Security-Policy: default-src 'self'; script-src 'self' 'wasm-unsafe-eval'; "
    "style-src 'self'; connect-src 'self'; img-src 'self' blob: data:; object-src 'none'; "
    "base-uri 'none'; form-action 'none'; frame-ancestors 'none'\r\n"
    "Cross-Origin-Opener-Policy: same-origin\r\n";

namespace {

// Files are sent from the open descriptor, never loaded whole: a file up to this size goes
// out in the same send as its head, a larger one in pieces of STATIC_CHUNK (or by
// sendfile where the system has it).
constexpr uint64_t STATIC_INLINE_MAX = 64 * 1024;
[[maybe_unused]] constexpr size_t STATIC_CHUNK = 256 * 1024;
constexpr size_t SEND_CHUNK_MAX = INT_MAX;

bool _host_chars_ok(std::string_view host) {
    if (host.empty() || host.find("..") != std::string_view::npos) return false;
    if (host.front() == '-' || host.front() == '.' || host.back() == '-' || host.back() == '.')
        return false;
    for (char c : host)
        if (!((c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' || c == '.'))
            return false;
    return true;
}

// Reads up to want bytes at the end of out; false on a read error. A short result means
// the file shrank since it was examined.
bool _read_into(int fd, std::string& out, size_t want) {
    size_t at = out.size();
    out.resize(at + want);
    size_t got = 0;
    while (got < want) {
        ssize_t n = read(fd, out.data() + at + got, want - got);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        got += static_cast<size_t>(n);
    }
    out.resize(at + got);
    return got == want;
}

// Sends exactly size bytes of the file, or stops at an error or an early end of the file:
// the peer then sees a short body and the close.
void _send_file_body(int sock, int fd, uint64_t size) {
#if defined(__linux__)
    while (size > 0) {
        size_t want = static_cast<size_t>(std::min<uint64_t>(size, SEND_CHUNK_MAX));
        ssize_t n = sendfile(sock, fd, nullptr, want);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return;
        size -= static_cast<uint64_t>(n);
    }
#else
    std::string chunk;
    while (size > 0) {
        size_t want = static_cast<size_t>(std::min<uint64_t>(size, STATIC_CHUNK));
        chunk.clear();
        bool whole = _read_into(fd, chunk, want);
        if (!send_all(sock, chunk) || !whole) return;
        size -= want;
    }
#endif
}

}  // namespace

std::string http_head(std::string_view status, std::string_view content_type, uint64_t length,
                      std::string_view extra_headers) {
    std::string h;
    h.reserve(256 + extra_headers.size());
    h.append("HTTP/1.1 ").append(status).append("\r\nContent-Type: ").append(content_type);
    h.append("\r\nContent-Length: ").append(std::to_string(length));
    h.append("\r\nCache-Control: no-cache\r\nX-Content-Type-Options: nosniff\r\n");
    h.append("Content-Security-Policy: frame-ancestors 'none'\r\nX-Frame-Options: DENY\r\n");
    h.append(extra_headers).append("Connection: close\r\n\r\n");
    return h;
}

std::string tunnel_head(std::string_view status, std::string_view content_type, uint64_t length,
                        bool is_html) {
    std::string h;
    h.reserve(600);
    h.append("HTTP/1.1 ").append(status).append("\r\nContent-Type: ").append(content_type);
    h.append("\r\nContent-Length: ").append(std::to_string(length)).append("\r\n");
    h.append(is_html ? TUNNEL_HTML_HEADERS : TUNNEL_PLAIN_HEADERS);
    h.append("Connection: close\r\n\r\n");
    return h;
}

void http_respond(int sock, std::string_view status, std::string_view content_type,
                  std::string_view body, std::string_view extra_headers) {
    if (!send_all(sock, http_head(status, content_type, body.size(), extra_headers))) return;
    send_all(sock, body);
}

void respond(int sock, bool tunnel, std::string_view status, std::string_view content_type,
             std::string_view body, std::string_view extra_headers, bool head_only) {
    if (!tunnel) {
        http_respond(sock, status, content_type, body, extra_headers);
        return;
    }
    if (head_only) body = {};
    if (!send_all(sock, tunnel_head(status, content_type, body.size(), false))) return;
    send_all(sock, body);
}

std::string_view content_type_of(std::string_view path) {
    size_t dot = path.rfind('.');
    if (dot == std::string_view::npos || path.find('/', dot) != std::string_view::npos)
        return "application/octet-stream";
    std::string_view ext = path.substr(dot);
    if (ext == ".html") return "text/html; charset=utf-8";
    if (ext == ".js") return "text/javascript; charset=utf-8";
    if (ext == ".wasm") return "application/wasm";
    if (ext == ".css") return "text/css";
    if (ext == ".png") return "image/png";
    if (ext == ".webmanifest") return "application/manifest+json";
    if (ext == ".svg") return "image/svg+xml";
    return "application/octet-stream";
}

std::optional<std::string> static_path(std::string_view request_path) {
    if (request_path.empty() || request_path.front() != '/') return std::nullopt;
    std::string cleaned = clean_path(request_path);
    if (cleaned == "/") cleaned = "/index.html";
    if (cleaned.find("..") != std::string::npos) return std::nullopt;
    return g_cfg.web + cleaned;
}

void serve_static(int sock, std::string_view request_path) {
    std::optional<std::string> file = static_path(request_path);
    Fd fd;
    struct stat st {};
    // Non-blocking, so that a named pipe in the web directory cannot stall the open; it is
    // then refused as not a regular file. Reads of regular files ignore the flag.
    if (file) fd.reset(open(file->c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
    if (!fd || fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) {
        http_respond(sock, "404 Not Found", "text/plain", "not found");
        return;
    }
    uint64_t size = static_cast<uint64_t>(st.st_size);
    std::string out = http_head("200 OK", content_type_of(*file), size, {});
    if (size <= STATIC_INLINE_MAX) {
        _read_into(fd.get(), out, static_cast<size_t>(size));
        send_all(sock, out);
        return;
    }
    if (!send_all(sock, out)) return;
    _send_file_body(sock, fd.get(), size);
}

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
        std::string_view digits = authority.substr(colon + 1);
        if (digits.empty()) return std::nullopt;
        port = 0;
        for (char c : digits) {
            if (c < '0' || c > '9') return std::nullopt;
            port = port * 10 + (c - '0');
            if (port >= 65536) return std::nullopt;
        }
        if (port == 0) return std::nullopt;
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
