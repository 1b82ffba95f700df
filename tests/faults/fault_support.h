// What the fault tests share: the daemon's descriptor, thread and child counts from /proc,
// a minimal tab on the session protocol, and file request envelopes.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

// Entries of /proc/<pid>/fd and /proc/<pid>/task; -1 when the process is gone.
int fd_count(pid_t pid);
int thread_count(pid_t pid);
// The pids whose parent is pid.
std::vector<pid_t> children_of(pid_t pid);

struct Process_Counts {
    int fds = 0;
    int threads = 0;
    size_t children = 0;
    bool operator==(const Process_Counts&) const = default;
};
Process_Counts counts_of(pid_t pid);
// Waits up to timeout_ms for the counts to come back to baseline; the last counts seen.
Process_Counts wait_for_counts(pid_t pid, const Process_Counts& baseline, int timeout_ms = 10000);
std::string describe(const Process_Counts& c);
// The counts once they have stayed the same for a while (connections just closed take a
// moment to end): the baseline to compare with.
Process_Counts settled_counts(pid_t pid);

// A file request envelope: u32le JSON length, JSON, data.
std::string fs_request(std::string_view op, std::string_view path, std::string_view data = {});

struct Tab_Reply {
    uint8_t kind = 0;
    uint32_t id = 0;
    std::string payload;
};

// A tab session on a running daemon: greeted on open, then messages either way.
class Fault_Tab {
  public:
    Fault_Tab(int port, const std::string& token);
    ~Fault_Tab();
    Fault_Tab(const Fault_Tab&) = delete;
    Fault_Tab& operator=(const Fault_Tab&) = delete;

    bool ok() const { return fd_ >= 0 && greeted_; }
    int fd() const { return fd_; }
    bool send(uint8_t kind, uint32_t id, std::string_view payload);
    bool send_raw(std::string_view bytes);
    // The next session message; false when the session ended or nothing came in time.
    bool next(Tab_Reply& m);
    // Messages until one of this kind and id arrives (others are dropped).
    bool wait_for(uint8_t kind, uint32_t id, Tab_Reply& m);
    // Closes the socket at once, whatever is still unread or unsent.
    void vanish();

  private:
    int fd_ = -1;
    bool greeted_ = false;
    std::string buf_;
};

// The JSON reply and data of an Fs_Reply payload.
bool split_reply(std::string_view payload, std::string& json, std::string& data);

// {"argv":[...]} for a shell command line.
std::string sh_spawn(std::string_view script);

// A round trip of a small "stat" through a fresh tab: the daemon still serves tabs.
bool serves_a_tab(int port, const std::string& token);
