// Tab sessions: the registry of open sessions, notices to every tab, and the loop that
// greets a tab, reads its messages and hands them to dispatch.
#pragma once

#include <cstddef>
#include <string_view>

#include "core/netproto/ws.h"
#include "daemon/messages/session_record.h"

// Runs one session to its end on the calling (connection) thread. conn.buf may already
// hold the tab's first frames. notice: shown to every other open tab (tunnel tabs).
void run_tab(int sock, WS_Conn& conn, std::string_view notice);

// Hello, the receive loop and the teardown of one registered session (called by run_tab).
void session_run(Session& s, WS_Conn& conn);

// Notice (id 0) to every registered session but left_out (nullptr: all of them).
void notice_others(Session* left_out, std::string_view text);

// Number of registered sessions (for tests and load figures).
size_t session_count();
