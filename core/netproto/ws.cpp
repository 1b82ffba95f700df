// RFC 6455 WebSocket: handshake on both sides, the frame writer and the message reader.
#include "core/netproto/ws.h"

#include <sys/socket.h>
#include <sys/uio.h>

#include <algorithm>
#include <cerrno>
#include <climits>

#include "core/base/random.h"
#include "core/base/write_all.h"
#include "core/netproto/base64.h"
#include "core/netproto/sha1.h"
#include "core/platform/platform.h"

namespace {

constexpr std::string_view WS_GUID = "258EAFA5-E914-47DA-95CA-C5AB0DC85B11";
// Receives go through a scratch block of this size (on the reader's stack).
constexpr size_t WS_RECV_SCRATCH = 16384;
// Largest payload of a control frame.
constexpr uint64_t WS_MAX_CONTROL = 125;
// A Close echo carries the status code only, never the reason.
constexpr size_t WS_CLOSE_ECHO = 2;
// iovecs per sendmsg: a window moved along the parts, so no list is ever allocated.
constexpr size_t WS_IOV_WINDOW = 64;
constexpr size_t WS_CLIENT_KEY_BYTES = 16;
// Once a large message has gone, the connection buffer gives back its memory.
constexpr size_t WS_BUF_KEEP = 1 << 20;

bool _iequals(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (ascii_lower(a[i]) != ascii_lower(b[i])) return false;
    return true;
}

std::string_view _header_or_empty(const Response_Head& head, std::string_view name) {
    auto it = head.headers.find(name);
    return it == head.headers.end() ? std::string_view{} : std::string_view(it->second);
}

// Receives until conn.buf holds at least n bytes. False on a receive error or end of stream.
bool _fill(WS_Conn& conn, size_t n) {
    // Room for the last receive too, so a large frame is never copied to grow the buffer.
    if (conn.buf.capacity() < n) conn.buf.reserve(n + WS_RECV_SCRATCH);
    char scratch[WS_RECV_SCRATCH];
    while (conn.buf.size() < n) {
        ssize_t got = recv(conn.sock, scratch, sizeof scratch, 0);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) return false;
        conn.buf.append(scratch, static_cast<size_t>(got));
    }
    return true;
}

// Parses the header at the front of conn.buf, receiving one byte more each time it is
// short. Returns the header length, 0 when the connection ended first.
size_t _read_frame_header(WS_Conn& conn, WS_Frame_Header& h) {
    if (!_fill(conn, 2)) return 0;
    size_t len;
    while ((len = ws_parse_frame_header(conn.buf, h)) == 0)
        if (!_fill(conn, conn.buf.size() + 1)) return 0;
    return len;
}

// The tests every frame must pass before its payload is received, so an oversized or
// malformed frame costs no memory.
bool _frame_acceptable(const WS_Frame_Header& h, size_t message_so_far, bool in_progress) {
    if (h.rsv != 0 || !h.masked) return false;
    bool control = h.opcode >= 8;
    if (control && (h.length > WS_MAX_CONTROL || !h.fin)) return false;
    if (h.length > WS_MAX_MESSAGE || message_so_far + h.length > WS_MAX_MESSAGE) return false;
    switch (static_cast<WS_Op>(h.opcode)) {
        case WS_Op::Continuation:
            return in_progress;
        case WS_Op::Text:
        case WS_Op::Binary:
            return !in_progress;
        case WS_Op::Close:
        case WS_Op::Ping:
        case WS_Op::Pong:
            return true;
    }
    return false;  // 3-7, 11-15
}

void _unmask(char* p, uint64_t n, const unsigned char key[4]) {
    for (uint64_t i = 0; i < n; ++i) p[i] = static_cast<char>(p[i] ^ key[i & 3]);
}

bool _send_control(WS_Conn& conn, WS_Op op, std::string_view payload) {
    if (conn.send_control) return conn.send_control(op, payload);
    std::string_view parts[1] = {payload};
    return ws_write(conn.sock, op, parts);
}

void _drop_front(WS_Conn& conn, size_t n) {
    conn.buf.erase(0, n);
    if (conn.buf.capacity() > WS_BUF_KEEP && conn.buf.size() < WS_BUF_KEEP)
        conn.buf.shrink_to_fit();
}

uint64_t _total_size(std::span<const std::string_view> parts) {
    uint64_t total = 0;
    for (auto p : parts) total += p.size();
    return total;
}

std::string_view _bytes(const unsigned char* p, size_t n) {
    return std::string_view(reinterpret_cast<const char*>(p), n);
}

