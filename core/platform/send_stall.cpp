// The wait of a send whose socket takes nothing, bounded by the socket's send time-out.
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>

#include <cerrno>

#include "core/base/clock.h"
#include "core/base/io_wait.h"
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
    if (wait_ready(sock_, POLLOUT, limit_ns_ > 0 ? since_ns_ + limit_ns_ : 0)) return true;
    if (errno == ETIMEDOUT) errno = EAGAIN;
    return false;
}
