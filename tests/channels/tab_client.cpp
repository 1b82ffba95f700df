// An in-process daemon front and a session-protocol tab for the channel tests.
#include "tests/channels/tab_client.h"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <climits>
#include <csignal>
#include <cstdlib>
#include <nlohmann/json.hpp>

#include "core/base/bytes.h"
#include "core/base/thread.h"
#include "daemon/admission.h"
#include "daemon/config.h"
#include "tests/support/daemon_process.h"
#include "tests/support/net.h"
#include "tests/support/ws_peer.h"

namespace {

void _accept_loop(int listener) {
    while (true) {
        int sock = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
        if (sock < 0) continue;
        int one = 1;
        ::setsockopt(sock, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        if (!start_detached([sock] { handle_connection(sock, Listener::Loopback); })) ::close(sock);
    }
}

Test_Front _start_front() {
    ::signal(SIGPIPE, SIG_IGN);
    static Temp_Dir root;
    Test_Front f;
    char real[PATH_MAX];
    f.root = ::realpath(root.path().c_str(), real) ? real : root.path();
    f.token = "0123456789abcdef0123456789abcdef";
    int ls = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    if (ls < 0 || ::bind(ls, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
        ::listen(ls, 64) != 0 || ::getsockname(ls, reinterpret_cast<sockaddr*>(&a), &len) != 0)
        std::abort();
    f.port = ntohs(a.sin_port);
    g_cfg.port = f.port;
    g_cfg.token = f.token;
    g_cfg.root = f.root;
    if (!start_detached([ls] { _accept_loop(ls); })) std::abort();
    return f;
}

}  // namespace

const Test_Front& test_front() {
    static const Test_Front front = _start_front();
    return front;
}

Tab::Tab() {
    const Test_Front& f = test_front();
    fd_ = open_session(f.port, f.token, buf_);
    Tab_Msg hello;
    if (fd_ >= 0 && (!next(hello) || hello.kind != Msg_Kind::Hello)) close();
}

Tab::~Tab() {
    close();
}

void Tab::close() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
}

bool Tab::send(Msg_Kind kind, uint32_t id, std::string_view payload) {
    return fd_ >= 0 && send_bytes(fd_, session_msg(static_cast<uint8_t>(kind), id, payload));
}

bool Tab::next(Tab_Msg& m) {
    Server_Frame f;
    if (fd_ < 0 || !read_server_frame(fd_, buf_, f)) return false;
    if (f.opcode() != 2 || f.payload.size() < 5) return false;
    m.kind = static_cast<Msg_Kind>(f.payload[0]);
    m.id = get_u32le(std::string_view(f.payload).substr(1));
    m.data = f.payload.substr(5);
    return true;
}

Channel_Run Tab::collect(uint32_t id) {
    Channel_Run r;
    Tab_Msg m;
    while (next(m)) {
        if (m.id != id || (m.kind != Msg_Kind::Stdout && m.kind != Msg_Kind::Stderr &&
                           m.kind != Msg_Kind::Exit)) {
            r.others.push_back(std::move(m));
            continue;
        }
        if (m.kind == Msg_Kind::Stdout) {
            r.out += m.data;
            r.out_sizes.push_back(m.data.size());
        } else if (m.kind == Msg_Kind::Stderr) {
            r.err += m.data;
        } else {
            r.exited = true;
            r.exit_size = m.data.size();
            if (m.data.size() >= 4) r.status = static_cast<int32_t>(get_u32le(m.data));
            if (m.data.size() > 4) r.exit_text = m.data.substr(4);
            break;
        }
    }
    return r;
}

std::string spawn_json(const std::vector<std::string>& argv, const std::string& more) {
    std::string j = "{\"argv\":" + nlohmann::json(argv).dump();
    if (!more.empty()) j += "," + more;
    return j + "}";
}
