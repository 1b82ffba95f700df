// What the fuzz targets share: an invariant check that aborts (so libFuzzer keeps the
// input), and a socket pair already holding the input for the readers that need a socket.
#pragma once

#include <sys/socket.h>

#include <cstdio>
#include <cstdlib>
#include <string_view>

#include "core/base/fd.h"

#define FUZZ_CHECK(cond)                                                                      \
    do {                                                                                      \
        if (!(cond)) {                                                                        \
            std::fprintf(stderr, "%s:%d: invariant failed: %s\n", __FILE__, __LINE__, #cond); \
            std::abort();                                                                     \
        }                                                                                     \
    } while (0)

inline std::string_view fuzz_bytes(const uint8_t* data, size_t size) {
    return {reinterpret_cast<const char*>(data), size};
}

// The reading end of a stream socket pair whose other end has sent bytes and then shut
// down for writing, so a reader meets the bytes and then the end of the stream. The
// writing end is returned too: a reader's own answers (Pong, Close) land there. False when
// the bytes did not fit in the socket's buffer at once (the caller skips the input).
inline bool fuzz_socket_with(std::string_view bytes, Fd& reader, Fd& writer) {
    int sv[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv) != 0) return false;
    reader.reset(sv[0]);
    writer.reset(sv[1]);
    int room = 1 << 20;
    setsockopt(writer.get(), SOL_SOCKET, SO_SNDBUF, &room, sizeof room);
    size_t sent = 0;
    while (sent < bytes.size()) {
        ssize_t n = send(writer.get(), bytes.data() + sent, bytes.size() - sent,
                         MSG_DONTWAIT | MSG_NOSIGNAL);
        if (n <= 0) return false;
        sent += static_cast<size_t>(n);
    }
    return shutdown(writer.get(), SHUT_WR) == 0;
}
