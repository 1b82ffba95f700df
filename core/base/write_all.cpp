// Writing every byte to a descriptor or a socket.
#include "core/base/write_all.h"

#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>

#include "core/platform/platform.h"

namespace {

constexpr size_t SEND_CHUNK_MAX = INT_MAX;

}  // namespace

bool write_all(int fd, std::string_view bytes) {
    while (!bytes.empty()) {
        ssize_t n = ::write(fd, bytes.data(), bytes.size());
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        bytes.remove_prefix(static_cast<size_t>(n));
    }
    return true;
}

bool send_all(int sock, std::string_view bytes) {
    while (!bytes.empty()) {
        size_t want = std::min(bytes.size(), SEND_CHUNK_MAX);
        ssize_t n = send_nosignal(sock, bytes.data(), want);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        bytes.remove_prefix(static_cast<size_t>(n));
    }
    return true;
}
