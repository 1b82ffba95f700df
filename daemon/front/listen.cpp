// Listening sockets on 127.0.0.1, close-on-exec, address reuse allowed.
#include "daemon/front/listen.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstring>

#include "core/platform/platform.h"

namespace {

Listen_Result _failed(const char* call) {
    Listen_Result r;
    r.error = std::string(call) + ": " + std::strerror(errno);
    return r;
}

}  // namespace

Listen_Result listen_loopback(int port) {
    Fd fd = make_cloexec_socket(AF_INET, SOCK_STREAM);
    if (!fd) return _failed("socket");
    int one = 1;
    if (setsockopt(fd.get(), SOL_SOCKET, SO_REUSEADDR, &one, sizeof one) != 0)
        return _failed("setsockopt SO_REUSEADDR");
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(port));
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (bind(fd.get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0)
        return _failed("bind");
    if (listen(fd.get(), LISTEN_BACKLOG) != 0) return _failed("listen");
    socklen_t len = sizeof addr;
    if (getsockname(fd.get(), reinterpret_cast<sockaddr*>(&addr), &len) != 0)
        return _failed("getsockname");
    Listen_Result r;
    r.fd = std::move(fd);
    r.port = ntohs(addr.sin_port);
    return r;
}
