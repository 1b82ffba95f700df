// Permission hooks: opening and closing a hook's socket, its accept thread, and the
// delivery of the tab's answers to the waiting helpers.
#include "daemon/hooks/hooks.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <vector>

#include "core/base/bytes.h"
#include "core/base/clock.h"
#include "core/base/write_all.h"
#include "core/platform/platform.h"
#include "daemon/messages/session_record.h"

Hook_Limits g_hook_limits{10 * NS_PER_SEC, false};

namespace {

constexpr const char* FALLBACK_BASE = "/tmp";
constexpr mode_t BASE_MODE = 0700;
// The macOS Unix address holds 104 path bytes including the terminating zero; Linux's
// holds 108, but the shorter limit is kept so a path works the same on both.
constexpr size_t MAX_SOCKET_PATH = 103;
constexpr int LISTEN_BACKLOG = 8;
constexpr size_t REQUEST_READ_SIZE = 8192;
constexpr size_t REQUEST_MAX = 4 * 1024 * 1024;  // reading stops once this much is in
constexpr std::string_view REQUEST_PREFIX = "REQ ";
constexpr std::string_view CLOSED_ANSWER = "deny session closed\n";
// After an accept failure that leaves the listener readable (no descriptors left, say),
// wait this long before trying again instead of spinning.
constexpr int64_t ACCEPT_RETRY_PAUSE_NS = 50 * NS_PER_MS;
// A helper that stops reading its answer must not hold the session thread for ever.
constexpr int64_t ANSWER_SEND_TIMEOUT_NS = 10 * NS_PER_SEC;

// Every hook directory on disk (directory -> socket path), for the daemon's exit; once the
// exit has begun no hook opens. Opening (from mkdtemp to bind) and removal hold the lock, so
// the exit never misses a directory or a socket that is just being made. Made at the first
// hook and never freed.
std::mutex _dirs_mu;
std::map<std::string, std::string>* _dirs = nullptr;
bool _dirs_closed = false;

// Under _dirs_mu.
void _unlink_dir(const std::string& dir, const std::string& sock) {
    ::unlink(sock.c_str());
    ::rmdir(dir.c_str());
    if (_dirs) _dirs->erase(dir);
}

bool _is_dir(const std::string& path) {
    struct stat st;
    return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// A Unix stream socket, close-on-exec; non-blocking when asked (the listener).
Fd _unix_socket(bool nonblocking) {
    Fd fd = make_cloexec_socket(AF_UNIX, SOCK_STREAM);
    if (fd && nonblocking && ::fcntl(fd.get(), F_SETFL, O_NONBLOCK) != 0) fd.reset();
    return fd;
}

bool _bind_listen(int fd, const std::string& path) {
    struct sockaddr_un addr;
    std::memset(&addr, 0, sizeof addr);
    addr.sun_family = AF_UNIX;
    std::memcpy(addr.sun_path, path.data(), path.size());  // the zero after it stays
    if (::bind(fd, reinterpret_cast<struct sockaddr*>(&addr), sizeof addr) != 0) return false;
    return ::listen(fd, LISTEN_BACKLOG) == 0;
}

// An accepted connection: close-on-exec, blocking, with a bounded answer write.
Fd _accept(int listener) {
    Fd conn = accept_cloexec(listener);
    if (!conn) return conn;
    struct timeval tv;
    ns_to_timeval(ANSWER_SEND_TIMEOUT_NS, tv);
    ::setsockopt(conn.get(), SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
    return conn;
}

enum class Wait { Ready, Woken, Timed_Out };

// Waits until fd (if >= 0) is readable or the wake end fires; timeout_ns < 0: no limit.
Wait _wait(int fd, int wake, int64_t timeout_ns) {
    int64_t deadline = timeout_ns < 0 ? -1 : mono_ns() + timeout_ns;
    for (;;) {
        struct pollfd fds[2] = {{wake, POLLIN, 0}, {fd, POLLIN, 0}};
        int ms = -1;
        if (deadline >= 0) {
            int64_t left = deadline - mono_ns();
            if (left <= 0) return Wait::Timed_Out;
            ms = static_cast<int>((left + NS_PER_MS - 1) / NS_PER_MS);
        }
        int n = ::poll(fds, fd >= 0 ? 2 : 1, ms);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return Wait::Woken;  // poll itself failing: nothing sound is left to do
        if (fds[0].revents != 0) return Wait::Woken;
        if (n > 0) return Wait::Ready;
    }
}

enum class Read_End { Done, Woken, Timed_Out };

// Reads one request into buf: up to a newline, end of file, an error or REQUEST_MAX bytes,
// within timeout_ns for the whole request.
Read_End _read_request(int conn, int wake, int64_t timeout_ns, std::string& buf) {
    int64_t deadline = mono_ns() + timeout_ns;
    for (;;) {
        Wait w = _wait(conn, wake, deadline - mono_ns());
        if (w == Wait::Woken) return Read_End::Woken;
        if (w == Wait::Timed_Out) return Read_End::Timed_Out;
        size_t old = buf.size();
        buf.resize(old + REQUEST_READ_SIZE);
        ssize_t n = ::recv(conn, buf.data() + old, REQUEST_READ_SIZE, 0);
        buf.resize(old + (n > 0 ? static_cast<size_t>(n) : 0));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return Read_End::Done;
        if (std::memchr(buf.data() + old, '\n', static_cast<size_t>(n)) != nullptr)
            return Read_End::Done;
        if (buf.size() >= REQUEST_MAX) return Read_End::Done;
    }
}

// One connection: read its request, record it as pending and ask the tab.
void _serve(Hook& h, Fd conn, int64_t timeout_ns) {
    std::string buf;
    // Woken means the hook is closing: what has arrived is judged below and refused.
    if (_read_request(conn.get(), h.wake_read.get(), timeout_ns, buf) == Read_End::Timed_Out)
        return;
    std::string_view payload;
    if (!hook_request_payload(buf, payload)) return;
    uint32_t request_id;
    {
        std::unique_lock lock(h.mu);
        if (h.closed) {
            lock.unlock();
            send_all(conn.get(), CLOSED_ANSWER);
            return;
        }
        request_id = ++h.next_request_id;
        h.pending[request_id] = std::move(conn);
    }
    std::string id_bytes;
    put_u32le(id_bytes, request_id);
    std::string_view parts[2] = {id_bytes, payload};
    session_send(*h.session, Msg_Kind::Hook_Req, h.id, parts);
}

void _hook_accept_proc(Hook& h, int64_t timeout_ns) {
    for (;;) {
        if (_wait(h.listener.get(), h.wake_read.get(), -1) == Wait::Woken) return;
        Fd conn = _accept(h.listener.get());
        if (conn) {
            _serve(h, std::move(conn), timeout_ns);
            continue;
        }
        int err = errno;
        if (err == EAGAIN || err == EWOULDBLOCK || err == EINTR || err == ECONNABORTED) continue;
        // EMFILE, ENFILE and the like: the hook stays open; try again after a pause.
        if (_wait(-1, h.wake_read.get(), ACCEPT_RETRY_PAUSE_NS) == Wait::Woken) return;
    }
}

void _ready(Session& s, uint32_t id, std::string path, std::string err) {
    session_send_json(s, Msg_Kind::Hook_Ready, id,
                      Hook_Ready_Body{std::move(path), std::move(err)});
}

// Everything of a hook but the thread and the table entry; nullptr with err set on failure,
// nothing left behind.
std::unique_ptr<Hook> _open(uint32_t id, std::string& err) {
    std::string base = hook_base_dir(std::getenv("XDG_RUNTIME_DIR"));
    std::string tmpl = base + "/editor-chat-daemon-" + std::to_string(::getpid()) + "-XXXXXX";
    std::lock_guard lock(_dirs_mu);
    if (_dirs_closed || ::mkdtemp(tmpl.data()) == nullptr) {
        err = "mkdtemp failed";
        return nullptr;
    }
    auto h = std::make_unique<Hook>();
    h->id = id;
    h->dir = tmpl;
    h->path = h->dir + "/hook.sock";
    if (!_dirs) _dirs = new std::map<std::string, std::string>;
    (*_dirs)[h->dir] = h->path;
    h->listener = _unix_socket(true);
    if (!h->listener || !make_cloexec_socketpair(h->wake_read, h->wake_write)) {
        err = "socket failed";
    } else if (h->path.size() > MAX_SOCKET_PATH) {
        err = "socket path too long";
    } else if (!_bind_listen(h->listener.get(), h->path)) {
        err = "bind failed";
    } else {
        return h;
    }
    _unlink_dir(h->dir, h->path);
    return nullptr;
}

void _remove(Hook& h) {
    h.listener.reset();
    h.wake_read.reset();
    h.wake_write.reset();
    std::lock_guard lock(_dirs_mu);
    _unlink_dir(h.dir, h.path);
}

}  // namespace

std::string hook_base_dir(const char* xdg) {
    if (xdg == nullptr || xdg[0] != '/') return FALLBACK_BASE;
    std::string base = std::string(xdg) + "/editor";
    if (_is_dir(base)) return base;
    // Another session may have made it between the check and here.
    if (::mkdir(base.c_str(), BASE_MODE) != 0 && !(errno == EEXIST && _is_dir(base)))
        return FALLBACK_BASE;
    return base;
}

bool hook_request_payload(std::string_view request, std::string_view& payload) {
    while (!request.empty() && (request.back() == '\r' || request.back() == '\n'))
        request.remove_suffix(1);
    if (!request.starts_with(REQUEST_PREFIX)) return false;
    payload = request.substr(REQUEST_PREFIX.size());
    return true;
}

void hook_listen(Session& s, uint32_t id) {
    // The tab reused an id that is still open: the earlier hook goes first, wholly.
    hook_close(s, id);
    std::string err;
    std::unique_ptr<Hook> h = _open(id, err);
    if (!h) {
        _ready(s, id, "", err);
        return;
    }
    h->session = &s;
    int64_t timeout_ns = g_hook_limits.request_timeout_ns;
    Hook* raw = h.get();
    bool started = !g_hook_limits.fail_thread_start && raw->accept_thread.start([raw, timeout_ns] {
        _hook_accept_proc(*raw, timeout_ns);
    });
    if (!started) {
        // Never registered: nothing could ever end a hook without its thread.
        _remove(*h);
        _ready(s, id, "", "thread failed");
        return;
    }
    session_ref(s);
    std::string path = raw->path;
    {
        std::lock_guard lock(s.mu);
        s.hooks[id] = h.release();
    }
    _ready(s, id, std::move(path), "");
}

void hook_reply(Session& s, uint32_t id, std::string_view body) {
    if (body.size() < 4) return;
    uint32_t request_id = get_u32le(body);
    Hook* h = nullptr;
    {
        std::lock_guard lock(s.mu);
        auto it = s.hooks.find(id);
        if (it != s.hooks.end()) h = it->second;
    }
    // Only this (the session) thread closes hooks, so h stays valid here.
    if (h == nullptr) return;
    Fd conn;
    {
        std::lock_guard lock(h->mu);
        auto it = h->pending.find(request_id);
        if (it == h->pending.end()) return;
        conn = std::move(it->second);
        h->pending.erase(it);
    }
    send_all(conn.get(), body.substr(4));
}

void hook_close(Session& s, uint32_t id) {
    Hook* h = nullptr;
    {
        std::lock_guard lock(s.mu);
        auto it = s.hooks.find(id);
        if (it == s.hooks.end()) return;
        h = it->second;
        s.hooks.erase(it);
    }
    {
        // Written under the hook's lock so the accept thread cannot slip a request in
        // between; 20 bytes always fit a fresh connection's buffer.
        std::lock_guard lock(h->mu);
        h->closed = true;
        for (auto& [request_id, conn] : h->pending) send_all(conn.get(), CLOSED_ANSWER);
        h->pending.clear();
    }
    h->wake_write.reset();  // the accept thread sees it, whether waiting or reading
    ::shutdown(h->listener.get(), SHUT_RDWR);
    h->accept_thread.join();
    _remove(*h);
    Session* session = h->session;
    delete h;
    session_unref(*session);
}

void hooks_remove_all_files() {
    std::lock_guard lock(_dirs_mu);
    _dirs_closed = true;
    if (!_dirs) return;
    while (!_dirs->empty()) {
        auto [dir, sock] = *_dirs->begin();
        _unlink_dir(dir, sock);
    }
}

void hook_dispatch(Session& s, Msg_Kind kind, uint32_t id, std::string_view payload) {
    switch (kind) {
        case Msg_Kind::Hook_Listen:
            hook_listen(s, id);
            break;
        case Msg_Kind::Hook_Reply:
            hook_reply(s, id, payload);
            break;
        case Msg_Kind::Hook_Close:
            hook_close(s, id);
            break;
        default:
            break;
    }
}
