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

namespace tunnel_internal {

// A result text, or the problem that prevented it.
struct Text_Result {
    std::string text;
    std::string error;
    bool ok() const { return error.empty(); }
};

bool _is_executable(const std::string& path);
Text_Result _find_cloudflared(const std::string& name);
// The version line of `path --version`, within the given limits.
Text_Result _cloudflared_probe(const std::string& path,
                               int64_t answer_limit_ns = PROBE_ANSWER_LIMIT_NS,
                               int64_t exit_limit_ns = PROBE_EXIT_LIMIT_NS);
// The problem with a version line that names a version below the minimum, or "".
std::string _version_problem(const std::string& path, std::string_view line);
// The five-line install hint around a problem.
std::string _install_hint(std::string_view problem);
// The first line of the output, trimmed, cut to 200 bytes.
std::string _version_line(std::string_view output);

}  // namespace tunnel_internal
