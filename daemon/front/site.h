// The trusted site page: which pages may be trusted, and the CORS lines and the
// preflight answer that page gets for POST /fs.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "core/netproto/http.h"

// "Access-Control-Allow-Origin: <origin>\r\nVary: Origin\r\n" for the site origin, or "".
std::string cors_headers(const Request& req);
void preflight_reply(int sock, const Request& req);

// The origin of a page this daemon may trust, or nothing.
std::optional<std::string> site_origin_of(std::string_view url);
