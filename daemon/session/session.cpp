// Tab sessions: the registry of open sessions, and the loop that greets the tab, reads its
// messages and lets go of everything at the end.
#include "daemon/session/session.h"

#include <cstdlib>
#include <vector>

#include "core/base/bytes.h"
#include "core/platform/platform.h"
#include "daemon/config/config.h"
#include "daemon/hooks/hooks.h"
#include "daemon/hooks/perm_helper.h"
#include "daemon/programs/channels.h"
#include "daemon/session/dispatch.h"

namespace {

constexpr size_t SESSIONS_INITIAL_ROOM = 16;

// Every session between registration and unregistration; order means nothing. Made at
// the first registration and never freed: session threads may outlive static destructors.
std::mutex _sessions_mu;
std::vector<Session*>* _sessions = nullptr;

// The session served by this thread, for the message reader's Pong and Close echoes.
thread_local Session* _current_sess = nullptr;

void _session_register(Session* s) {
    std::lock_guard lock(_sessions_mu);
    if (!_sessions) {
        _sessions = new std::vector<Session*>;
        _sessions->reserve(SESSIONS_INITIAL_ROOM);
    }
    _sessions->push_back(s);
}

void _session_unregister(Session* s) {
    std::lock_guard lock(_sessions_mu);
    std::vector<Session*>& all = *_sessions;
    for (size_t i = 0; i < all.size(); ++i) {
        if (all[i] != s) continue;
        all[i] = all.back();
        all.pop_back();
        return;
    }
}

bool _send_control_current(WS_Op op, std::string_view payload) {
    Session* s = _current_sess;
    if (!s) return false;
    std::string_view parts[1] = {payload};
    return session_write_frame(*s, op, parts);
}

std::string _env(const char* name) {
    const char* v = std::getenv(name);
    return v ? std::string(v) : std::string();
}

Hello _hello(const Session& s) {
    Hello h;
    h.root = s.root;
    h.home = _env("HOME");
    h.platform = std::string(platform_name());
    h.perm_helper = find_perm_helper();
    h.has_anthropic_key = !_env("ANTHROPIC_API_KEY").empty();
    return h;
}

// Nothing is written after this; programs are signalled and hooks closed without waiting,
// and the record lives on until their references are dropped.
void _teardown(Session& s) {
    {
        std::lock_guard lock(s.send_mu);
        s.closed = true;
    }
    std::vector<uint32_t> hook_ids;
    {
        std::lock_guard lock(s.mu);
        for (auto& [id, ch] : s.channels) channel_stop(*ch);
        hook_ids.reserve(s.hooks.size());
        for (auto& [id, hook] : s.hooks) hook_ids.push_back(id);
    }
    for (uint32_t id : hook_ids) hook_close(s, id);
}

}  // namespace

void notice_others(Session* left_out, std::string_view text) {
    std::vector<Session*> targets;
    {
        std::lock_guard lock(_sessions_mu);
        if (!_sessions) return;
        targets.reserve(_sessions->size());
        for (Session* s : *_sessions) {
            if (s == left_out) continue;
            session_ref(*s);
            targets.push_back(s);
        }
    }
    for (Session* s : targets) {
        session_send(*s, Msg_Kind::Notice, 0, text);
        session_unref(*s);
    }
}

size_t session_count() {
    std::lock_guard lock(_sessions_mu);
    return _sessions ? _sessions->size() : 0;
}

void session_run(Session& s, WS_Conn& conn) {
    session_send_json(s, Msg_Kind::Hello, 0, _hello(s));

    std::string msg;
    msg.reserve(WS_MESSAGE_BUFFER_CAPACITY);
    _current_sess = &s;
    conn.send_control = _send_control_current;

    WS_Op op;
    while (ws_read_message(conn, msg, op)) {
        // Text messages and messages without a whole header carry nothing for us.
        if (op != WS_Op::Binary || msg.size() < MSG_HEADER_SIZE) continue;
        std::string_view m(msg);
        session_dispatch(s, static_cast<Msg_Kind>(m[0]), get_u32le(m.substr(1)),
                         m.substr(MSG_HEADER_SIZE));
    }

    _teardown(s);
    conn.send_control = nullptr;
    _current_sess = nullptr;
}

void run_tab(int sock, WS_Conn& conn, std::string_view notice) {
    auto* s = new Session;
    s->sock = sock;
    s->root = g_cfg.root;
    conn.sock = sock;
    _session_register(s);
    if (!notice.empty()) notice_others(s, notice);
    session_run(*s, conn);
    _session_unregister(s);
    Conn_Buffer().swap(conn.buf);
    session_unref(*s);
}
