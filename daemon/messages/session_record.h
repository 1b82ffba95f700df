// The Session record as every service that answers a tab sees it: the tab's socket and
// its send lock, the tables of the tab's programs and hooks, the references that keep the
// record alive, and sending one whole message to the tab from any thread.
#pragma once

#include <atomic>
#include <cstdint>
#include <map>
#include <mutex>
#include <span>
#include <string>
#include <string_view>

#include "core/netproto/ws.h"
#include "daemon/messages/protocol.h"

struct Channel;
struct Hook;

struct Session {
    int sock = -1;
    std::mutex send_mu;   // held while one whole frame is written
    bool closed = false;  // under send_mu: nothing is written once set
    std::mutex mu;        // the session lock: guards channels and hooks
    std::map<uint32_t, Channel*> channels;
    std::map<uint32_t, Hook*> hooks;
    std::atomic<int32_t> refs{1};
    std::string root;
};

// One whole frame under the send lock. A failed write closes the session for writing and
// shuts the socket down, which makes the session thread's next receive fail. False once
// the session is closed.
bool session_write_frame(Session& s, WS_Op op, std::span<const std::string_view> parts);

// One session message whose payload is the concatenation of parts; from any thread.
// Dropped silently once the session is closed; a failed write closes it.
void session_send(Session& s, Msg_Kind kind, uint32_t id, std::span<const std::string_view> parts);
void session_send(Session& s, Msg_Kind kind, uint32_t id, std::string_view payload);
// One session message whose payload is parts followed by the first count bytes of the open
// file fd, sent straight from the file as one frame under the send lock. Any failure closes
// the session as a failed write does, because the tab's stream holds a cut frame; error
// ENODATA then says the file ended early (it shrank), EPIPE also that the session was closed.
Send_File_Result session_send_file(Session& s, Msg_Kind kind, uint32_t id,
                                   std::span<const std::string_view> parts, int fd, uint64_t count);
// Marshalled JSON as the payload.
template <typename Record>
void session_send_json(Session& s, Msg_Kind kind, uint32_t id, const Record& r) {
    session_send(s, kind, id, std::string_view(marshal(r)));
}

void session_ref(Session& s);
// Drops one reference; the last one frees the record.
void session_unref(Session& s);
