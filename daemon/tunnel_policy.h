// Admission of requests that come through the tunnel: the credentials a tab carries in its
// WebSocket subprotocol list.
#pragma once

#include <optional>
#include <string>
#include <string_view>

// The subprotocol the daemon selects when it accepts a tunnel upgrade.
constexpr std::string_view EDITOR_SUBPROTOCOL = "editor.v1";

// A tab session: "editor.v1", "tok." + token. The token may be empty (it never matches).
std::optional<std::string> ws_token_of(std::string_view protocols);

// A VM relay: "editor.v1", "tok." + token, "vm." + the base64url target.
struct WS_VM_Protocols {
    std::string token;
    std::string target;  // still encoded; see vm_target_of_b64
};
std::optional<WS_VM_Protocols> ws_vm_protocols_of(std::string_view protocols);
