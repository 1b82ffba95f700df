// Resource counts from /proc for the leak checks.
#include "tests/support/counts.h"

#include <dirent.h>
#include <signal.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>

#include "core/base/clock.h"
#include "tests/support/daemon_process.h"

int dir_entry_count(const std::string& dir) {
    DIR* d = opendir(dir.c_str());
    if (d == nullptr) return -1;
    int n = 0;
    while (dirent* e = readdir(d))
        if (std::strcmp(e->d_name, ".") != 0 && std::strcmp(e->d_name, "..") != 0) ++n;
    closedir(d);
    return n;
}

int open_fd_count() {
    return dir_entry_count("/proc/self/fd") - 1;  // less opendir's own
}

int fd_count(pid_t pid) {
    return dir_entry_count("/proc/" + std::to_string(pid) + "/fd");
}

int thread_count(pid_t pid) {
    return dir_entry_count(pid == 0 ? std::string("/proc/self/task")
                                    : "/proc/" + std::to_string(pid) + "/task");
}

std::vector<pid_t> children_of(pid_t pid) {
    std::vector<pid_t> out;
    std::string task_dir = "/proc/" + std::to_string(pid) + "/task";
    std::error_code ec;
    for (const auto& task : std::filesystem::directory_iterator(task_dir, ec)) {
        std::string list = read_file(task.path().string() + "/children");
        for (size_t at = 0; at < list.size();) {
            size_t end = list.find(' ', at);
            if (end == std::string::npos) end = list.size();
            if (end > at) out.push_back(static_cast<pid_t>(std::atol(list.substr(at).c_str())));
            at = end + 1;
        }
    }
    return out;
}

Process_Counts counts_of(pid_t pid) {
    return {fd_count(pid), thread_count(pid), children_of(pid).size()};
}

Process_Counts wait_for_counts(pid_t pid, const Process_Counts& baseline, int timeout_ms) {
    int64_t end = mono_ns() + static_cast<int64_t>(timeout_ms) * NS_PER_MS;
    Process_Counts now = counts_of(pid);
    while (!(now == baseline) && mono_ns() < end) {
        sleep_ns(20 * NS_PER_MS);
        now = counts_of(pid);
    }
    return now;
}

Process_Counts settled_counts(pid_t pid) {
    constexpr int64_t STEADY_NS = 300 * NS_PER_MS;
    constexpr int64_t LIMIT_NS = 5000 * NS_PER_MS;
    int64_t start = mono_ns(), steady_since = start;
    Process_Counts last = counts_of(pid);
    while (mono_ns() - steady_since < STEADY_NS && mono_ns() - start < LIMIT_NS) {
        sleep_ns(20 * NS_PER_MS);
        Process_Counts now = counts_of(pid);
        if (!(now == last)) steady_since = mono_ns();
        last = now;
    }
    return last;
}

std::string describe(const Process_Counts& c) {
    return std::to_string(c.fds) + " descriptors, " + std::to_string(c.threads) + " threads, " +
           std::to_string(c.children) + " children";
}

namespace {

// The state letter and the process group of /proc/<pid>/stat (after the command's ")").
bool _stat_of(pid_t pid, char& state, pid_t& pgid) {
    std::string stat = read_file("/proc/" + std::to_string(pid) + "/stat");
    size_t paren = stat.rfind(')');
    if (paren == std::string::npos || paren + 2 >= stat.size()) return false;
    state = stat[paren + 2];
    // Fields after the state: ppid, then pgrp.
    const char* p = stat.c_str() + paren + 3;
    char* end = nullptr;
    std::strtol(p, &end, 10);
    pgid = static_cast<pid_t>(std::strtol(end, nullptr, 10));
    return true;
}

bool _wait_until(int timeout_ms, auto done) {
    int64_t end = mono_ns() + static_cast<int64_t>(timeout_ms) * NS_PER_MS;
    while (!done()) {
        if (mono_ns() >= end) return false;
        sleep_ns(10 * NS_PER_MS);
    }
    return true;
}

}  // namespace

bool process_gone(pid_t pid) {
    return pid > 0 && ::kill(pid, 0) != 0 && errno == ESRCH;
}

bool process_dead(pid_t pid) {
    if (process_gone(pid)) return true;
    char state = 0;
    pid_t pgid = 0;
    return _stat_of(pid, state, pgid) && state == 'Z';
}

bool wait_dead(pid_t pid, int timeout_ms) {
    return _wait_until(timeout_ms, [&] { return process_dead(pid); });
}

std::vector<pid_t> group_members(pid_t pgid) {
    std::vector<pid_t> out;
    std::error_code ec;
    for (const auto& e : std::filesystem::directory_iterator("/proc", ec)) {
        pid_t pid = static_cast<pid_t>(std::atol(e.path().filename().c_str()));
        char state = 0;
        pid_t group = 0;
        if (pid > 0 && _stat_of(pid, state, group) && group == pgid && state != 'Z')
            out.push_back(pid);
    }
    return out;
}

bool wait_group_gone(pid_t pgid, int timeout_ms) {
    return _wait_until(timeout_ms, [&] { return group_members(pgid).empty(); });
}
