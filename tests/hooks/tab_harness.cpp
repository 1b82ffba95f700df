// Test harness for hooks: a socketpair tab and hook socket clients.
#include "tests/hooks/tab_harness.h"

#include <dirent.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>
#include <nlohmann/json.hpp>

#include "core/base/bytes.h"
#include "daemon/hooks.h"

std::optional<Tab_Msg> Frame_Reader::next(int timeout_ms) {
    for (;;) {
        if (buf_.size() >= 2) {
            uint64_t len = static_cast<unsigned char>(buf_[1]) & 0x7f;
            size_t head = 2;
            if (len == 126) head = 4;
            if (len == 127) head = 10;
            if (buf_.size() >= head) {
                if (head > 2) {
                    len = 0;
                    for (size_t i = 2; i < head; ++i)
                        len = (len << 8) | static_cast<unsigned char>(buf_[i]);
                }
                if (buf_.size() >= head + len) {
                    std::string payload = buf_.substr(head, len);
                    buf_.erase(0, head + len);
                    if (payload.size() < MSG_HEADER_SIZE) return std::nullopt;
                    Tab_Msg m;
                    m.kind = static_cast<Msg_Kind>(payload[0]);
                    m.id = get_u32le(std::string_view(payload).substr(1));
                    m.payload = payload.substr(MSG_HEADER_SIZE);
                    return m;
                }
            }
        }
        struct pollfd p {
            fd_, POLLIN, 0
        };
        if (::poll(&p, 1, timeout_ms) <= 0) return std::nullopt;
        char tmp[65536];
        ssize_t n = ::recv(fd_, tmp, sizeof tmp, 0);
        if (n <= 0) return std::nullopt;
        buf_.append(tmp, static_cast<size_t>(n));
    }
}

Tab::Tab() : s_(new Session) {
    int sv[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv) == 0) {
        s_->sock = sv[0];
        peer_ = sv[1];
    }
    reader_ = Frame_Reader(peer_);
}

Tab::~Tab() {
    std::vector<uint32_t> ids;
    {
        std::lock_guard lock(s_->mu);
        for (auto& [id, h] : s_->hooks) ids.push_back(id);
    }
    for (uint32_t id : ids) hook_close(*s_, id);
    int sock = s_->sock;
    session_unref(*s_);
    ::close(sock);
    ::close(peer_);
}

Hook_Ready_Body Tab::listen(uint32_t hook_id) {
    hook_dispatch(*s_, Msg_Kind::Hook_Listen, hook_id, "");
    std::optional<Tab_Msg> m = next();
    if (!m || m->kind != Msg_Kind::Hook_Ready || m->id != hook_id) return {"", "no Hook_Ready"};
    return parse_ready(m->payload);
}

void Tab::reply(uint32_t hook_id, uint32_t request_id, std::string_view answer) {
    std::string body;
    put_u32le(body, request_id);
    body.append(answer);
    hook_dispatch(*s_, Msg_Kind::Hook_Reply, hook_id, body);
}

void Tab::close(uint32_t hook_id) {
    hook_dispatch(*s_, Msg_Kind::Hook_Close, hook_id, "");
}

int connect_unix(const std::string& path) {
    int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    struct timeval tv {
        10, 0
    };
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    struct sockaddr_un a;
    std::memset(&a, 0, sizeof a);
    a.sun_family = AF_UNIX;
    std::memcpy(a.sun_path, path.data(), std::min(path.size(), sizeof a.sun_path - 1));
    if (::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

std::optional<std::string> read_to_end(int fd) {
    std::string out;
    char tmp[4096];
    for (;;) {
        ssize_t n = ::recv(fd, tmp, sizeof tmp, 0);
        if (n == 0) return out;
        if (n < 0) return errno == ECONNRESET ? std::optional(out) : std::nullopt;
        out.append(tmp, static_cast<size_t>(n));
    }
}

Hook_Ready_Body parse_ready(const std::string& json) {
    auto j = nlohmann::json::parse(json, nullptr, false);
    if (!j.is_object() || !j["path"].is_string() || !j["err"].is_string())
        return {"", "unparsable: " + json};
    return {j["path"].get<std::string>(), j["err"].get<std::string>()};
}

int dir_entry_count(const std::string& dir) {
    DIR* d = ::opendir(dir.c_str());
    if (d == nullptr) return -1;
    int n = 0;
    while (struct dirent* e = ::readdir(d)) {
        if (std::strcmp(e->d_name, ".") != 0 && std::strcmp(e->d_name, "..") != 0) ++n;
    }
    ::closedir(d);
    return n;
}

int open_fd_count() {
    return dir_entry_count("/proc/self/fd") - 1;
}  // less opendir's own
int thread_count() {
    return dir_entry_count("/proc/self/task");
}
