// Permission hooks: a private Unix socket per hook whose questions are forwarded to the tab
// as Hook_Req, and the tab's Hook_Reply written back to the waiting helper.
#pragma once

#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <string_view>

#include "core/base/fd.h"
#include "core/base/thread.h"
#include "daemon/messages/protocol.h"

struct Session;

// One open hook, owned by its session's hooks table. Lock order: the session lock and a
// hook's lock are never held together.
struct Hook {
    Session* session = nullptr;  // one reference held from creation to the end of hook_close
    uint32_t id = 0;
    std::string dir;   // the private directory
    std::string path;  // dir + "/hook.sock"
    Fd listener;       // bound, listening, non-blocking
    Fd wake_read;      // the accept thread's stop signal: readable once wake_write is closed
    Fd wake_write;
    Joinable_Thread accept_thread;

    std::mutex mu;                   // guards the three fields below
    std::map<uint32_t, Fd> pending;  // request id -> connection waiting for its answer
    uint32_t next_request_id = 0;    // the last one given out; the first request gets 1
    bool closed = false;             // a request read after this is refused
};

// Hook_Listen, Hook_Reply and Hook_Close, as the session thread receives them.
void hook_dispatch(Session& s, Msg_Kind kind, uint32_t id, std::string_view payload);

// Opens a hook under id (closing an earlier one of that id first); always answers exactly
// one Hook_Ready.
void hook_listen(Session& s, uint32_t id);
// Writes the answer bytes after the 4-byte request id to the waiting connection.
void hook_reply(Session& s, uint32_t id, std::string_view body);
// Answers every waiting question "deny session closed\n", ends the accept thread, removes
// socket and directory and drops the hook's session reference. Unknown ids: nothing.
void hook_close(Session& s, uint32_t id);

// The daemon's exit: removes the socket and directory of every open hook of every session,
// and no hook opens after it. The hooks themselves are left as they are.
void hooks_remove_all_files();

// Pure pieces, apart for testing.
// The directory hooks are made in, given XDG_RUNTIME_DIR (creates "<xdg>/editor" if needed).
std::string hook_base_dir(const char* xdg_runtime_dir);
// The payload of one hook request as read from a connection: trailing "\r"/"\n" trimmed,
// the "REQ " prefix removed. False when the prefix is missing.
bool hook_request_payload(std::string_view request, std::string_view& payload);

// Limits the tests turn down or break on purpose; the daemon keeps the defaults. Change
// them only while no hook is open.
struct Hook_Limits {
    int64_t request_timeout_ns;  // whole read of one request, far above what dravik needs
    bool fail_thread_start;      // pretend the accept thread cannot be created
};
extern Hook_Limits g_hook_limits;
