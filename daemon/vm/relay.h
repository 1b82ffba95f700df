// The VM relay: a tab's WebSocket on "/vm" joined to a WebSocket service on the loopback
// interface, relayed byte for byte once both handshakes are done.
#pragma once

#include "core/netproto/http.h"
#include "daemon/vm/target.h"

// The VM service's handshake must be complete within this time.
constexpr int64_t VM_HANDSHAKE_TIMEOUT_NS = 10'000'000'000;
constexpr size_t VM_PUMP_BUFFER = 32768;

// Runs on the tab's connection thread after admission; returns when the relay is over.
// Answers the tab's refusals itself ("400", "502"); the caller closes tab_sock afterwards.
// leftover: the bytes that followed the tab's request head. tunnel selects the answer
// header sets and the "editor.v1" subprotocol.
void handle_vm(int tab_sock, Conn_Buffer& leftover, const Request& req, const VM_Target& target,
               bool tunnel);
