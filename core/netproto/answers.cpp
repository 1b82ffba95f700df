// Every HTTP answer head the daemon writes: the loopback header set, the tunnel's two, and
// the content type of a file by its name.
#include "core/netproto/answers.h"
#include "core/base/write_all.h"

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
