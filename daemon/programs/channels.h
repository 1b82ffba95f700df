// Programs a tab runs: the channel record, and the handling of Spawn, Stdin, Stdin_Close,
// Kill and Resize that the session loop hands over, with the stop of every program at the
// end of its session or of the daemon.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string_view>

#include "core/base/fd.h"
#include "core/base/thread.h"
#include "daemon/messages/protocol.h"
#include "daemon/programs/stdin_pipe.h"

struct Session;

// The largest Stdout or Stderr payload: one read of an output pipe.
constexpr size_t CHANNEL_READ_SIZE = 32768;

// One program started by Spawn, the leader of a process group of its own (with a terminal:
// of a session of its own). It is in its session's channels table from just after the
// start until just before its Exit is sent; the waiter holds the first reference.
struct Channel {
    Session* session = nullptr;  // holds one reference on it
    uint32_t id = 0;
    pid_t pid = -1;                          // also the id of its process group
    std::shared_ptr<Stdin_Pipe> stdin_pipe;  // also held by its writer thread while it runs
    Fd stdout_fd;                            // closed by the stdout reader when it ends
    Fd stderr_fd;                            // only with its own pipe
    Fd terminal;  // the terminal's master side, for its size and its end-of-file character
    Joinable_Thread stdout_reader;
    Joinable_Thread stderr_reader;
    std::atomic<int32_t> refs{1};
    std::mutex mu;  // guards the two flags below
    bool killed = false;
    bool reaped = false;  // set just before the leader is reaped: the group is off limits
};

// Spawn, Stdin, Stdin_Close, Kill and Resize, on the session thread; other kinds are
// ignored. Never blocks on a program: Stdin data the pipe cannot take at once waits in a
// queue.
void channel_dispatch(Session& s, Msg_Kind kind, uint32_t id, std::string_view payload);

// Stop, for the session's teardown (which holds the session lock while it walks the
// table): SIGKILL to the program's group unless it was already killed or its leader
// reaped; nothing is waited for.
void channel_stop(Channel& ch);

// The daemon's exit: stops every program of every session as channel_stop does, and no
// program starts after it.
void channels_stop_all();
