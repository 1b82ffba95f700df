// Programs a tab runs: Spawn starts one with three pipes, reader threads forward its
// output, a waiter reports its end once all output is out; Stdin, Stdin_Close and Kill.
#include "daemon/programs/channels.h"

#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <span>
#include <string>

#include "core/base/bytes.h"
#include "core/base/errname.h"
#include "core/base/log.h"
#include "core/platform/platform.h"
#include "daemon/messages/session_record.h"
#include "daemon/programs/process_start.h"

extern char** environ;

namespace {

void _send_exit(Session& s, uint32_t id, int32_t status, std::string_view text = {}) {
    std::string code;
    put_u32le(code, static_cast<uint32_t>(status));
    std::string_view parts[2] = {code, text};
    session_send(s, Msg_Kind::Exit, id,
                 std::span<const std::string_view>(parts, text.empty() ? 1 : 2));
}

// A reference to the channel under id, taken under the session lock so the channel
// cannot be freed under the finder; nullptr when the id runs nothing.
Channel* _channel_get(Session& s, uint32_t id) {
    std::lock_guard lk(s.mu);
    auto it = s.channels.find(id);
    if (it == s.channels.end()) return nullptr;
    it->second->refs.fetch_add(1, std::memory_order_relaxed);
    return it->second;
}

void _channel_put(Channel* ch) {
    if (ch->refs.fetch_sub(1, std::memory_order_acq_rel) != 1) return;
    Session* s = ch->session;
    if (ch->stdin_pipe) ch->stdin_pipe->abandon();
    delete ch;
    session_unref(*s);
}

// SIGKILL to the process only (not its group), at most once, and never once the waiter
// has seen it end: after that its pid may already belong to another process.
void _stop(Channel& ch) {
    std::lock_guard lk(ch.mu);
    if (ch.killed || ch.exited) return;
    ch.killed = true;
    ::kill(ch.pid, SIGKILL);
}

void _reader_proc(Channel* ch, Msg_Kind kind) {
    Fd& fd = kind == Msg_Kind::Stdout ? ch->stdout_fd : ch->stderr_fd;
    char buf[CHANNEL_READ_SIZE];
    while (true) {
        ssize_t n = ::read(fd.get(), buf, sizeof buf);
        if (n > 0) {
            // Kept draining after the session closed, so the program never blocks on a
            // full pipe because its tab went away.
            session_send(*ch->session, kind, ch->id, std::string_view(buf, static_cast<size_t>(n)));
        } else if (n < 0 && errno == EINTR) {
            continue;
        } else {
            break;
        }
    }
    fd.reset();
}

// The exit status, or the number of the signal that ended the process.
int32_t _wait_exit(pid_t pid, Channel& ch) {
    siginfo_t info;
    int rc;
    do {
        std::memset(&info, 0, sizeof info);
        rc = ::waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOWAIT);
    } while (rc != 0 && errno == EINTR);
    if (rc != 0) log_line("waitid failed: " + errno_name(errno));
    {
        std::lock_guard lk(ch.mu);
        ch.exited = true;
    }
    while (::waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
    }
    if (rc != 0) return -1;
    return info.si_status;
}

void _waiter_proc(Channel* ch) {
    Session& s = *ch->session;
    int32_t status = _wait_exit(ch->pid, *ch);
    ch->stdout_reader.join();
    ch->stderr_reader.join();
    // Out of the table before Exit goes, so a tab that reuses the id as soon as it sees
    // the Exit never meets "channel id in use".
    {
        std::lock_guard lk(s.mu);
        auto it = s.channels.find(ch->id);
        if (it != s.channels.end() && it->second == ch) s.channels.erase(it);
    }
    _send_exit(s, ch->id, status);
    _channel_put(ch);
}

