// Test harness for hooks: a session whose tab end is a socketpair the test reads frames
// from, and blocking clients of a hook socket.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "daemon/protocol.h"
#include "daemon/session.h"

struct Tab_Msg {
    Msg_Kind kind{};
    uint32_t id = 0;
    std::string payload;
};

// Reads server frames (unmasked, unfragmented) from a socket and splits session messages.
class Frame_Reader {
  public:
    explicit Frame_Reader(int fd, std::string already = {}) : fd_(fd), buf_(std::move(already)) {}
    // The next message, or nothing within timeout_ms.
    std::optional<Tab_Msg> next(int timeout_ms = 5000);

  private:
    int fd_;
    std::string buf_;
};

// A Session not run by run_tab: the test plays the session thread and reads what the
// daemon sends to the tab.
class Tab {
  public:
    Tab();
    ~Tab();  // closes every hook still open, then drops the session reference
    Session& session() { return *s_; }
    std::optional<Tab_Msg> next(int timeout_ms = 5000) { return reader_.next(timeout_ms); }

    // Hook_Listen and its Hook_Ready: {path, err}.
    Hook_Ready_Body listen(uint32_t hook_id);
    void reply(uint32_t hook_id, uint32_t request_id, std::string_view answer);
    void close(uint32_t hook_id);

  private:
    Session* s_;
    int peer_ = -1;
    Frame_Reader reader_{-1};
};

// Connects to a hook socket; -1 on failure. Receive time-out 10 s.
int connect_unix(const std::string& path);
// Everything until the daemon closes the connection, or nothing after 10 s.
std::optional<std::string> read_to_end(int fd);
// Parses {"path":...,"err":...}.
Hook_Ready_Body parse_ready(const std::string& json);
// Counts for leak checks.
int open_fd_count();
int thread_count();
int dir_entry_count(const std::string& dir);
