// cloudflared's output as the supervisor reads it, in chunks of any size: the pending line
// stays bounded, the echo stays under its rate limit and a link is published at most once,
// only for an acceptable host.
#include <cstdint>
#include <string>

#include "daemon/tunnel/internal.h"
#include "daemon/tunnel/state.h"
#include "fuzz_support.h"

namespace {

constexpr std::string_view NAMED_HOST = "editor.example.org";
// A quoted line: the prefix, the quotes and at most four bytes per byte of the line.
constexpr size_t ECHO_LINE_MAX = 64 + 4 * QUOTED_LINE_LIMIT;
constexpr size_t ANNOUNCE_LINE_MAX = 256 + 4 * QUOTED_LINE_LIMIT;

bool _host_ok(std::string_view host) {
    std::string suffix = "." + std::string(QUICK_TUNNEL_DOMAIN);
    return host.size() > suffix.size() && host.ends_with(suffix) &&
           host.find_first_not_of("abcdefghijklmnopqrstuvwxyz0123456789-.") == std::string::npos;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 2) return 0;
    Tunnel_Run run;
    run.quick = data[0] & 1;
    if (!run.quick) run.host = NAMED_HOST;
    g_tunnel.named_token = std::string(64, 'a');
    size_t chunk = 1 + data[1];
    std::string_view in = fuzz_bytes(data + 2, size - 2);

    int echoed = 0, links = 0;
    Tunnel_Out out;
    out.log = [&](std::string_view line) {
        if (line.starts_with("cloudflared: ")) {
            ++echoed;
            FUZZ_CHECK(line.size() <= ECHO_LINE_MAX);
        } else {
            FUZZ_CHECK(line.size() <= ANNOUNCE_LINE_MAX);
        }
    };
    out.link = [&](std::string_view link) {
        ++links;
        FUZZ_CHECK(link.starts_with("https://") && link.ends_with("\n"));
    };
    // All in one echo window: the limit's lines plus its one notice.
    const int64_t now = 1'000'000'000;
    for (size_t at = 0; at < in.size(); at += chunk) {
        tunnel_internal::_feed(run, in.substr(at, chunk), now, out);
        FUZZ_CHECK(run.line.size() <= TUNNEL_LINE_LIMIT);
    }
    FUZZ_CHECK(echoed <= ECHO_LIMIT + 1);
    FUZZ_CHECK(links <= 1 && links == (run.published ? 1 : 0));
    if (run.published) {
        FUZZ_CHECK(run.registered);
        if (run.quick) FUZZ_CHECK(_host_ok(run.host));
    }
    std::string host = quick_host_of(in);
    if (!host.empty()) FUZZ_CHECK(_host_ok(host));
    std::string_view level = log_level_of(in);
    FUZZ_CHECK(level.empty() || level.size() == 3);
    {
        std::lock_guard lock(g_tunnel.mu);
        _clear_host_locked();
    }
    return 0;
}
