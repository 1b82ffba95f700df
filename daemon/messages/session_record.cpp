// Sending to a tab from any thread, and the references that keep its Session alive.
#include "daemon/messages/session_record.h"

#include <sys/socket.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <vector>

namespace {

// Up to this many payload parts (plus the header) go out without any allocation.
constexpr size_t SEND_PARTS_INLINE = 8;

// Runs write (which sends one whole frame and says whether it went out) under the send lock.
// A failed write closes the session for writing and shuts the socket down, which makes the
// session thread's next receive fail. False once the session is closed.
template <typename Write>
bool _locked_write(Session& s, Write write) {
    std::lock_guard lock(s.send_mu);
    if (s.closed) return false;
    if (write()) return true;
    s.closed = true;
    shutdown(s.sock, SHUT_RDWR);
    return false;
}

// Calls send with the message header followed by parts, as one list of slices.
template <typename Send>
auto _with_header(Msg_Kind kind, uint32_t id, std::span<const std::string_view> parts, Send send) {
    std::string header = msg_header(kind, id);
    std::array<std::string_view, SEND_PARTS_INLINE> inline_parts;
    std::vector<std::string_view> many;
    std::span<const std::string_view> all;
    if (parts.size() < SEND_PARTS_INLINE) {
        inline_parts[0] = header;
        std::copy(parts.begin(), parts.end(), inline_parts.begin() + 1);
        all = std::span(inline_parts.data(), parts.size() + 1);
    } else {
        many.reserve(parts.size() + 1);
        many.push_back(header);
        many.insert(many.end(), parts.begin(), parts.end());
        all = many;
    }
    return send(all);
}

}  // namespace

bool session_write_frame(Session& s, WS_Op op, std::span<const std::string_view> parts) {
    return _locked_write(s, [&] { return ws_write(s.sock, op, parts); });
}

void session_send(Session& s, Msg_Kind kind, uint32_t id, std::span<const std::string_view> parts) {
    _with_header(kind, id, parts, [&](std::span<const std::string_view> all) {
        return session_write_frame(s, WS_Op::Binary, all);
    });
}

Send_File_Result session_send_file(Session& s, Msg_Kind kind, uint32_t id,
                                   std::span<const std::string_view> parts, int fd,
                                   uint64_t count) {
    Send_File_Result r;
    r.error = EPIPE;  // stays so when the session is already closed
    _with_header(kind, id, parts, [&](std::span<const std::string_view> all) {
        return _locked_write(s, [&] {
            r = ws_write_with_file(s.sock, WS_Op::Binary, all, fd, count);
            return r.error == 0;
        });
    });
    return r;
}

void session_send(Session& s, Msg_Kind kind, uint32_t id, std::string_view payload) {
    std::string_view parts[1] = {payload};
    session_send(s, kind, id, parts);
}

void session_ref(Session& s) {
    s.refs.fetch_add(1, std::memory_order_relaxed);
}

void session_unref(Session& s) {
    if (s.refs.fetch_sub(1, std::memory_order_acq_rel) == 1) delete &s;
}
