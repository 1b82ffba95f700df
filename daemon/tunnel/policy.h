// Admission of requests that come through the tunnel: the credentials a tab carries in its
// WebSocket subprotocol list, the decision table that admits or refuses each request, the
// tunnel's tab count and the first-use records.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "core/netproto/answers.h"
#include "core/netproto/http.h"
#include "daemon/tunnel/static_table.h"
#include "daemon/vm/target.h"

// A tab session: "editor.v1", "tok." + token. The token may be empty (it never matches).
std::optional<std::string> ws_token_of(std::string_view protocols);

// A VM relay: "editor.v1", "tok." + token, "vm." + the base64url target.
struct WS_VM_Protocols {
    std::string token;
    std::string target;  // still encoded; see vm_target_of_b64
};
std::optional<WS_VM_Protocols> ws_vm_protocols_of(std::string_view protocols);

// Everything on the tunnel listener comes from the open internet through cloudflared;
// these bound what it can hold.
constexpr int32_t TUNNEL_MAX_CONNS = 64;                         // open connections at once
constexpr int TUNNEL_MAX_TABS = 8;                               // tab sessions at once
constexpr size_t TUNNEL_MAX_PEERS_PER_LINK = 1024;               // first-use records of one link
constexpr int64_t TUNNEL_HEAD_DEADLINE_NS = 10'000'000'000;      // from the accept
constexpr int64_t TUNNEL_SEND_TIMEOUT_NS = 60'000'000'000;       // per send of a session
constexpr int64_t TUNNEL_FS_RECV_TIMEOUT_NS = 60'000'000'000;    // per receive of a body
constexpr int64_t TUNNEL_TAB_RECV_TIMEOUT_NS = 180'000'000'000;  // a silent tab loses it
constexpr size_t TUNNEL_PEER_MAX = 45;  // the longest text form of an IPv6 address

// Admits or refuses one parsed tunnel request and carries out its route. Never closes
// sock; the caller closes it and gives back the connection slot.
void handle_tunnel_connection(int sock, Request& req, Conn_Buffer& buf);

// The client's address as cloudflared reports it, or "local" when it is absent or not an
// address (digits, ".", ":" and hex letters, 1 to 45 bytes).
std::string tunnel_peer_of(const std::string* cf_connecting_ip);
// Two upper-case letters or digits, else "??".
std::string tunnel_country_of(const std::string* cf_ipcountry);

// One refusal of the tunnel listener: counted ones feed the refusal limiter, drained ones
// read what is left of the request body before the close.
struct Tunnel_Answer {
    std::string_view status;
    std::string_view body;
    bool counted = false;
    bool drain = false;
};

namespace tunnel_answers {
inline constexpr Tunnel_Answer NOT_READY{"503 Service Unavailable", "tunnel not ready", false,
                                         false};
inline constexpr Tunnel_Answer BAD_HOST{"403 Forbidden", "bad host", false, false};
inline constexpr Tunnel_Answer BAD_ORIGIN{"403 Forbidden", "bad origin", false, false};
inline constexpr Tunnel_Answer BAD_TOKEN{"403 Forbidden", "bad token", true, true};
inline constexpr Tunnel_Answer TOKEN_IN_URL{"403 Forbidden", "token in URL", true, true};
inline constexpr Tunnel_Answer BAD_PROTOCOL{"403 Forbidden", "bad protocol", true, true};
inline constexpr Tunnel_Answer BAD_TARGET{"403 Forbidden", "bad target", true, true};
inline constexpr Tunnel_Answer TOO_MANY_ATTEMPTS{"429 Too Many Requests", "too many attempts", true,
                                                 true};
inline constexpr Tunnel_Answer LENGTH_REQUIRED{"411 Length Required", "length required", false,
                                               true};
inline constexpr Tunnel_Answer TOO_LARGE{"413 Content Too Large", "too large", false, true};
inline constexpr Tunnel_Answer TOO_MANY_TABS{"503 Service Unavailable", "too many tabs", false,
                                             true};
inline constexpr Tunnel_Answer NOT_FOUND{"404 Not Found", "not found", false, false};
inline constexpr Tunnel_Answer NOT_ALLOWED{"405 Method Not Allowed", "", false, false};
}  // namespace tunnel_answers

// What the tunnel state said when the request's admission began (taken under its lock).
struct Tunnel_Snapshot {
    std::string host;
    std::string token;
    int tabs = 0;
};

enum class Tunnel_Route { Refuse, Static, Fs, Tab, Vm };

struct Tunnel_Decision {
    Tunnel_Route route = Tunnel_Route::Refuse;
    Tunnel_Answer answer;               // Refuse
    const Static_File* file = nullptr;  // Static: an entry of g_tunnel's table
    VM_Target target;                   // Vm
};

// The tunnel's rules, first match wins; pure apart from reading g_tunnel's table and the
// daemon's ports. The limiter's 429 is applied by the caller.
Tunnel_Decision tunnel_decide(const Request& req, const Tunnel_Snapshot& snap);
