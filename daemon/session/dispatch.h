// Where a tab's messages go: the services that handle the kinds a tab may send, and the
// calls that make them let go of a session that ends.
#pragma once

#include <cstdint>
#include <string_view>

#include "daemon/session/protocol.h"
#include "daemon/session/session.h"

// Handles one message on the session's thread, to completion. Kinds no service of this
// build handles are dropped without a reply, like unknown kinds.
void session_dispatch(Session& s, Msg_Kind kind, uint32_t id, std::string_view payload);

// Teardown, for each running program, under the session lock: kill it unless it has
// already been killed or has exited. Its waiter sends the Exit, which meets the closed flag.
void session_stop_channel(Channel& ch);

// Teardown, for each open hook, after the session lock is released.
void session_close_hook(Session& s, uint32_t hook_id);
