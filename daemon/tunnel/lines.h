// Reading cloudflared's output: splitting it into lines, recognising the quick tunnel's
// announced host and the registration, publishing the link, and echoing the lines worth
// showing under a rate limit. Pure apart from the publication, with time and output given.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

// The domain of Cloudflare's quick tunnels: hosts are one label and this.
constexpr std::string_view QUICK_TUNNEL_DOMAIN = "trycloudflare.com";

constexpr size_t TUNNEL_LINE_LIMIT = 65'536;  // pending bytes before a line is cut
constexpr size_t TUNNEL_LINE_CAPACITY = 1024;
constexpr int ECHO_LIMIT = 20;  // echoed lines per window
constexpr int64_t ECHO_WINDOW_NS = 60'000'000'000;
constexpr size_t QUOTED_LINE_LIMIT = 1024;

// One run of cloudflared, as its output is read.
struct Tunnel_Run {
    bool quick = true;
    int64_t started = 0;
    std::string host;  // named: the configured host; quick: empty until announced
    std::string line;  // the pending, unterminated line
    bool registered = false;
    bool published = false;
    int64_t published_at = 0;
    bool warned = false;  // the bad-host warning was given
    int64_t window_start = 0;
    int window_count = 0;
    int suppressed = 0;
    bool killed = false;
    bool idle_stop = false;
    int64_t idle_stop_at = 0;
    // The program has exited: output still read from the pipe publishes no link, since
    // nothing would answer it.
    bool exited = false;
};

// Where the supervisor writes: log lines (without "quelmar: ") and the link on stdout.
struct Tunnel_Out {
    std::function<void(std::string_view)> log;
    std::function<void(std::string_view)> link;
};

// log_line and stdout.
Tunnel_Out tunnel_default_out();

// "https://" + host + "/#t=" + token.
std::string tunnel_link(std::string_view host, std::string_view token);

// The host of a quick tunnel's boxed announcement line when it is acceptable, or "".
std::string quick_host_of(std::string_view line);

// Whether the line carries a log level cloudflared gives (TRC .. PNC), and which.
std::string_view log_level_of(std::string_view line);
