// The daemon's front in this process (a loopback listener whose connections go through
// handle_connection) and a tab that reaches it over a real WebSocket.
#pragma once

#include <atomic>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "tests/hooks/tab_harness.h"

class Local_Daemon {
  public:
    Local_Daemon();   // sets g_cfg (port, token, root) before its first thread starts
    ~Local_Daemon();  // waits for every connection's thread; close the tabs first
    bool ok() const { return port_ > 0; }
    int port() const { return port_; }
    const std::string& token() const { return token_; }

  private:
    void _accept_loop();
    int listener_ = -1;
    int port_ = 0;
    std::string token_;
    std::atomic<bool> stop_{false};
    std::thread acceptor_;
    std::mutex mu_;
    std::vector<std::thread> connections_;
};

class Ws_Tab {
  public:
    explicit Ws_Tab(const Local_Daemon& d);
    ~Ws_Tab() { close(); }
    bool ok() const { return fd_ >= 0; }
    void send(Msg_Kind kind, uint32_t id, std::string_view payload);
    std::optional<Tab_Msg> next(int timeout_ms = 10000) { return reader_.next(timeout_ms); }
    // The next message of this kind, skipping others.
    std::optional<Tab_Msg> next_of(Msg_Kind kind, int timeout_ms = 10000);
    Hook_Ready_Body listen(uint32_t hook_id);
    void reply(uint32_t hook_id, uint32_t request_id, std::string_view answer);
    void close();

  private:
    int fd_ = -1;
    Frame_Reader reader_{-1};
};

// Waits (bounded) until no session is registered.
bool wait_no_sessions(int timeout_ms = 10000);
