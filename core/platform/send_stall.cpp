// The wait of a send whose socket takes nothing, bounded by the socket's send time-out.
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>

#include <algorithm>
#include <cerrno>
#include <climits>

#include "core/base/clock.h"
#include "core/platform/internal.h"

namespace {

int64_t _send_timeout_ns(int sock) {
    struct timeval tv {};
    socklen_t len = sizeof tv;
    if (::getsockopt(sock, SOL_SOCKET, SO_SNDTIMEO, &tv, &len) != 0) return 0;
    return static_cast<int64_t>(tv.tv_sec) * NS_PER_SEC + static_cast<int64_t>(tv.tv_usec) * 1000;
}

}  // namespace

Send_Stall::Send_Stall(int sock)
    : sock_(sock), limit_ns_(_send_timeout_ns(sock)), since_ns_(mono_ns()) {}

void Send_Stall::progressed() {
    since_ns_ = mono_ns();
}

bool Send_Stall::wait_writable() {
    for (;;) {
        int ms = -1;
        if (limit_ns_ > 0) {
            int64_t left = since_ns_ + limit_ns_ - mono_ns();
            if (left <= 0) {
                errno = EAGAIN;
                return false;
            }
            ms = static_cast<int>(std::min<int64_t>((left + NS_PER_MS - 1) / NS_PER_MS, INT_MAX));
        }
        struct pollfd p = {sock_, POLLOUT, 0};
        int n = ::poll(&p, 1, ms);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return false;
        // Writable, or an error or hang-up that the next send reports with its own errno.
        if (n > 0) return true;
    }
}