// Readers first, then the waiter, which joins them. A thread that cannot be made costs
// the program its life: its output would go unread, or its end unreported.
void _start_threads(Channel* ch) {
    bool ok = ch->stdout_reader.start([ch] { _reader_proc(ch, Msg_Kind::Stdout); });
    if (!ok) ch->stdout_fd.reset();
    if (ch->stderr_fd && !ch->stderr_reader.start([ch] { _reader_proc(ch, Msg_Kind::Stderr); })) {
        ch->stderr_fd.reset();
        ok = false;
    }
    if (!ok) {
        log_line("cannot start an output reader for channel " + std::to_string(ch->id));
        _stop(*ch);
    }
    if (start_detached([ch] { _waiter_proc(ch); })) return;
    log_line("cannot start a waiter for channel " + std::to_string(ch->id));
    _stop(*ch);
    _waiter_proc(ch);
}

void _spawn(Session& s, uint32_t id, std::string_view payload) {
    Spawn_Request req;
    if (!unmarshal(payload, req) || req.argv.empty()) {
        _send_exit(s, id, -1, "bad spawn request");
        return;
    }
    bool taken;
    {
        std::lock_guard lk(s.mu);
        taken = s.channels.count(id) != 0;
    }
    if (taken) {
        _send_exit(s, id, -1, "channel id in use");
        return;
    }

    Process_Start start;
    if (!req.env.empty() || !req.unset.empty())
        start.env = build_environment(environ, req.env, req.unset);
    Fd in_r, in_w, out_r, out_w, err_r, err_w;
    bool own_stderr = req.stderr_mode != "merge" && req.stderr_mode != "null";
    if (!make_cloexec_pipe(in_r, in_w) || !make_cloexec_pipe(out_r, out_w) ||
        (own_stderr && !make_cloexec_pipe(err_r, err_w))) {
        _send_exit(s, id, -1, "pipe failed");
        return;
    }
    start.in = in_r.get();
    start.out = out_w.get();
    start.err = req.stderr_mode == "merge" ? out_w.get() : err_w.get();
    start.cwd = req.cwd.empty() ? s.root : req.cwd;
    start.argv = req.argv;
    Started started = process_start(start);
    in_r.reset();
    out_w.reset();
    err_w.reset();
    if (started.error != 0) {
        _send_exit(s, id, -1, "cannot start " + req.argv[0] + ": " + errno_name(started.error));
        return;
    }

    auto* ch = new Channel;
    ch->session = &s;
    ch->id = id;
    ch->pid = started.pid;
    ch->stdin_pipe = Stdin_Pipe::make(std::move(in_w));
    ch->stdout_fd = std::move(out_r);
    ch->stderr_fd = std::move(err_r);
    session_ref(s);
    {
        std::lock_guard lk(s.mu);
        s.channels[id] = ch;
    }
    _start_threads(ch);
}

void _with_channel(Session& s, uint32_t id, void (*op)(Channel&, std::string_view),
                   std::string_view payload) {
    Channel* ch = _channel_get(s, id);
    if (ch == nullptr) return;
    op(*ch, payload);
    _channel_put(ch);
}

}  // namespace

void channel_dispatch(Session& s, Msg_Kind kind, uint32_t id, std::string_view payload) {
    switch (kind) {
        case Msg_Kind::Spawn:
            _spawn(s, id, payload);
            break;
        case Msg_Kind::Stdin:
            if (payload.empty()) return;
            _with_channel(
                s, id, [](Channel& ch, std::string_view data) { ch.stdin_pipe->write(data); },
                payload);
            break;
        case Msg_Kind::Stdin_Close:
            _with_channel(
                s, id, [](Channel& ch, std::string_view) { ch.stdin_pipe->close(); }, payload);
            break;
        case Msg_Kind::Kill:
            _with_channel(
                s, id, [](Channel& ch, std::string_view) { _stop(ch); }, payload);
            break;
        default:
            break;
    }
}

void channel_stop(Channel& ch) {
    _stop(ch);
}
