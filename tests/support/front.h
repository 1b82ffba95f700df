// The daemon's front in the test process: a loopback listener on port 0 whose accept thread
// runs handle_connection for every connection, with g_cfg set before the first thread; a
// bounded wait for the session count; and a capture of this process's standard error.
#pragma once

#include <cstddef>
#include <string>

constexpr const char* TEST_SITE_ORIGIN = "https://site.example";

struct Front {
    int port = 0;
    std::string token;
    std::string root;  // the project root (real path) the sessions report and run programs in
    std::string web;   // the web directory, holding an index.html
};

// Sets g_cfg (port, token, root, web and this site origin), ignores SIGPIPE as the daemon
// does, and starts the listener. The listener and its directories live until the process
// ends, so a test program starts one front; only a fresh process (a death-test child) may
// start another.
Front start_front(const std::string& site_origin = TEST_SITE_ORIGIN);
// The front of this test program, started on first use.
const Front& test_front();

// Waits (bounded) until session_count() is n.
bool wait_session_count(size_t n, int timeout_ms = 10000);
// Waits (bounded) until every connection accepted so far has ended and its thread is gone.
bool wait_connections_closed(int timeout_ms = 10000);

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
