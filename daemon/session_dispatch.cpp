// Hands each message of a tab to the service of its kind.
#include "daemon/session_dispatch.h"

#include "daemon/hooks.h"

void session_dispatch([[maybe_unused]] Session& s, Msg_Kind kind, [[maybe_unused]] uint32_t id,
                      [[maybe_unused]] std::string_view payload) {
    switch (kind) {
        // Process channels: spawn, Stdin write, Stdin close, Kill.
        case Msg_Kind::Spawn:
        case Msg_Kind::Stdin:
        case Msg_Kind::Stdin_Close:
        case Msg_Kind::Kill:
        // The file service: one Fs_Reply with the same id (length, JSON, data).
        case Msg_Kind::Fs:
            // No service for these kinds in this build yet: dropped without a reply.
            return;
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

// No channel is ever registered in this build, so the table this walks is empty; the
// process channels put their Stop here when they land.
void session_stop_channel([[maybe_unused]] Channel& ch) {}

void session_close_hook(Session& s, uint32_t hook_id) {
    hook_close(s, hook_id);
}
