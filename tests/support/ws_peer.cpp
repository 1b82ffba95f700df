// A small WebSocket client for the tests.
#include "tests/support/ws_peer.h"

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

#include "core/base/clock.h"
#include "tests/support/net.h"

namespace {

constexpr unsigned char TEST_MASK[4] = {0x37, 0xfa, 0x21, 0x3d};

// Receives until buf holds n bytes; with a deadline (mono_ns), waits no longer than it.
bool _need(int fd, std::string& buf, size_t n, int64_t deadline_ns) {
    char tmp[65536];
    while (buf.size() < n) {
        if (deadline_ns >= 0) {
            int64_t left_ms = (deadline_ns - mono_ns() + NS_PER_MS - 1) / NS_PER_MS;
            pollfd p{fd, POLLIN, 0};
            if (left_ms <= 0 || poll(&p, 1, static_cast<int>(left_ms)) <= 0) return false;
        }
        ssize_t got = recv(fd, tmp, sizeof tmp, 0);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) return false;
        buf.append(tmp, static_cast<size_t>(got));
    }
    return true;
}

}  // namespace

std::string client_frame(uint8_t first_byte, std::string_view payload, bool masked, int len_form) {
    std::string f;
    f.push_back(static_cast<char>(first_byte));
    uint8_t mask_bit = masked ? 0x80 : 0;
    uint64_t n = payload.size();
    if (len_form == 0) len_form = n < 126 ? 0 : n < 65536 ? 126 : 127;
    if (len_form == 126) {
        f.push_back(static_cast<char>(mask_bit | 126));
        f.push_back(static_cast<char>(n >> 8));
        f.push_back(static_cast<char>(n));
    } else if (len_form == 127) {
        f.push_back(static_cast<char>(mask_bit | 127));
        for (int i = 7; i >= 0; --i) f.push_back(static_cast<char>(n >> (8 * i)));
    } else {
        f.push_back(static_cast<char>(mask_bit | n));
    }
    if (!masked) return f.append(payload);
    f.append(reinterpret_cast<const char*>(TEST_MASK), 4);
    for (size_t i = 0; i < payload.size(); ++i)
        f.push_back(static_cast<char>(payload[i] ^ TEST_MASK[i % 4]));
    return f;
}

std::string client_msg(uint8_t opcode, std::string_view payload) {
    return client_frame(static_cast<uint8_t>(0x80 | opcode), payload);
}

std::string session_msg(uint8_t kind, uint32_t id, std::string_view payload) {
    std::string m;
    m.push_back(static_cast<char>(kind));
    for (int i = 0; i < 4; ++i) m.push_back(static_cast<char>(id >> (8 * i)));
    m.append(payload);
    return client_msg(2, m);
}

bool read_server_frame(int fd, std::string& buf, Server_Frame& out, int timeout_ms) {
    int64_t deadline = timeout_ms < 0 ? -1 : mono_ns() + int64_t{timeout_ms} * NS_PER_MS;
    auto need = [&](size_t n) { return _need(fd, buf, n, deadline); };
    if (!need(2)) return false;
    auto b = [&](size_t i) { return static_cast<unsigned char>(buf[i]); };
    out.first = b(0);
    out.masked = (b(1) & 0x80) != 0;
    uint64_t n = b(1) & 0x7f;
    size_t pos = 2;
    if (n == 126) {
        if (!need(4)) return false;
        n = (uint64_t{b(2)} << 8) | b(3);
        pos = 4;
    } else if (n == 127) {
        if (!need(10)) return false;
        n = 0;
        for (size_t i = 0; i < 8; ++i) n = (n << 8) | b(2 + i);
        pos = 10;
    }
    if (out.masked) pos += 4;
    if (!need(pos + n)) return false;
    out.payload = buf.substr(pos, n);
    buf.erase(0, pos + n);
    return true;
}

int http_upgrade(int port, const std::string& target, const std::string& extra_headers,
                 std::string& head, std::string& buf, const std::string& first_bytes) {
    int fd = connect_tcp(port);
    if (fd < 0) return -1;
    std::string req = "GET " + target + " HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(port) +
                      "\r\n" + extra_headers + "\r\n" + first_bytes;
    buf.clear();
    if (!send_bytes(fd, req)) {
        close(fd);
        return -1;
    }
    head = read_head(fd, buf);
    return fd;
}

int open_session(int port, const std::string& token, std::string& buf,
                 const std::string& first_bytes) {
    std::string head;
    int fd = http_upgrade(port, "/ws?t=" + token,
                          "Upgrade: websocket\r\nConnection: Upgrade\r\n"
                          "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\n"
                          "Sec-WebSocket-Version: 13\r\n",
                          head, buf, first_bytes);
    if (fd < 0) return -1;
    if (head.rfind("HTTP/1.1 101 ", 0) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

bool closes_silently(int fd, std::string& extra, int timeout_ms) {
    pollfd p{fd, POLLIN, 0};
    char tmp[4096];
    for (;;) {
        if (poll(&p, 1, timeout_ms) <= 0) return false;
        ssize_t n = recv(fd, tmp, sizeof tmp, 0);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return extra.empty() && (errno == ECONNRESET);
        if (n == 0) return extra.empty();
        extra.append(tmp, static_cast<size_t>(n));
    }
}
