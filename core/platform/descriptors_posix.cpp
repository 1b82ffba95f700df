// Descriptors in plain POSIX, for macOS and for Linux built with QUELMAR_PORTABLE: marked
// close-on-exec right after they are made (spawn_keep_standard_streams_only keeps programs
// started meanwhile from inheriting them), SIGPIPE kept off per socket where the system can,
// and files sent through a bounded buffer.
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <vector>

#include "core/platform/internal.h"
#include "core/platform/platform.h"

namespace {

// Bytes of a file read ahead of the socket at a time.
constexpr size_t SEND_FILE_CHUNK = 256 * 1024;
// Descriptors examined at start-up when the limit is larger or unlimited: about a tenth of
// a second of fcntl calls at worst.
constexpr rlim_t DESCRIPTOR_SCAN_MAX = 1 << 20;

// Takes ownership of fd: close-on-exec and without SIGPIPE, or closed with errno kept.
Fd _socket_ready(int fd) {
    Fd out(fd);
    if (out && (!set_cloexec(fd) || !socket_sigpipe_off(fd))) {
        int err = errno;
        out.reset();
        errno = err;
    }
    return out;
}

bool _blocking(int fd) {
    int flags = ::fcntl(fd, F_GETFL);
    return flags >= 0 &&
           ((flags & O_NONBLOCK) == 0 || ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) == 0);
}

}  // namespace

bool make_cloexec_pipe(Fd& read_end, Fd& write_end) {
    int fds[2];
    if (::pipe(fds) != 0) return false;
    Fd r(fds[0]), w(fds[1]);
    if (!set_cloexec(fds[0]) || !set_cloexec(fds[1])) return false;
    read_end = std::move(r);
    write_end = std::move(w);
    return true;
}

Fd make_cloexec_socket(int family, int type) {
    return _socket_ready(::socket(family, type, 0));
}

bool make_cloexec_socketpair(Fd& a, Fd& b) {
    int sv[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM, 0, sv) != 0) return false;
    Fd first = _socket_ready(sv[0]);
    Fd second = _socket_ready(sv[1]);
    if (!first || !second) return false;
    a = std::move(first);
    b = std::move(second);
    return true;
}

Fd accept_cloexec(int listener) {
    Fd conn = _socket_ready(::accept(listener, nullptr, nullptr));
    if (conn && !_blocking(conn.get())) conn.reset();
    return conn;
}

// No portable way lists the open descriptors, so every number below the descriptor limit
// is tried; one the parent left above the limit stays as it is.
void close_inherited_on_exec() {
    struct rlimit rl {};
    rlim_t end = DESCRIPTOR_SCAN_MAX;
    if (::getrlimit(RLIMIT_NOFILE, &rl) == 0 && rl.rlim_cur != RLIM_INFINITY)
        end = std::min(rl.rlim_cur, DESCRIPTOR_SCAN_MAX);
    for (int fd = 3; static_cast<rlim_t>(fd) < end; ++fd)
        if (::fcntl(fd, F_GETFD) >= 0) set_cloexec(fd);
}

ssize_t send_nosignal(int sock, const void* bytes, size_t len) {
    return ::send(sock, bytes, len, 0);
}

ssize_t sendmsg_nosignal(int sock, const struct msghdr& msg) {
    return ::sendmsg(sock, &msg, 0);
}

Send_File_Result send_file(int sock, int fd, uint64_t offset, uint64_t count) {
    Send_File_Result r;
    Send_Stall stall(sock);
    std::vector<char> buf(static_cast<size_t>(std::min<uint64_t>(count, SEND_FILE_CHUNK)));
    size_t held = 0, at = 0;  // bytes read into buf, and of them already sent
    while (r.sent < count) {
        if (at == held) {
            size_t want = static_cast<size_t>(std::min<uint64_t>(count - r.sent, buf.size()));
            ssize_t n = ::pread(fd, buf.data(), want, static_cast<off_t>(offset + r.sent));
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) {
                r.error = n == 0 ? ENODATA : errno;
                return r;
            }
            held = static_cast<size_t>(n);
            at = 0;
        }
        size_t want = std::min<size_t>(held - at, INT_MAX);
        ssize_t n = send_nosignal(sock, buf.data() + at, want);
        if (n > 0) {
            at += static_cast<size_t>(n);
            r.sent += static_cast<uint64_t>(n);
            stall.progressed();
        } else if (n < 0 && (errno == EINTR || (errno == EAGAIN && stall.wait_writable()))) {
            continue;
        } else {
            r.error = n == 0 ? EPIPE : errno;
            return r;
        }
    }
    return r;
}
