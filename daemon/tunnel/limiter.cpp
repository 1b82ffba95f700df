// The refusal limiter of the tunnel listener.
#include "daemon/tunnel/limiter.h"

#include <vector>

#include "core/base/log.h"

namespace {

bool _window_over(const Peer_Window& w, int64_t now) {
    return now - w.start >= LIMITER_WINDOW_NS;
}

// Drops the records whose window is over. The mutex is held.
void _limiter_purge(Refusal_Limiter& lim, int64_t now) {
    std::vector<std::string> over;
    for (const auto& [peer, w] : lim.peers)
        if (_window_over(w, now)) over.push_back(peer);
    for (const auto& peer : over) lim.peers.erase(peer);
}

// The log budget decision for a peer that has just reached the threshold. The mutex is held.
bool _log_allowed(Refusal_Limiter& lim, int64_t now) {
    if (now - lim.log_start >= LIMITER_WINDOW_NS || lim.log_count == 0) {
        lim.log_start = now;
        lim.log_count = 0;
    }
    ++lim.log_count;
    return lim.log_count <= LIMITER_LOG_LINES;
}

}  // namespace

bool limiter_peek(Refusal_Limiter& lim, std::string_view peer, int64_t now) {
    std::lock_guard lock(lim.mu);
    auto it = lim.peers.find(peer);
    return it != lim.peers.end() && it->second.count >= LIMITER_THRESHOLD &&
           !_window_over(it->second, now);
}

bool limiter_fail(Refusal_Limiter& lim, std::string_view peer, int64_t now) {
    bool log = false;
    {
        std::lock_guard lock(lim.mu);
        auto it = lim.peers.find(peer);
        if (it != lim.peers.end()) {
            Peer_Window& w = it->second;
            if (_window_over(w, now)) {
                w = Peer_Window{now, 1};
            } else if (++w.count == LIMITER_THRESHOLD) {
                log = _log_allowed(lim, now);
            }
        } else {
            if (lim.peers.size() >= LIMITER_MAX_PEERS) _limiter_purge(lim, now);
            // With every window still live, this peer goes unrecorded: its refusals are
            // answered as they would have been anyway.
            if (lim.peers.size() >= LIMITER_MAX_PEERS) return false;
            if (lim.peers.empty()) lim.peers.reserve(LIMITER_INITIAL_PEERS);
            lim.peers.emplace(std::string(peer), Peer_Window{now, 1});
        }
    }
    if (log) log_line(limiter_log_text(peer));
    return log;
}

std::string limiter_log_text(std::string_view peer) {
    return "tunnel: " + std::to_string(LIMITER_THRESHOLD) + " refused requests from " +
           quote(peer) + " in " + std::to_string(LIMITER_WINDOW_NS / 1'000'000'000) +
           "s — answering its refused ones 429 for the rest of that time";
}
