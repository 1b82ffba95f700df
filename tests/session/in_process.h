// An in-process daemon for the tests: a loopback listener on port 0 whose accept thread
// runs handle_connection for every connection, with g_cfg set for it; and a capture of
// this process's standard error for checking log lines.
#pragma once

#include <cstddef>
#include <string>

struct In_Process_Daemon {
    int port = 0;
    std::string token;
    std::string root;
    std::string web;
};

constexpr const char* TEST_SITE_ORIGIN = "https://site.example";

// Sets g_cfg (with TEST_SITE_ORIGIN) and starts the listener, once per process.
const In_Process_Daemon& test_daemon();
// The same with another site origin; only for a fresh process (a death-test child).
In_Process_Daemon start_in_process_daemon(const std::string& site_origin);

// Waits (bounded) until session_count() is n.
bool wait_session_count(size_t n, int timeout_ms = 10000);

// Sends fd 2 to a temporary file until stop(); text() is what was written so far.
class Stderr_Capture {
  public:
    Stderr_Capture();
    ~Stderr_Capture();
    std::string text() const;
    // Waits (bounded) until the captured text contains needle.
    bool wait_for(const std::string& needle, int timeout_ms = 10000) const;
    void stop();

  private:
    int file_ = -1;  // the capture file, unlinked at once so no exit path leaves it behind
    int saved_ = -1;
};
