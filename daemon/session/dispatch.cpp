// Hands each message of a tab to the service of its kind.
#include "daemon/session/dispatch.h"

#include <array>
#include <cerrno>
#include <string>

#include "core/base/bytes.h"
#include "daemon/files/service.h"
#include "daemon/hooks/hooks.h"
#include "daemon/programs/channels.h"

namespace {

// The reply goes out as one frame of three parts: the JSON length, the JSON, the data (not
// copied together), or a larger file's bytes straight from the file after the first two.
void _serve_fs(Session& s, uint32_t id, std::string_view payload) {
    Fs_Result result = fs_execute(payload);
    std::string json = marshal(result.reply);
    std::string length;
    length.reserve(4);
    put_u32le(length, static_cast<uint32_t>(json.size()));
    std::array<std::string_view, 3> parts = {length, json, result.data};
    if (!result.file.fd) return session_send(s, Msg_Kind::Fs_Reply, id, parts);
    Send_File_Result sent =
        session_send_file(s, Msg_Kind::Fs_Reply, id, parts, result.file.fd.get(), result.file.size);
    if (sent.error == ENODATA) fs_log_cut_read(result.file, sent.sent, "session");
}

}  // namespace

void session_dispatch([[maybe_unused]] Session& s, Msg_Kind kind, [[maybe_unused]] uint32_t id,
                      [[maybe_unused]] std::string_view payload) {
    switch (kind) {
        // Process channels: spawn, Stdin write, Stdin close, Kill, a terminal's size.
        case Msg_Kind::Spawn:
        case Msg_Kind::Stdin:
        case Msg_Kind::Stdin_Close:
        case Msg_Kind::Kill:
        case Msg_Kind::Resize:
            return channel_dispatch(s, kind, id, payload);
        // The file service: one Fs_Reply with the same id (length, JSON, data).
        case Msg_Kind::Fs:
            return _serve_fs(s, id, payload);
        // Permission hooks: listen, reply delivery (payload of at least 4 bytes), close.
        case Msg_Kind::Hook_Listen:
        case Msg_Kind::Hook_Reply:
        case Msg_Kind::Hook_Close:
            hook_dispatch(s, kind, id, payload);
            return;
        default:
            return;  // kinds a tab never sends, and unknown values
    }
}
