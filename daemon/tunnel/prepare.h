// Preparing a tunnel before anything is printed: the web build, a recent enough
// cloudflared, a named tunnel's credentials; and the tunnel's start-up banners.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

constexpr int MIN_CLOUDFLARED_MAJOR = 2023;
constexpr int MIN_CLOUDFLARED_MINOR = 7;
constexpr int MIN_CLOUDFLARED_PATCH = 0;

constexpr int64_t PROBE_ANSWER_LIMIT_NS = 5'000'000'000;  // for `cloudflared --version`
constexpr int64_t PROBE_EXIT_LIMIT_NS = 2'000'000'000;    // to exit after answering
constexpr size_t PROBE_KEEP_LIMIT = 65'536;               // output bytes kept
constexpr size_t PROBE_CHUNK = 1024;
constexpr size_t VERSION_LINE_LIMIT = 200;
constexpr size_t CREDS_SIZE_LIMIT = 1 << 20;  // a credentials JSON is a few hundred bytes

// Reads and completes g_cfg (cloudflared, tunnel_creds, tunnel_id) and makes a named
// tunnel's token; the one message for fatal on failure.
std::optional<std::string> tunnel_prepare();

// 32 random bytes as 64 lower-case hexadecimal digits.
std::string new_tunnel_token();

// The TunnelID of a named tunnel's credentials JSON, when it is a UUID in text form.
std::optional<std::string> tunnel_id_of(std::string_view contents);

// The tunnel's start-up lines for stderr, each without the "quelmar: " prefix (for log_line).
std::vector<std::string> tunnel_banners();
