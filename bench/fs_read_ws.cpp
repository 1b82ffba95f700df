// Times "read" through a tab session with a plain client of ours: connect, Hello, then one
// Fs message and its whole Fs_Reply per round. Prints "<ms> <bytes>" per round.
// usage: bench_fs_read_ws PORT TOKEN PATH ROUNDS
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "core/base/bytes.h"
#include "core/base/clock.h"
#include "core/base/fd.h"
#include "core/base/write_all.h"
#include "core/netproto/http.h"
#include "core/netproto/ws.h"

namespace {

bool _fill(int fd, std::string& buf, size_t n) {
    char chunk[1 << 16];
    while (buf.size() < n) {
        ssize_t got = recv(fd, chunk, sizeof chunk, 0);
        if (got <= 0) return false;
        buf.append(chunk, static_cast<size_t>(got));
    }
    return true;
}

// One unmasked server frame's payload length; the payload is skipped, not kept.
bool _skip_frame(int fd, std::string& buf, uint64_t& length) {
    if (!_fill(fd, buf, 2)) return false;
    uint64_t len = static_cast<unsigned char>(buf[1]) & 0x7f;
    size_t head = 2;
    if (len >= 126) {
        size_t extra = len == 126 ? 2 : 8;
        if (!_fill(fd, buf, 2 + extra)) return false;
        len = 0;
        for (size_t i = 0; i < extra; ++i) len = len << 8 | static_cast<unsigned char>(buf[2 + i]);
        head += extra;
    }
    buf.erase(0, head);
    length = len;
    while (len > 0) {
        if (buf.empty() && !_fill(fd, buf, 1)) return false;
        size_t take = static_cast<size_t>(std::min<uint64_t>(len, buf.size()));
        buf.erase(0, take);
        len -= take;
    }
    return true;
}

std::string _masked_binary(const std::string& payload) {
    std::string f = "\x82";
    f.push_back(static_cast<char>(0x80 | payload.size()));  // payloads here are < 126 bytes
    f += std::string(4, '\0');                              // a zero mask leaves bytes as they are
    return f + payload;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 5) return 2;
    int port = std::atoi(argv[1]);
    Fd fd(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(fd.get(), reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) return 1;
    std::string host = "127.0.0.1:" + std::to_string(port);
    std::string req = ws_client_request(std::string("/ws?t=") + argv[2], host, ws_client_key());
    if (!send_all(fd.get(), req)) return 1;
    std::string buf, head;
    if (!read_request_head(fd.get(), buf, 0, head)) return 1;
    uint64_t len;
    if (!_skip_frame(fd.get(), buf, len)) return 1;  // Hello
    std::string json = std::string("{\"op\":\"read\",\"path\":\"") + argv[3] + "\"}";
    std::string msg = std::string("\x05\x01\0\0\0", 5);
    put_u32le(msg, static_cast<uint32_t>(json.size()));
    msg += json;
    for (int i = 0; i < std::atoi(argv[4]); ++i) {
        int64_t t0 = mono_ns();
        if (!send_all(fd.get(), _masked_binary(msg)) || !_skip_frame(fd.get(), buf, len)) return 1;
        std::printf("%.1f %llu\n", static_cast<double>(mono_ns() - t0) / 1e6,
                    static_cast<unsigned long long>(len));
    }
    return 0;
}
