// Programs a tab runs: Spawn starts one with three pipes or a terminal, reader threads
// forward its output, a waiter reports its end once all output is out; Stdin, Stdin_Close,
// Kill and Resize.
#include "daemon/programs/channels.h"

#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <set>
#include <span>
#include <string>

#include "core/base/bytes.h"
#include "core/base/errname.h"
#include "core/base/log.h"
#include "core/base/terminal.h"
#include "core/platform/platform.h"
#include "daemon/messages/session_record.h"
#include "daemon/programs/process_start.h"

extern char** environ;

namespace {

// What a terminal program's TERM is unless the tab sets one.
constexpr const char* TERMINAL_TYPE = "xterm-256color";

// Every program whose group may still be signalled, across all sessions, for the daemon's
// exit; once the exit has begun no program starts. A start holds the lock from the spawn
// to its entry here, so the exit never misses a program that is just starting. Made at the
// first start and never freed: waiters may outlive static destructors. Lock order: this
// lock, then a channel's.
std::mutex _live_mu;
std::set<Channel*>* _live = nullptr;
bool _exiting = false;

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

// SIGKILL to the program's whole process group, at most once, also after its leader has
// ended while others of the group still hold its output. A group id could only be reused
// by a process of that pid making a group of its own; the group's id is the leader's pid,
// and the leader is reaped only after `reaped` is set under this lock. Until then its pid
// stays taken (by its zombie, once it has ended), so the id can name no other group; from
// then on the group is never signalled.
void _stop(Channel& ch) {
    std::lock_guard lk(ch.mu);
    if (ch.killed || ch.reaped) return;
    ch.killed = true;
    ::kill(-ch.pid, SIGKILL);
}

// A terminal's master is shared with the non-blocking stdin writer, so a read may find
// nothing yet; the end of a terminal's output reads as EIO (Linux) or 0 (macOS) once no
// process holds its other side, and like any other read error it ends the output.
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
        } else if (n < 0 && errno == EAGAIN) {
            struct pollfd p = {fd.get(), POLLIN, 0};
            ::poll(&p, 1, -1);
        } else {
            break;
        }
    }
    fd.reset();
}

// Waits for the leader to end without reaping it: the exit status, or the number of the
// signal that ended it.
int32_t _wait_exit(pid_t pid) {
    siginfo_t info;
    int rc;
    do {
        std::memset(&info, 0, sizeof info);
        rc = ::waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOWAIT);
    } while (rc != 0 && errno == EINTR);
    if (rc != 0) log_line("waitid failed: " + errno_name(errno));
    return rc != 0 ? -1 : info.si_status;
}

// After this the group is never signalled again, and its leader's pid is let go.
void _reap(Channel& ch) {
    {
        std::lock_guard lk(_live_mu);
        _live->erase(&ch);
    }
    {
        std::lock_guard lk(ch.mu);
        ch.reaped = true;
    }
    while (::waitpid(ch.pid, nullptr, 0) < 0 && errno == EINTR) {
    }
}

