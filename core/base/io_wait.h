// Waiting for a descriptor under an absolute deadline, and receiving under one: signals that
// interrupt the wait never end it early, and never stretch it either.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>

// Waits until fd is ready for events (POLLIN, POLLOUT) or the deadline (monotonic ns, 0 for
// none) passes. True when ready, or when the descriptor reports an error or hang-up that the
// next call will name. False with errno ETIMEDOUT at the deadline, or with poll's errno.
bool wait_ready(int fd, short events, int64_t deadline_ns);

// One receive of at most len bytes, waiting for data until the deadline (0: none): the
// count, 0 at end of stream, or -1 with errno (ETIMEDOUT once the deadline has passed).
ssize_t recv_by(int sock, void* buf, size_t len, int64_t deadline_ns);

// Sets a socket's receive or send time-out (SO_RCVTIMEO, SO_SNDTIMEO): ns, at least 1 ms;
// 0 for none.
void set_socket_timeout(int sock, int option, int64_t ns);
