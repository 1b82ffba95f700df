// Everything that differs between the systems the daemon runs on (Linux and macOS), behind
// one interface. CMake picks the sources: platform_linux.cpp or platform_macos.cpp for what
// each system names its own way, and for descriptors descriptors_linux.cpp (Linux's atomic
// close-on-exec calls, MSG_NOSIGNAL, sendfile, /proc) or descriptors_posix.cpp (plain POSIX:
// macOS, and Linux built with QUELMAR_PORTABLE so those paths are run by the tests too).
#pragma once

#include <spawn.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "core/base/fd.h"

// ---- Descriptors, close-on-exec from the start
// Linux makes them so in the call that creates them. Plain POSIX marks them right after, and
// a program started by another thread in between still inherits none of them:
// spawn_program lets its child keep only the three standard streams
// (spawn_keep_standard_streams_only).

// A pipe; false with errno set when none could be made.
bool make_cloexec_pipe(Fd& read_end, Fd& write_end);

// A socket of the family and type (SOCK_STREAM, ...); invalid with errno set on failure.
// Sends on it never raise SIGPIPE (see send_nosignal).
Fd make_cloexec_socket(int family, int type);

// A connected pair of Unix stream sockets; false with errno set on failure.
bool make_cloexec_socketpair(Fd& a, Fd& b);

// Accepts one connection as a blocking socket, whether or not the listener blocks (BSD
// accept would pass the listener's O_NONBLOCK on); invalid with errno set on failure.
Fd accept_cloexec(int listener);

// Marks every open descriptor above 2 close-on-exec: those the daemon's parent left open.
void close_inherited_on_exec();

// Readies a posix_spawn so the child keeps only the descriptors its file actions set up (its
// three standard streams), never one that another thread opened a moment before and has not
// yet marked close-on-exec. Call it after every other file action and attribute is set.
// 0 or an errno value.
int spawn_keep_standard_streams_only(posix_spawn_file_actions_t& actions, posix_spawnattr_t& attr);

// ---- Sending without SIGPIPE
// Linux passes MSG_NOSIGNAL. macOS has no such flag on every call: sockets made above carry
// SO_NOSIGPIPE instead. The portable Linux build has neither and relies on the process
// ignoring SIGPIPE, which the daemon's main does first thing (and the test programs too).

ssize_t send_nosignal(int sock, const void* bytes, size_t len);
ssize_t sendmsg_nosignal(int sock, const struct msghdr& msg);

struct Send_File_Result {
    uint64_t sent = 0;  // bytes of the file that reached the socket
    int error = 0;      // 0 once all count bytes are sent; else the errno that stopped it
};

// Sends count bytes of the open file fd, from offset on, to sock, leaving the file's own
// offset alone: sendfile on Linux, elsewhere pread and send through a bounded buffer.
// Partial sends and interrupted calls go on. When the socket takes nothing (EAGAIN: a
// non-blocking socket is full, or a blocking one's send time-out passed), it waits until it
// does, but no stall lasts longer than the socket's send time-out (SO_SNDTIMEO; without one,
// no limit): then it stops with EAGAIN. A file that ends before offset + count stops with
// ENODATA once its last byte is sent.
Send_File_Result send_file(int sock, int fd, uint64_t offset, uint64_t count);

// ---- What each system names its own way

// The executable's own path, or "" when the system cannot tell.
std::string own_executable_path();

// The calling thread's numeric id, unique across the system while the thread lives.
int64_t thread_id();

// A file's modification time in nanoseconds since the epoch.
int64_t mtime_ns(const struct stat& st);

// n bytes from the system's cryptographic random source; ends the process when it has none.
void random_bytes(void* out, size_t n);

// Raises the soft limit on open descriptors to the hard one (macOS: at most OPEN_MAX, the
// most its kernel grants a process whatever the hard limit says). The soft limit in force
// afterwards, raised or not.
uint64_t raise_descriptor_limit();

// The system this build is for, as the session's Hello names it: "linux" or "darwin".
std::string_view platform_name();
