// Admission of requests that come through the tunnel.
#include "daemon/tunnel_policy.h"

#include <vector>

namespace {

constexpr std::string_view TOKEN_PREFIX = "tok.";
constexpr std::string_view TARGET_PREFIX = "vm.";

std::string_view _trim_space_tab(std::string_view s) {
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
    return s;
}

// Exactly n comma-separated entries, trimmed of spaces and tabs; a value without a comma is
// one entry. The views point into value.
bool _ws_protocol_list(std::string_view value, size_t n, std::vector<std::string_view>& out) {
    out.clear();
    for (;;) {
        size_t comma = value.find(',');
        out.push_back(_trim_space_tab(value.substr(0, comma)));
        if (out.size() > n) return false;
        if (comma == std::string_view::npos) break;
        value.remove_prefix(comma + 1);
    }
    return out.size() == n;
}

}  // namespace

std::optional<std::string> ws_token_of(std::string_view protocols) {
    std::vector<std::string_view> entries;
    if (!_ws_protocol_list(protocols, 2, entries)) return std::nullopt;
    if (entries[0] != EDITOR_SUBPROTOCOL || !entries[1].starts_with(TOKEN_PREFIX))
        return std::nullopt;
    return std::string(entries[1].substr(TOKEN_PREFIX.size()));
}

std::optional<WS_VM_Protocols> ws_vm_protocols_of(std::string_view protocols) {
    std::vector<std::string_view> entries;
    if (!_ws_protocol_list(protocols, 3, entries)) return std::nullopt;
    if (entries[0] != EDITOR_SUBPROTOCOL || !entries[1].starts_with(TOKEN_PREFIX) ||
        !entries[2].starts_with(TARGET_PREFIX))
        return std::nullopt;
    return WS_VM_Protocols{std::string(entries[1].substr(TOKEN_PREFIX.size())),
                           std::string(entries[2].substr(TARGET_PREFIX.size()))};
}
