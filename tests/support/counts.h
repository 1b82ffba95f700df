// Resource counts from /proc for leak checks: descriptors, threads and children of this
// process or of a child, and waits for them to come back; whether processes and process
// groups have ended.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <string>
#include <vector>

// Entries of dir other than "." and ".."; -1 when it cannot be read.
int dir_entry_count(const std::string& dir);
// This process's open descriptors (not counting the one the count itself uses).
int open_fd_count();
// Entries of /proc/<pid>/fd and /proc/<pid>/task; -1 when the process is gone. Without a
// pid, this process's threads.
int fd_count(pid_t pid);
int thread_count(pid_t pid = 0);
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

// True when no process has that pid any more (it ended and was reaped).
bool process_gone(pid_t pid);
// Gone, or a zombie waiting for a parent that may never reap it.
bool process_dead(pid_t pid);
bool wait_dead(pid_t pid, int timeout_ms);
// The processes of group pgid that have not ended (zombies left out).
std::vector<pid_t> group_members(pid_t pgid);
// Waits (bounded) until no process of the group runs.
bool wait_group_gone(pid_t pgid, int timeout_ms);
