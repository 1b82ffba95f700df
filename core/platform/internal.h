// What the platform layer's own sources share: the system file's answer to SIGPIPE on a new
// socket, and the wait a send makes while its socket takes nothing.
#pragma once

#include <cstdint>

// Keeps sends on sock from raising SIGPIPE where the system has a per-socket switch
// (SO_NOSIGPIPE on macOS); false with errno set when the switch cannot be set.
bool socket_sigpipe_off(int sock);

// Bounds a send's stalls by the socket's send time-out (SO_SNDTIMEO; none: no limit), counted
// from the last byte that went out.
class Send_Stall {
  public:
    explicit Send_Stall(int sock);
    // Bytes went out: a new stall starts from here.
    void progressed();
    // After EAGAIN: waits until the socket can take bytes again. False, with errno EAGAIN,
    // once the stall has lasted the time-out, or with poll's errno.
    bool wait_writable();

  private:
    int sock_;
    int64_t limit_ns_ = 0;  // 0: no limit
    int64_t since_ns_;
};
