// The daemon's resource counts from /proc, and the small tab the fault tests drive.
#include "fault_support.h"

#include <dirent.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>

#include "core/base/bytes.h"
#include "core/base/clock.h"
#include "core/base/json_write.h"
#include "tests/support/daemon_process.h"
#include "tests/support/net.h"
#include "tests/support/ws_peer.h"

namespace {

constexpr uint8_t KIND_HELLO = 0;
constexpr uint8_t KIND_FS = 5;
constexpr uint8_t KIND_FS_REPLY = 13;

int _entries(const std::string& dir) {
    DIR* d = opendir(dir.c_str());
    if (!d) return -1;
    int n = 0;
    while (dirent* e = readdir(d))
        if (e->d_name[0] != '.') ++n;
    closedir(d);
    return n;
}

}  // namespace

int fd_count(pid_t pid) {
    return _entries("/proc/" + std::to_string(pid) + "/fd");
}

int thread_count(pid_t pid) {
    return _entries("/proc/" + std::to_string(pid) + "/task");
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

std::string fs_request(std::string_view op, std::string_view path, std::string_view data) {
    Json_Writer w;
    w.begin_object();
    w.key("op").value(op).key("path").value(path);
    w.end_object();
    std::string json = w.take();
    std::string out;
    put_u32le(out, static_cast<uint32_t>(json.size()));
    out.append(json).append(data);
    return out;
}

Fault_Tab::Fault_Tab(int port, const std::string& token) {
    fd_ = open_session(port, token, buf_);
    Tab_Reply hello;
    greeted_ = fd_ >= 0 && next(hello) && hello.kind == KIND_HELLO;
}

Fault_Tab::~Fault_Tab() {
    vanish();
}

bool Fault_Tab::send(uint8_t kind, uint32_t id, std::string_view payload) {
    return send_raw(session_msg(kind, id, payload));
}

bool Fault_Tab::send_raw(std::string_view bytes) {
    return fd_ >= 0 && send_bytes(fd_, std::string(bytes));
}

bool Fault_Tab::next(Tab_Reply& m) {
    Server_Frame f;
    while (fd_ >= 0 && read_server_frame(fd_, buf_, f)) {
        if (f.opcode() != 2 || f.payload.size() < 5) continue;
        m.kind = static_cast<uint8_t>(f.payload[0]);
        m.id = get_u32le(std::string_view(f.payload).substr(1));
        m.payload = f.payload.substr(5);
        return true;
    }
    return false;
}

bool Fault_Tab::wait_for(uint8_t kind, uint32_t id, Tab_Reply& m) {
    while (next(m))
        if (m.kind == kind && m.id == id) return true;
    return false;
}

void Fault_Tab::vanish() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
}

bool split_reply(std::string_view payload, std::string& json, std::string& data) {
    if (payload.size() < 4) return false;
    uint32_t n = get_u32le(payload);
    if (n > payload.size() - 4) return false;
    json = payload.substr(4, n);
    data = payload.substr(4 + n);
    return true;
}

std::string sh_spawn(std::string_view script) {
    Json_Writer w;
    w.begin_object();
    w.key("argv").string_array({"/bin/sh", "-c", std::string(script)});
    w.end_object();
    return w.take();
}

bool serves_a_tab(int port, const std::string& token) {
    Fault_Tab tab(port, token);
    if (!tab.ok() || !tab.send(KIND_FS, 77, fs_request("stat", "/"))) return false;
    Tab_Reply r;
    std::string json, data;
    return tab.wait_for(KIND_FS_REPLY, 77, r) && split_reply(r.payload, json, data) &&
           json.find("\"ok\":true") != std::string::npos;
}
