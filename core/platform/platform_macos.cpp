// What macOS names its own way: the executable's path, thread ids, modification times, the
// random source, SIGPIPE per socket, and how a spawned program is kept from inheriting
// stray descriptors.
#include <mach-o/dyld.h>
#include <pthread.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/syslimits.h>

#include <cstdlib>
#include <cstring>

#include "core/platform/internal.h"
#include "core/platform/platform.h"

bool socket_sigpipe_off(int sock) {
    int one = 1;
    return ::setsockopt(sock, SOL_SOCKET, SO_NOSIGPIPE, &one, sizeof one) == 0;
}

// macOS has no pipe2, accept4 or SOCK_CLOEXEC: a descriptor is marked close-on-exec only just
// after it is made, and a program spawned by another thread in that moment would inherit it.
// POSIX_SPAWN_CLOEXEC_DEFAULT closes that window: the child starts with only the descriptors
// its file actions name, and spawn_program names all three standard streams, always (the
// caller's descriptor or /dev/null).
int spawn_keep_standard_streams_only(posix_spawn_file_actions_t&, posix_spawnattr_t& attr) {
    short flags = 0;
    int err = ::posix_spawnattr_getflags(&attr, &flags);
    if (err == 0)
        err = ::posix_spawnattr_setflags(&attr,
                                         static_cast<short>(flags | POSIX_SPAWN_CLOEXEC_DEFAULT));
    return err;
}

std::string own_executable_path() {
    uint32_t size = 0;
    ::_NSGetExecutablePath(nullptr, &size);
    std::string buf(size, '\0');
    if (::_NSGetExecutablePath(buf.data(), &size) != 0) return "";
    buf.resize(std::strlen(buf.c_str()));
    return buf;
}

int64_t thread_id() {
    uint64_t tid = 0;
    ::pthread_threadid_np(nullptr, &tid);
    return static_cast<int64_t>(tid);
}

int64_t mtime_ns(const struct stat& st) {
    return static_cast<int64_t>(st.st_mtimespec.tv_sec) * 1000000000 + st.st_mtimespec.tv_nsec;
}

void random_bytes(void* out, size_t n) {
    ::arc4random_buf(out, n);
}

uint64_t raise_descriptor_limit() {
    struct rlimit rl {};
    if (::getrlimit(RLIMIT_NOFILE, &rl) != 0) return 0;
    rlim_t want = rl.rlim_max;
    // The hard limit is often RLIM_INFINITY here, which setrlimit refuses for descriptors.
    if (want == RLIM_INFINITY || want > static_cast<rlim_t>(OPEN_MAX)) want = OPEN_MAX;
    if (rl.rlim_cur < want) {
        struct rlimit raised = {want, rl.rlim_max};
        if (::setrlimit(RLIMIT_NOFILE, &raised) == 0) rl.rlim_cur = want;
    }
    return static_cast<uint64_t>(rl.rlim_cur);
}

std::string_view platform_name() {
    return "darwin";
}
