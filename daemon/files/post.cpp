// The POST transport of the file service.
#include "daemon/files/post.h"

#include <sys/socket.h>

#include <cerrno>

#include "core/base/write_all.h"
#include "core/netproto/answers.h"
#include "core/platform/platform.h"
#include "daemon/files/records.h"
#include "daemon/files/service.h"

namespace {

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

// The reply envelope as the body: the head with the envelope's length and JSON in one send,
// then the data, from memory or straight from the file. A file that shrank leaves the body
// short of its Content-Length; the caller's close then tells the client so.
void _answer(int sock, bool tunnel, const Fs_Result& result, std::string_view extra_headers) {
    std::string prefix = fs_envelope_head(marshal(result.reply));
    uint64_t size = prefix.size() + result.data.size() + result.file.size;
    constexpr std::string_view type = "application/octet-stream";
    std::string head = tunnel ? tunnel_head("200 OK", type, size, false)
                              : http_head("200 OK", type, size, extra_headers);
    head.append(prefix);
    if (!send_all(sock, head) || !send_all(sock, result.data) || !result.file.fd) return;
    Send_File_Result sent = send_file(sock, result.file.fd.get(), 0, result.file.size);
    if (sent.error == ENODATA) fs_log_cut_read(result.file, sent.sent, "connection");
}

}  // namespace

Decimal fs_post_length(const Request& req) {
    const std::string* value = req.header("content-length");
    return parse_decimal(value ? std::string_view(*value) : std::string_view{}, FS_POST_BODY_MAX);
}

void handle_fs_post(int sock, const Request& req, Conn_Buffer& buf, std::string_view extra_headers,
                    Listener listener) {
    bool tunnel = listener == Listener::Tunnel;
    Decimal declared = fs_post_length(req);
    switch (declared.error) {
        case Decimal_Error::Not_Digits:
            return _refuse(sock, req, buf, tunnel, "411 Length Required", "length required");
        case Decimal_Error::Too_Large:
            return _refuse(sock, req, buf, tunnel, "413 Content Too Large", "too large");
        case Decimal_Error::None:
            break;
    }
    uint64_t length = declared.value;
    if (!_receive_body(sock, buf, static_cast<size_t>(length))) return;
    Fs_Result result = fs_execute(std::string_view(buf).substr(0, static_cast<size_t>(length)));
    _answer(sock, tunnel, result, extra_headers);
}
