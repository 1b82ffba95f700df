// The tunnel end to end: a built quelmar started with a tunnel whose cloudflared is a fake
// of our own (a shell script), and a client that talks to the tunnel listener the way
// cloudflared forwards browsers' requests.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "tests/support/daemon_process.h"

// The part of the fake after its announcement: by default it waits to be signalled. $n is
// the run number (1 for the first run), $DIR the fake's directory.
constexpr const char* FAKE_WAITS = "exec /bin/sleep 600";

struct Tunnel_Options {
    std::vector<std::string> extra;  // more daemon arguments
    std::vector<std::string> env;    // NAME=VALUE entries for the daemon
    std::string after = FAKE_WAITS;  // the fake's script after its announcement
    bool named = false;              // --tunnel-host with --tunnel-creds instead of --tunnel
    bool hold = false;               // the fake waits for release() before announcing
    std::string index_html =
        "<!doctype html><html><head><title>t</title></head><body>hi</body></html>";
};

constexpr const char* NAMED_HOST = "editor.example.com";
constexpr const char* NAMED_ID = "6f1d2c3b-4a5e-4f60-8a7b-9c0d1e2f3a4b";

class Tunnel_Daemon {
  public:
    explicit Tunnel_Daemon(Tunnel_Options opts = {});
    // SIGTERM to the daemon (which kills the fake first), then whatever is left is killed.
    ~Tunnel_Daemon();

    bool ok() const { return daemon_ && daemon_->ok(); }
    Daemon& daemon() { return *daemon_; }
    Child_Process& process() { return daemon_->process(); }
    const std::string& web() const { return web_.path(); }
    std::string fake_file(const std::string& name) const { return fake_.file(name); }

    // The tunnel listener's port, from the --url origin the fake was given (bounded wait).
    int tunnel_port();
    // Waits (bounded) for the n-th tunnel link on stdout and takes its host and token.
    bool wait_link(int n = 1, int timeout_ms = 10000);
    const std::string& host() const { return host_; }
    const std::string& token() const { return token_; }
    // Lets a held fake announce its tunnel.
    void release();
    // How many times the fake has been started for a tunnel run; the argv of run n.
    int runs() const;
    std::vector<std::string> argv_of(int run) const;
    std::vector<pid_t> fake_pids() const;

  private:
    Temp_Dir fake_;
    Temp_Dir web_;
    Temp_Dir creds_;
    std::unique_ptr<Daemon> daemon_;
    int tunnel_port_ = 0;
    std::string host_, token_;
};

// A request head: the request line, Host (none when host is empty) and extra header lines.
std::string tunnel_req(const std::string& method, const std::string& target,
                       const std::string& host, const std::string& extra = "");

struct Answer {
    int status = 0;
    std::string head;  // with its terminator
    std::string body;
    std::string raw;
};
Answer parse_answer(const std::string& raw);
// One request on a new connection to the tunnel listener, read until the daemon closes.
Answer ask(int port, const std::string& request);
// The value of a header in an answer head (name compared without case), or "".
std::string header_of(const std::string& head, const std::string& name);

// The headers of a same-origin request from the published page, with a client address.
std::string from_page(const std::string& host, const std::string& ip = "203.0.113.7",
                      const std::string& country = "DE");

// Opens a tab session through the tunnel (the token in the subprotocol list); -1 when the
// answer is not 101 (head then holds it). buf keeps bytes after the head.
int tunnel_tab(int port, const std::string& host, const std::string& token, std::string& head,
               std::string& buf, const std::string& ip = "203.0.113.7",
               const std::string& country = "DE");

// Reads session messages until one of this kind arrives; its payload, or nullopt. Waits as
// long as the socket's receive time-out lets it.
std::optional<std::string> next_message_of_kind(int fd, std::string& buf, uint8_t kind);

// Kills a process left behind by a test if it is still there.
void kill_leftover(pid_t pid);
