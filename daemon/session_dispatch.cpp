// Hands each message of a tab to the service of its kind.
#include "daemon/session_dispatch.h"

#include "daemon/channels.h"
#include "daemon/hooks.h"

void session_dispatch([[maybe_unused]] Session& s, Msg_Kind kind, [[maybe_unused]] uint32_t id,
                      [[maybe_unused]] std::string_view payload) {
    switch (kind) {
        // Process channels: spawn, Stdin write, Stdin close, Kill.
        case Msg_Kind::Spawn:
        case Msg_Kind::Stdin:
        case Msg_Kind::Stdin_Close:
        case Msg_Kind::Kill:
            return channel_dispatch(s, kind, id, payload);
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

// Teardown: a channel's Stop, and a hook's close.
void session_stop_channel(Channel& ch) {
    channel_stop(ch);
}

void session_close_hook(Session& s, uint32_t hook_id) {
    hook_close(s, hook_id);
}
