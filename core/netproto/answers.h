// Every HTTP answer head the daemon writes: the loopback listener's header set, the two of
// the tunnel listener, the subprotocol a tunnel upgrade selects, and content types.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "core/netproto/http.h"

// Header blocks of the tunnel listener: for everything but HTML pages (226 bytes, also the
// extra headers of the tunnel's WebSocket handshakes) and for HTML pages (447 bytes).
extern const std::string_view TUNNEL_PLAIN_HEADERS;
extern const std::string_view TUNNEL_HTML_HEADERS;

// The subprotocol the daemon selects when it accepts a tunnel upgrade.
constexpr std::string_view EDITOR_SUBPROTOCOL = "editor.v1";

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