// Sends first, then every part, with gathered sends (no joining copy); false at the first
// failure, with errno set.
bool _send_gathered(int sock, std::string_view first, std::span<const std::string_view> parts) {
    // Position of the next unsent byte: index -1 is first, then the parts.
    ptrdiff_t part = -1;
    size_t offset = 0;
    auto piece = [&](ptrdiff_t i) -> std::string_view {
        return i < 0 ? first : parts[static_cast<size_t>(i)];
    };
    const auto count = static_cast<ptrdiff_t>(parts.size());
    while (true) {
        while (part < count && offset == piece(part).size()) {
            ++part;
            offset = 0;
        }
        if (part >= count) return true;

        iovec iov[WS_IOV_WINDOW];
        size_t n = 0;
        for (ptrdiff_t i = part; i < count && n < WS_IOV_WINDOW; ++i) {
            std::string_view s = piece(i);
            size_t skip = i == part ? offset : 0;
            if (s.size() == skip) continue;
            size_t len = std::min<size_t>(s.size() - skip, INT_MAX);
            iov[n].iov_base = const_cast<char*>(s.data() + skip);
            iov[n].iov_len = len;
            ++n;
            if (len < s.size() - skip) break;  // the rest of this piece goes in a later call
        }
        msghdr mh{};
        mh.msg_iov = iov;
        mh.msg_iovlen = n;
        ssize_t sent = sendmsg_nosignal(sock, mh);
        if (sent < 0 && errno == EINTR) continue;
        if (sent == 0) errno = EPIPE;  // took nothing: as good as gone
        if (sent <= 0) return false;
        auto left = static_cast<size_t>(sent);
        while (left > 0) {
            size_t take = std::min(piece(part).size() - offset, left);
            offset += take;
            left -= take;
            if (offset == piece(part).size()) {
                ++part;
                offset = 0;
            }
        }
    }
}

}  // namespace

std::string ws_accept_key(std::string_view key) {
    std::string input(trim_ascii_space(key));
    input.append(WS_GUID);
    Sha1_Digest d = sha1(input);
    return base64_encode(std::string_view(reinterpret_cast<const char*>(d.data()), d.size()));
}

bool is_websocket_request(const Request& req) {
    const std::string* key = req.header("sec-websocket-key");
    const std::string* upgrade = req.header("upgrade");
    return key && !key->empty() && upgrade &&
           ascii_lower(*upgrade).find("websocket") != std::string::npos;
}

std::string ws_upgrade_head(std::string_view key, std::string_view protocol,
                            std::string_view extra_headers) {
    std::string h;
    h.reserve(160 + protocol.size() + extra_headers.size());
    h.append("HTTP/1.1 101 Switching Protocols\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n");
    h.append("Sec-WebSocket-Accept: ").append(ws_accept_key(key)).append("\r\n");
    if (!protocol.empty()) h.append("Sec-WebSocket-Protocol: ").append(protocol).append("\r\n");
    h.append(extra_headers).append("\r\n");
    return h;
}

bool ws_upgrade_response(int sock, std::string_view key, std::string_view protocol,
                         std::string_view extra_headers) {
    return send_all(sock, ws_upgrade_head(key, protocol, extra_headers));
}

size_t ws_frame_header(WS_Op op, uint64_t payload_length, unsigned char out[10]) {
    out[0] = static_cast<unsigned char>(0x80 | static_cast<uint8_t>(op));
    if (payload_length < 126) {
        out[1] = static_cast<unsigned char>(payload_length);
        return 2;
    }
    if (payload_length < 65536) {
        out[1] = 126;
        out[2] = static_cast<unsigned char>(payload_length >> 8);
        out[3] = static_cast<unsigned char>(payload_length);
        return 4;
    }
    out[1] = 127;
    for (int i = 0; i < 8; ++i)
        out[2 + i] = static_cast<unsigned char>(payload_length >> (56 - 8 * i));
    return 10;
}

bool ws_write(int sock, WS_Op op, std::span<const std::string_view> parts) {
    unsigned char header[10];
    size_t header_len = ws_frame_header(op, _total_size(parts), header);
    return _send_gathered(sock, _bytes(header, header_len), parts);
}

Send_File_Result ws_write_with_file(int sock, WS_Op op, std::span<const std::string_view> parts,
                                    int fd, uint64_t count) {
    unsigned char header[10];
    size_t header_len = ws_frame_header(op, _total_size(parts) + count, header);
    if (!_send_gathered(sock, _bytes(header, header_len), parts)) {
        Send_File_Result r;
        r.error = errno;
        return r;
    }
    return send_file(sock, fd, 0, count);
}