void _waiter_proc(Channel* ch) {
    Session& s = *ch->session;
    int32_t status = _wait_exit(ch->pid);
    // The leader stays unreaped until the output is closed, so a Kill meanwhile still
    // reaches the rest of its group.
    ch->stdout_reader.join();
    ch->stderr_reader.join();
    _reap(*ch);
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

// The program's standard streams: three pipes (or two, by stderr), or one terminal. The
// child's ends go into start; the daemon's ends into ch. The failure text, or empty.
std::string _streams(const Spawn_Request& req, Process_Start& start, Channel& ch, Fd& child_in,
                     Fd& child_out, Fd& child_err) {
    if (req.pty) {
        Terminal_Pair t;
        if (open_terminal(req.pty->cols, req.pty->rows, t) != 0) return "pty failed";
        Fd for_stdin(::fcntl(t.master.get(), F_DUPFD_CLOEXEC, 0));
        Fd for_control(::fcntl(t.master.get(), F_DUPFD_CLOEXEC, 0));
        if (!for_stdin || !for_control) return "pty failed";
        start.terminal = t.slave.get();
        child_in = std::move(t.slave);
        ch.stdin_pipe = Stdin_Pipe::make(std::move(for_stdin));
        ch.terminal = std::move(for_control);
        ch.stdout_fd = std::move(t.master);
        return "";
    }
    Fd in_w, out_r, err_r;
    bool own_stderr = req.stderr_mode != "merge" && req.stderr_mode != "null";
    if (!make_cloexec_pipe(child_in, in_w) || !make_cloexec_pipe(out_r, child_out) ||
        (own_stderr && !make_cloexec_pipe(err_r, child_err)))
        return "pipe failed";
    start.own_group = true;
    start.in = child_in.get();
    start.out = child_out.get();
    start.err = req.stderr_mode == "merge" ? child_out.get() : child_err.get();
    ch.stdin_pipe = Stdin_Pipe::make(std::move(in_w));
    ch.stdout_fd = std::move(out_r);
    ch.stderr_fd = std::move(err_r);
    return "";
}

// Starts the program and enters it among the live ones, unless the daemon is exiting.
Started _start_live(const Process_Start& start, Channel* ch) {
    std::lock_guard lk(_live_mu);
    if (_exiting) return {-1, ECANCELED};
    Started started = process_start(start);
    if (started.error != 0) return started;
    if (!_live) _live = new std::set<Channel*>;
    ch->pid = started.pid;
    _live->insert(ch);
    return started;
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

    if (req.pty) req.env.try_emplace("TERM", TERMINAL_TYPE);
    Process_Start start;
    if (!req.env.empty() || !req.unset.empty())
        start.env = build_environment(environ, req.env, req.unset);
    auto ch = std::make_unique<Channel>();
    Fd child_in, child_out, child_err;
    std::string failure = _streams(req, start, *ch, child_in, child_out, child_err);
    if (!failure.empty()) {
        _send_exit(s, id, -1, failure);
        return;
    }
    start.cwd = req.cwd.empty() ? s.root : req.cwd;
    start.argv = req.argv;
    Started started = _start_live(start, ch.get());
    child_in.reset();
    child_out.reset();
    child_err.reset();
    if (started.error != 0) {
        _send_exit(s, id, -1, "cannot start " + req.argv[0] + ": " + errno_name(started.error));
        return;
    }

    ch->session = &s;
    ch->id = id;
    session_ref(s);
    Channel* raw = ch.release();
    {
        std::lock_guard lk(s.mu);
        s.channels[id] = raw;
    }
    _start_threads(raw);
}

void _with_channel(Session& s, uint32_t id, void (*op)(Channel&, std::string_view),
                   std::string_view payload) {
    Channel* ch = _channel_get(s, id);
    if (ch == nullptr) return;
    op(*ch, payload);
    _channel_put(ch);
}

// With a terminal the input does not end: the end-of-file character is typed, once, after
// whatever was typed before.
void _close_input(Channel& ch, std::string_view) {
    if (ch.terminal)
        ch.stdin_pipe->write(std::string(1, terminal_eof_char(ch.terminal.get())));
    else
        ch.stdin_pipe->close();
}

void _resize(Channel& ch, std::string_view payload) {
    Terminal_Size size;
    if (ch.terminal && unmarshal(payload, size))
        set_terminal_size(ch.terminal.get(), size.cols, size.rows);
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
            _with_channel(s, id, _close_input, payload);
            break;
        case Msg_Kind::Kill:
            _with_channel(
                s, id, [](Channel& ch, std::string_view) { _stop(ch); }, payload);
            break;
        case Msg_Kind::Resize:
            _with_channel(s, id, _resize, payload);
            break;
        default:
            break;
    }
}

void channel_stop(Channel& ch) {
    _stop(ch);
}

void channels_stop_all() {
    std::lock_guard lk(_live_mu);
    _exiting = true;
    if (_live)
        for (Channel* ch : *_live) _stop(*ch);
}
