// Test harness for hooks: a socketpair tab and hook socket clients.
#include "tests/hooks/tab_harness.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>

#include "daemon/hooks/hooks.h"

Session_Tab::Session_Tab() : s_(new Session) {
    int sv[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv) == 0) {
        s_->sock = sv[0];
        peer_ = sv[1];
    }
}

Session_Tab::~Session_Tab() {
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

Hook_Ready_Body Session_Tab::listen(uint32_t hook_id) {
    hook_dispatch(*s_, Msg_Kind::Hook_Listen, hook_id, "");
    std::optional<Tab_Msg> m = next();
    if (!m || m->kind != Msg_Kind::Hook_Ready || m->id != hook_id) return {"", "no Hook_Ready"};
    return parse_ready(m->payload);
}

void Session_Tab::reply(uint32_t hook_id, uint32_t request_id, std::string_view answer) {
    hook_dispatch(*s_, Msg_Kind::Hook_Reply, hook_id, hook_reply_body(request_id, answer));
}

void Session_Tab::close(uint32_t hook_id) {
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
