// Test harness for hooks: a session whose tab end is a socketpair the test reads frames
// from, and blocking clients of a hook socket.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "daemon/messages/protocol.h"
#include "daemon/session/session.h"
#include "tests/support/tab.h"

// A Session not run by run_tab: the test plays the session thread and reads what the
// daemon sends to the tab.
class Session_Tab {
  public:
    Session_Tab();
    ~Session_Tab();  // closes every hook still open, then drops the session reference
    Session& session() { return *s_; }
    std::optional<Tab_Msg> next(int timeout_ms = 5000) {
        return read_tab_msg(peer_, buf_, timeout_ms);
    }

    // Hook_Listen and its Hook_Ready: {path, err}.
    Hook_Ready_Body listen(uint32_t hook_id);
    void reply(uint32_t hook_id, uint32_t request_id, std::string_view answer);
    void close(uint32_t hook_id);

  private:
    Session* s_;
    int peer_ = -1;
    std::string buf_;
};

// Connects to a hook socket; -1 on failure. Receive time-out 10 s.
int connect_unix(const std::string& path);
// Everything until the daemon closes the connection, or nothing after 10 s.
std::optional<std::string> read_to_end(int fd);
