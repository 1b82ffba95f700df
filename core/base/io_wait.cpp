// Waiting for a descriptor under an absolute deadline, and receiving under one.
#include "core/base/io_wait.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>

#include <algorithm>
#include <cerrno>
#include <climits>

#include "core/base/clock.h"

bool wait_ready(int fd, short events, int64_t deadline_ns) {
    for (;;) {
        int ms = -1;
        if (deadline_ns != 0) {
            int64_t left = deadline_ns - mono_ns();
            if (left <= 0) {
                errno = ETIMEDOUT;
                return false;
            }
            // Rounded up, so the wait never ends before the deadline.
            ms = static_cast<int>(std::min<int64_t>((left + NS_PER_MS - 1) / NS_PER_MS, INT_MAX));
        }
        struct pollfd p = {fd, events, 0};
        int n = ::poll(&p, 1, ms);
        // A signal (a debugger, a stop and continue) only costs a new wait for the time left.
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return false;
        if (n > 0) return true;
    }
}

ssize_t recv_by(int sock, void* buf, size_t len, int64_t deadline_ns) {
    for (;;) {
        ssize_t n = ::recv(sock, buf, len, MSG_DONTWAIT);
        if (n >= 0) return n;
        if (errno == EINTR) continue;
        if (errno != EAGAIN && errno != EWOULDBLOCK) return -1;
        if (!wait_ready(sock, POLLIN, deadline_ns)) return -1;
    }
}

void set_socket_timeout(int sock, int option, int64_t ns) {
    struct timeval tv;
    ns_to_timeval(ns, tv);
    ::setsockopt(sock, SOL_SOCKET, option, &tv, sizeof tv);
}
