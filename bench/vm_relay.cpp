// Programs for the relay benchmark: a fast WebSocket source, a fast WebSocket client that
// counts what it receives, and a front that serves "/vm" with the daemon's own relay.
//   bench_vm_relay source PORT_FILE BYTES   serves BYTES of binary frames to every client
//   bench_vm_relay front PORT_FILE          relays ws://.../vm?to=TARGET like the daemon
//   bench_vm_relay sink HOST PORT PATH BYTES  receives and checks, prints the throughput
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>

#include "core/base/fd.h"
#include "core/base/thread.h"
#include "core/base/write_all.h"
#include "core/netproto/http.h"
#include "core/netproto/ws.h"
#include "daemon/vm/relay.h"
#include "daemon/vm/target.h"

namespace {

constexpr size_t FRAME_PAYLOAD = 1 << 20;  // the source's message size
constexpr size_t SINK_BUFFER = 1 << 20;

Fd _listen(std::string_view port_file) {
    Fd fd(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (!fd || bind(fd.get(), reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
        listen(fd.get(), 64) != 0)
        return Fd();
    socklen_t len = sizeof a;
    getsockname(fd.get(), reinterpret_cast<sockaddr*>(&a), &len);
    std::ofstream(std::string(port_file)) << ntohs(a.sin_port) << "\n";
    return fd;
}

bool _read_head(int sock, Conn_Buffer& buf, Request& req) {
    std::string head;
    return read_request_head(sock, buf, 0, head) && parse_request(head, req);
}

void _serve_source(int sock, uint64_t bytes) {
    Conn_Buffer buf;
    Request req;
    if (!_read_head(sock, buf, req) || !req.header("sec-websocket-key")) return;
    if (!ws_upgrade_response(sock, *req.header("sec-websocket-key"), "", "")) return;
    unsigned char header[10];
    std::string frame(ws_frame_header(WS_Op::Binary, FRAME_PAYLOAD, header), '\0');
    memcpy(frame.data(), header, frame.size());
    frame.append(FRAME_PAYLOAD, 'q');
    for (uint64_t sent = 0; sent < bytes; sent += FRAME_PAYLOAD) {
        uint64_t n = std::min<uint64_t>(FRAME_PAYLOAD, bytes - sent);
        if (n == FRAME_PAYLOAD) {
            if (!send_all(sock, frame)) return;
        } else {
            size_t h = ws_frame_header(WS_Op::Binary, n, header);
            if (!send_all(sock, {reinterpret_cast<char*>(header), h}) ||
                !send_all(sock, std::string_view(frame).substr(frame.size() - FRAME_PAYLOAD, n)))
                return;
        }
    }
    send_all(sock, std::string_view("\x88\x02\x03\xe8", 4));
    char tmp[4096];
    while (recv(sock, tmp, sizeof tmp, 0) > 0) {
    }
}

int _source(const char* port_file, uint64_t bytes) {
    Fd listener = _listen(port_file);
    if (!listener) return 1;
    for (;;) {
        int sock = accept4(listener.get(), nullptr, nullptr, SOCK_CLOEXEC);
        if (sock < 0) continue;
        start_detached([sock, bytes] {
            _serve_source(sock, bytes);
            close(sock);
        });
    }
}

int _front(const char* port_file) {
    Fd listener = _listen(port_file);
    if (!listener) return 1;
    for (;;) {
        int sock = accept4(listener.get(), nullptr, nullptr, SOCK_CLOEXEC);
        if (sock < 0) continue;
        start_detached([sock] {
            Conn_Buffer buf;
            Request req;
            VM_Target target;
            const std::array<int, 1> excluded = {0};
            if (_read_head(sock, buf, req) &&
                vm_target_of(query_param(req.query, "to"), excluded, target))
                handle_vm(sock, buf, req, target, false);
            close(sock);
        });
    }
}

// Counts payload bytes of server frames as they stream past, without copying payloads.
class Frame_Counter {
  public:
    // False once the Close frame has been seen.
    bool feed(const char* data, size_t n) {
        size_t i = 0;
        while (i < n) {
            if (skip_ > 0) {
                uint64_t take = std::min<uint64_t>(skip_, n - i);
                skip_ -= take;
                i += take;
                continue;
            }
            header_.push_back(data[i++]);
            if (header_.size() < 2 || header_.size() < _header_length()) continue;
            auto b = reinterpret_cast<const unsigned char*>(header_.data());
            uint64_t len = b[1] & 0x7f;
            if (len == 126) len = (uint64_t(b[2]) << 8) | b[3];
            if (len == 127) {
                len = 0;
                for (int k = 0; k < 8; ++k) len = (len << 8) | b[2 + k];
            }
            bool close = (b[0] & 0x0f) == 8;
            header_.clear();
            if (close) return false;
            payload += static_cast<int64_t>(len);
            skip_ = len;
        }
        return true;
    }
    int64_t payload = 0;

  private:
    size_t _header_length() const {
        unsigned len7 = static_cast<unsigned char>(header_[1]) & 0x7f;
        return len7 == 126 ? 4 : len7 == 127 ? 10 : 2;
    }
    std::string header_;
    uint64_t skip_ = 0;
};

// The payload bytes received until the Close; -1 if the stream ends before it.
int64_t _count_frames(int sock, const std::string& early) {
    Frame_Counter counter;
    if (!counter.feed(early.data(), early.size())) return counter.payload;
    std::string buf(SINK_BUFFER, '\0');
    for (;;) {
        ssize_t n = recv(sock, buf.data(), buf.size(), 0);
        if (n <= 0) return -1;
        if (!counter.feed(buf.data(), static_cast<size_t>(n))) return counter.payload;
    }
}

int _sink(const char* host, int port, const char* path, int64_t bytes) {
    Fd sock(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    auto start = std::chrono::steady_clock::now();
    if (!sock || connect(sock.get(), reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
        fprintf(stderr, "sink: cannot connect\n");
        return 1;
    }
    std::string key = ws_client_key();
    Conn_Buffer buf;
    std::string head;
    Response_Head response;
    if (!send_all(sock.get(), ws_client_request(path, host, key)) ||
        !read_request_head(sock.get(), buf, 0, head) || !parse_response_head(head, response) ||
        !ws_client_accepts(response, key)) {
        fprintf(stderr, "sink: handshake refused: %s\n", head.c_str());
        return 1;
    }
    int64_t got = _count_frames(sock.get(), buf);
    double secs = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    if (got != bytes) {
        fprintf(stderr, "sink: received %lld payload bytes, expected %lld\n",
                static_cast<long long>(got), static_cast<long long>(bytes));
        return 1;
    }
    printf("%.3f s %.0f MiB/s\n", secs, static_cast<double>(bytes) / (1 << 20) / secs);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    std::string mode = argc > 1 ? argv[1] : "";
    if (mode == "source" && argc == 4) return _source(argv[2], std::strtoull(argv[3], nullptr, 10));
    if (mode == "front" && argc == 3) return _front(argv[2]);
    if (mode == "sink" && argc == 6)
        return _sink(argv[2], std::atoi(argv[3]), argv[4], std::strtoll(argv[5], nullptr, 10));
    fprintf(stderr,
            "usage: bench_vm_relay source PORT_FILE BYTES | front PORT_FILE |"
            " sink HOST PORT PATH BYTES\n");
    return 2;
}
