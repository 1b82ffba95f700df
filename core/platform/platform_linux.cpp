// What Linux names its own way: the executable's path, thread ids, modification times, the
// random source, and how a spawned program is kept from inheriting stray descriptors.
#include <sys/random.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

#include "core/platform/internal.h"
#include "core/platform/platform.h"

namespace {

constexpr size_t EXE_PATH_MAX = 4096;

}  // namespace

// Linux has no per-socket switch: the process ignores SIGPIPE instead.
bool socket_sigpipe_off(int) {
    return true;
}

// The child closes all but its standard streams before the program runs: needed with
// QUELMAR_PORTABLE, and a guard otherwise against a descriptor some library opened without
// close-on-exec. It closes what earlier file actions left, so it must come after them.
int spawn_keep_standard_streams_only(posix_spawn_file_actions_t& actions, posix_spawnattr_t&) {
    return ::posix_spawn_file_actions_addclosefrom_np(&actions, 3);
}

// No portable call exists; the QUELMAR_PORTABLE build reads /proc here as well.
std::string own_executable_path() {
    std::string buf(EXE_PATH_MAX, '\0');
    ssize_t n = ::readlink("/proc/self/exe", buf.data(), buf.size());
    if (n <= 0 || static_cast<size_t>(n) >= buf.size()) return "";
    buf.resize(static_cast<size_t>(n));
    return buf;
}

int64_t thread_id() {
    return static_cast<int64_t>(::syscall(SYS_gettid));
}

int64_t mtime_ns(const struct stat& st) {
    return static_cast<int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
}

void random_bytes(void* out, size_t n) {
    auto* p = static_cast<unsigned char*>(out);
    while (n > 0) {
        ssize_t got = ::getrandom(p, n, 0);
        if (got < 0) {
            if (errno == EINTR) continue;
            // Without a random source no token can be made safely.
            abort();
        }
        p += got;
        n -= static_cast<size_t>(got);
    }
}

uint64_t raise_descriptor_limit() {
    struct rlimit rl {};
    if (::getrlimit(RLIMIT_NOFILE, &rl) != 0) return 0;
    rlim_t want = rl.rlim_max;
    // Linux never reports an infinite hard limit for descriptors, but nothing can be set to one.
    if (want == RLIM_INFINITY) return static_cast<uint64_t>(rl.rlim_cur);
    if (rl.rlim_cur < want) {
        struct rlimit raised = {want, rl.rlim_max};
        if (::setrlimit(RLIMIT_NOFILE, &raised) == 0) rl.rlim_cur = want;
    }
    return static_cast<uint64_t>(rl.rlim_cur);
}

std::string_view platform_name() {
    return "linux";
}
