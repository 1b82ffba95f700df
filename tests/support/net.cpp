// Small blocking client helpers for the tests.
#include "tests/support/net.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

Fd listen_on(const char* address, int& port, int backlog) {
    bool v6 = strchr(address, ':') != nullptr;
    Fd fd(socket(v6 ? AF_INET6 : AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!fd) return fd;
    int rc;
    if (v6) {
        sockaddr_in6 a{};
        a.sin6_family = AF_INET6;
        inet_pton(AF_INET6, address, &a.sin6_addr);
        rc = bind(fd.get(), reinterpret_cast<sockaddr*>(&a), sizeof a);
    } else {
        sockaddr_in a{};
        a.sin_family = AF_INET;
        inet_pton(AF_INET, address, &a.sin_addr);
        rc = bind(fd.get(), reinterpret_cast<sockaddr*>(&a), sizeof a);
    }
    if (rc != 0 || listen(fd.get(), backlog) != 0) return Fd();
    sockaddr_storage ss{};
    socklen_t len = sizeof ss;
    if (getsockname(fd.get(), reinterpret_cast<sockaddr*>(&ss), &len) != 0) return Fd();
    port = ntohs(v6 ? reinterpret_cast<sockaddr_in6*>(&ss)->sin6_port
                    : reinterpret_cast<sockaddr_in*>(&ss)->sin_port);
    return fd;
}

bool ipv6_loopback_available() {
    int port = 0;
    return listen_on("::1", port).valid();
}

int connect_tcp(int port, const char* address) {
    bool v6 = strchr(address, ':') != nullptr;
    int fd = socket(v6 ? AF_INET6 : AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    struct timeval tv {
        10, 0
    };
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    int rc;
    if (v6) {
        sockaddr_in6 a{};
        a.sin6_family = AF_INET6;
        a.sin6_port = htons(static_cast<uint16_t>(port));
        inet_pton(AF_INET6, address, &a.sin6_addr);
        rc = connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
    } else {
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(static_cast<uint16_t>(port));
        inet_pton(AF_INET, address, &a.sin_addr);
        rc = connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
    }
    if (rc != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

bool send_bytes(int fd, const std::string& bytes) {
    size_t off = 0;
    while (off < bytes.size()) {
        ssize_t n = send(fd, bytes.data() + off, bytes.size() - off, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        off += static_cast<size_t>(n);
    }
    return true;
}

std::string read_until_close(int fd) {
    std::string out;
    char buf[65536];
    for (;;) {
        ssize_t n = recv(fd, buf, sizeof buf, 0);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        out.append(buf, static_cast<size_t>(n));
    }
    return out;
}

std::string http_exchange(int port, const std::string& request) {
    int fd = connect_tcp(port);
    if (fd < 0) return "";
    send_bytes(fd, request);
    std::string out = read_until_close(fd);
    close(fd);
    return out;
}

std::string read_head(int fd, std::string& buf) {
    char tmp[4096];
    for (;;) {
        size_t end = buf.find("\r\n\r\n");
        if (end != std::string::npos) {
            std::string head = buf.substr(0, end + 4);
            buf.erase(0, end + 4);
            return head;
        }
        ssize_t n = recv(fd, tmp, sizeof tmp, 0);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return "";
        buf.append(tmp, static_cast<size_t>(n));
    }
}

std::string read_exact(int fd, std::string& buf, size_t n) {
    char tmp[4096];
    while (buf.size() < n) {
        ssize_t got = recv(fd, tmp, sizeof tmp, 0);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) break;
        buf.append(tmp, static_cast<size_t>(got));
    }
    std::string out = buf.substr(0, n);
    buf.erase(0, out.size());
    return out;
}