size_t ws_parse_frame_header(std::string_view bytes, WS_Frame_Header& out) {
    if (bytes.size() < 2) return 0;
    auto b = [&](size_t i) { return static_cast<unsigned char>(bytes[i]); };
    out.fin = (b(0) & 0x80) != 0;
    out.rsv = static_cast<uint8_t>((b(0) >> 4) & 0x7);
    out.opcode = static_cast<uint8_t>(b(0) & 0x0f);
    out.masked = (b(1) & 0x80) != 0;
    uint64_t len7 = b(1) & 0x7f;
    size_t pos = 2;
    if (len7 == 126) {
        if (bytes.size() < pos + 2) return 0;
        out.length = (uint64_t{b(2)} << 8) | b(3);
        pos += 2;
    } else if (len7 == 127) {
        if (bytes.size() < pos + 8) return 0;
        out.length = 0;
        for (size_t i = 0; i < 8; ++i) out.length = (out.length << 8) | b(2 + i);
        pos += 8;
    } else {
        out.length = len7;
    }
    if (out.masked) {
        if (bytes.size() < pos + 4) return 0;
        for (size_t i = 0; i < 4; ++i) out.mask[i] = b(pos + i);
        pos += 4;
    } else {
        std::fill(out.mask, out.mask + 4, 0);
    }
    return pos;
}

bool ws_read_message(WS_Conn& conn, std::string& msg, WS_Op& op) {
    bool in_progress = false;
    msg.clear();
    while (true) {
        WS_Frame_Header h;
        size_t header_len = _read_frame_header(conn, h);
        if (header_len == 0) return false;
        if (!_frame_acceptable(h, msg.size(), in_progress)) return false;
        size_t frame_len = header_len + static_cast<size_t>(h.length);
        if (!_fill(conn, frame_len)) return false;
        char* payload = conn.buf.data() + header_len;
        _unmask(payload, h.length, h.mask);
        std::string_view body(payload, static_cast<size_t>(h.length));

        switch (static_cast<WS_Op>(h.opcode)) {
            case WS_Op::Ping:
                if (!_send_control(conn, WS_Op::Pong, body)) return false;
                _drop_front(conn, frame_len);
                continue;
            case WS_Op::Pong:
                _drop_front(conn, frame_len);
                continue;
            case WS_Op::Close:
                _send_control(conn, WS_Op::Close, body.substr(0, WS_CLOSE_ECHO));
                return false;
            case WS_Op::Text:
            case WS_Op::Binary:
                op = static_cast<WS_Op>(h.opcode);
                break;
            case WS_Op::Continuation:
                break;
        }
        msg.append(body);
        _drop_front(conn, frame_len);
        if (h.fin) return true;
        in_progress = true;
    }
}

bool ws_client_accepts(const Response_Head& head, std::string_view key) {
    if (head.status != 101) return false;
    if (!_iequals(_header_or_empty(head, "upgrade"), "websocket")) return false;
    std::string_view connection = _header_or_empty(head, "connection");
    bool upgrade_token = false;
    while (true) {
        size_t comma = connection.find(',');
        if (_iequals(trim_ascii_space(connection.substr(0, comma)), "upgrade"))
            upgrade_token = true;
        if (comma == std::string_view::npos) break;
        connection.remove_prefix(comma + 1);
    }
    if (!upgrade_token) return false;
    if (_header_or_empty(head, "sec-websocket-accept") != ws_accept_key(key)) return false;
    return !head.headers.contains("sec-websocket-extensions") &&
           !head.headers.contains("sec-websocket-protocol");
}

std::string ws_client_key() {
    unsigned char raw[WS_CLIENT_KEY_BYTES];
    random_bytes(raw, sizeof raw);
    return base64_encode(std::string_view(reinterpret_cast<const char*>(raw), sizeof raw));
}

std::string ws_client_request(std::string_view path, std::string_view host, std::string_view key) {
    std::string r;
    r.reserve(128 + path.size() + host.size());
    r.append("GET ").append(path).append(" HTTP/1.1\r\n");
    r.append("Host: ").append(host).append("\r\n");
    r.append("Upgrade: websocket\r\n");
    r.append("Connection: Upgrade\r\n");
    r.append("Sec-WebSocket-Key: ").append(key).append("\r\n");
    r.append("Sec-WebSocket-Version: 13\r\n");
    r.append("\r\n");
    return r;
}
