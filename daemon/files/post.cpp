// The POST transport of the file service.
#include "daemon/files/post.h"

#include <sys/socket.h>

#include <cerrno>

#include "core/netproto/answers.h"
#include "daemon/files/records.h"
#include "daemon/files/service.h"

namespace {

enum class Length_Check { Ok, Missing, Too_Large };

// Digits only, read one at a time so a long run of them cannot overflow.
Length_Check _declared_length(const Request& req, uint64_t& length) {
    const std::string* value = req.header("content-length");
    if (!value || value->empty()) return Length_Check::Missing;
    for (char c : *value)
        if (c < '0' || c > '9') return Length_Check::Missing;
    length = 0;
    for (char c : *value) {
        length = length * 10 + static_cast<uint64_t>(c - '0');
        if (length > FS_POST_BODY_MAX) return Length_Check::Too_Large;
    }
    return Length_Check::Ok;
}

// False when the peer closes or a receive fails before length bytes are buffered.
bool _receive_body(int sock, Conn_Buffer& buf, size_t length) {
    while (buf.size() < length) {
        size_t want = std::min(FS_POST_RECV_SIZE, length - buf.size());
        size_t old = buf.size();
        buf.resize(old + want);
        ssize_t n = recv(sock, buf.data() + old, want, 0);
        buf.resize(old + static_cast<size_t>(n > 0 ? n : 0));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
    }
    return true;
}

// Refusals carry no extra headers; only the file service's own answer does.
void _refuse(int sock, const Request& req, const Conn_Buffer& buf, bool tunnel,
             std::string_view status, std::string_view body) {
    respond(sock, tunnel, status, "text/plain", body);
    linger_unread_body(sock, req, buf.size());
}

// The reply envelope as the body, sent as head, length and JSON, then the data: the same
// bytes as one joined body without a second copy of a file of up to 256 MiB.
void _answer(int sock, bool tunnel, const Fs_Result& result, std::string_view extra_headers) {
    std::string prefix = fs_envelope_head(marshal(result.reply));
    uint64_t size = prefix.size() + result.data.size();
    constexpr std::string_view type = "application/octet-stream";
    std::string head = tunnel ? tunnel_head("200 OK", type, size, false)
                              : http_head("200 OK", type, size, extra_headers);
    if (send_all(sock, head) && send_all(sock, prefix)) send_all(sock, result.data);
}

}  // namespace

void handle_fs_post(int sock, const Request& req, Conn_Buffer& buf, std::string_view extra_headers,
                    Listener listener) {
    bool tunnel = listener == Listener::Tunnel;
    uint64_t length = 0;
    switch (_declared_length(req, length)) {
        case Length_Check::Missing:
            return _refuse(sock, req, buf, tunnel, "411 Length Required", "length required");
        case Length_Check::Too_Large:
            return _refuse(sock, req, buf, tunnel, "413 Content Too Large", "too large");
        case Length_Check::Ok:
            break;
    }
    if (!_receive_body(sock, buf, static_cast<size_t>(length))) return;
    Fs_Result result = fs_execute(std::string_view(buf).substr(0, static_cast<size_t>(length)));
    _answer(sock, tunnel, result, extra_headers);
}
