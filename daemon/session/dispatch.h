// Where a tab's messages go: the services that handle the kinds a tab may send.
#pragma once

#include <cstdint>
#include <string_view>

#include "daemon/messages/protocol.h"
#include "daemon/messages/session_record.h"

// Handles one message on the session's thread, to completion. Kinds no service of this
// build handles are dropped without a reply, like unknown kinds.
void session_dispatch(Session& s, Msg_Kind kind, uint32_t id, std::string_view payload);
