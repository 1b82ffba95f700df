// Descriptors on Linux: close-on-exec in the very call that makes them, MSG_NOSIGNAL on every
// send, sendfile, and the open descriptors as /proc lists them.
#include <dirent.h>
#include <sys/sendfile.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <vector>

#include "core/base/decimal.h"
#include "core/base/dir.h"
#include "core/platform/internal.h"
#include "core/platform/platform.h"

namespace {

// sendfile moves at most this much in one call, whatever it is asked for.
constexpr size_t SENDFILE_CALL_MAX = 0x7ffff000;

}  // namespace

bool make_cloexec_pipe(Fd& read_end, Fd& write_end) {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) return false;
    read_end.reset(fds[0]);
    write_end.reset(fds[1]);
    return true;
}

Fd make_cloexec_socket(int family, int type) {
    return Fd(::socket(family, type | SOCK_CLOEXEC, 0));
}

bool make_cloexec_socketpair(Fd& a, Fd& b) {
    int sv[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv) != 0) return false;
    a.reset(sv[0]);
    b.reset(sv[1]);
    return true;
}

Fd accept_cloexec(int listener) {
    return Fd(::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC));
}

void close_inherited_on_exec() {
    std::vector<int> fds;
    {
        Dir dir = Dir::open("/proc/self/fd");
        if (!dir) return;
        while (const dirent* e = ::readdir(dir.get())) {
            Decimal fd = parse_decimal(e->d_name, INT_MAX);
            if (fd.ok() && fd.value > 2 && static_cast<int>(fd.value) != dir.fd())
                fds.push_back(static_cast<int>(fd.value));
        }
    }
    for (int fd : fds) set_cloexec(fd);
}

ssize_t send_nosignal(int sock, const void* bytes, size_t len) {
    return ::send(sock, bytes, len, MSG_NOSIGNAL);
}

ssize_t sendmsg_nosignal(int sock, const struct msghdr& msg) {
    return ::sendmsg(sock, &msg, MSG_NOSIGNAL);
}

Send_File_Result send_file(int sock, int fd, uint64_t offset, uint64_t count) {
    Send_File_Result r;
    Send_Stall stall(sock);
    while (r.sent < count) {
        off_t at = static_cast<off_t>(offset + r.sent);
        size_t want = static_cast<size_t>(std::min<uint64_t>(count - r.sent, SENDFILE_CALL_MAX));
        ssize_t n = ::sendfile(sock, fd, &at, want);
        if (n > 0) {
            r.sent += static_cast<uint64_t>(n);
            stall.progressed();
        } else if (n == 0) {
            r.error = ENODATA;
            return r;
        } else if (errno == EINTR || (errno == EAGAIN && stall.wait_writable())) {
            continue;
        } else {
            r.error = errno;
            return r;
        }
    }
    return r;
}
