// The refusal limiter of the tunnel listener: per peer address, refusals that guessing
// would cause are counted in fixed 60-second windows, and past 20 of them the peer's
// further counted refusals are answered 429 until its window is over.
#pragma once

#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>
#include <string_view>
#include <unordered_map>

constexpr int64_t LIMITER_WINDOW_NS = 60'000'000'000;
constexpr int LIMITER_THRESHOLD = 20;       // counted refusals a window allows
constexpr size_t LIMITER_MAX_PEERS = 1024;  // records kept at once
constexpr size_t LIMITER_INITIAL_PEERS = 64;
constexpr int LIMITER_LOG_LINES = 8;  // log lines per window, for the whole daemon

struct Peer_Window {
    int64_t start = 0;  // when the current window began
    int count = 0;      // counted refusals since start
};

// Heterogeneous lookup, so a peek never copies the address.
struct Peer_Hash {
    using is_transparent = void;
    size_t operator()(std::string_view s) const { return std::hash<std::string_view>{}(s); }
};

struct Refusal_Limiter {
    std::mutex mu;  // guards everything below; never held while another lock is taken
    std::unordered_map<std::string, Peer_Window, Peer_Hash, std::equal_to<>> peers;
    int64_t log_start = 0;
    int log_count = 0;
};

// The answer that replaces a counted refusal for a limited peer.
constexpr std::string_view LIMITED_STATUS = "429 Too Many Requests";
constexpr std::string_view LIMITED_BODY = "too many attempts";

// Whether the peer's counted refusals are answered 429 now. Times are monotonic ns; only
// differences are used.
bool limiter_peek(Refusal_Limiter& lim, std::string_view peer, int64_t now);

// Records one counted refusal (the 429 answers included). Writes the limiter's log line
// when this refusal made the peer limited and the log budget allows; returns whether it did.
bool limiter_fail(Refusal_Limiter& lim, std::string_view peer, int64_t now);

// The limiter's log line, without the "quelmar: " prefix.
std::string limiter_log_text(std::string_view peer);
