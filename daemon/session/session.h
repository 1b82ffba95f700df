// Tab sessions: the record, the registry, sending to a tab from any thread, and the loop
// that reads and dispatches the tab's messages.
#pragma once

#include <atomic>
#include <cstdint>
#include <map>
#include <mutex>
#include <span>
#include <string>
#include <string_view>

#include "core/netproto/ws.h"
#include "daemon/session/protocol.h"

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

// Runs one session to its end on the calling (connection) thread. conn.buf may already
// hold the tab's first frames. notice: shown to every other open tab (tunnel tabs).
void run_tab(int sock, WS_Conn& conn, std::string_view notice);

// Hello, the receive loop and the teardown of one registered session (called by run_tab).
void session_run(Session& s, WS_Conn& conn);

// One session message whose payload is the concatenation of parts; from any thread.
// Dropped silently once the session is closed; a failed write closes it.
void session_send(Session& s, Msg_Kind kind, uint32_t id, std::span<const std::string_view> parts);
void session_send(Session& s, Msg_Kind kind, uint32_t id, std::string_view payload);
// Marshalled JSON as the payload.
template <typename Record>
void session_send_json(Session& s, Msg_Kind kind, uint32_t id, const Record& r) {
    session_send(s, kind, id, std::string_view(marshal(r)));
}

// Notice (id 0) to every registered session but left_out (nullptr: all of them).
void notice_others(Session* left_out, std::string_view text);

void session_ref(Session& s);
void session_unref(Session& s);

// Number of registered sessions (for tests and load figures).
size_t session_count();
