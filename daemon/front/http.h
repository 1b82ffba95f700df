// Every HTTP answer the daemon writes (the two header sets), static files, CORS for the
// trusted site page, and the site origin check.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "core/base/config.h"
#include "core/netproto/http.h"

// Header blocks of the tunnel listener: for everything but HTML pages (226 bytes, also the
// extra headers of the tunnel's WebSocket handshakes) and for HTML pages (447 bytes).
extern const std::string_view TUNNEL_PLAIN_HEADERS;
extern const std::string_view TUNNEL_HTML_HEADERS;

// The loopback answer head and body.
void http_respond(int sock, std::string_view status, std::string_view content_type,
                  std::string_view body, std::string_view extra_headers = {});

// Either listener; on the tunnel the non-HTML block is used, extra headers are not, and a
// HEAD request (head_only) gets an empty body with Content-Length 0.
void respond(int sock, bool tunnel, std::string_view status, std::string_view content_type,
             std::string_view body, std::string_view extra_headers = {}, bool head_only = false);

std::string http_head(std::string_view status, std::string_view content_type, uint64_t length,
                      std::string_view extra_headers);
std::string tunnel_head(std::string_view status, std::string_view content_type, uint64_t length,
                        bool is_html);

std::string_view content_type_of(std::string_view path);

// The file under g_cfg.web for a loopback GET of this path, or nothing.
std::optional<std::string> static_path(std::string_view request_path);
void serve_static(int sock, std::string_view request_path);

// "Access-Control-Allow-Origin: <origin>\r\nVary: Origin\r\n" for the site origin, or "".
std::string cors_headers(const Request& req);
void preflight_reply(int sock, const Request& req);

// The origin of a page this daemon may trust, or nothing.
std::optional<std::string> site_origin_of(std::string_view url);
