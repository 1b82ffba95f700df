// Starting a program for a tab with posix_spawn, which reports a failure in the child
// before exec (working directory, exec itself) to the caller as an error number.
#include "daemon/programs/process_start.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>

extern char** environ;

namespace {

// The search list when the daemon has no PATH at all.
constexpr std::string_view DEFAULT_PATH = "/usr/bin:/bin";

std::string_view _name_of(std::string_view entry) {
    size_t eq = entry.find('=');
    if (eq == std::string_view::npos || eq == 0) return {};
    return entry.substr(0, eq);
}

// 0 for an executable regular file, else the errno that rules it out.
int _executable(const std::string& path) {
    struct stat st;
    if (::stat(path.c_str(), &st) != 0) return errno;
    if (!S_ISREG(st.st_mode)) return EACCES;
    if (::access(path.c_str(), X_OK) != 0) return errno;
    return 0;
}

std::string _absolute_dir(std::string_view dir) {
    if (!dir.empty() && dir.front() == '/') return std::string(dir);
    char buf[4096];
    if (::getcwd(buf, sizeof buf) == nullptr) return std::string(dir);
    return std::string(buf) + "/" + std::string(dir);
}

// The child's standard streams: the given descriptor, or /dev/null.
bool _redirect(posix_spawn_file_actions_t& fa, int fd, int target) {
    if (fd >= 0) return ::posix_spawn_file_actions_adddup2(&fa, fd, target) == 0;
    return ::posix_spawn_file_actions_addopen(&fa, target, "/dev/null", O_RDWR, 0) == 0;
}

struct Spawn_Setup {
    posix_spawn_file_actions_t fa;
    posix_spawnattr_t attr;
    Spawn_Setup() {
        ::posix_spawn_file_actions_init(&fa);
        ::posix_spawnattr_init(&attr);
    }
    ~Spawn_Setup() {
        ::posix_spawn_file_actions_destroy(&fa);
        ::posix_spawnattr_destroy(&attr);
    }
    Spawn_Setup(const Spawn_Setup&) = delete;
    Spawn_Setup& operator=(const Spawn_Setup&) = delete;
};

// SIGPIPE and SIGXFSZ back at their defaults and nothing blocked: the daemon ignores them
// for its own sockets, pipes and files, not for the programs it runs.
bool _set_signals(posix_spawnattr_t& attr) {
    sigset_t defaults, mask;
    sigemptyset(&defaults);
    sigaddset(&defaults, SIGPIPE);
    sigaddset(&defaults, SIGXFSZ);
    sigemptyset(&mask);
    return ::posix_spawnattr_setsigdefault(&attr, &defaults) == 0 &&
           ::posix_spawnattr_setsigmask(&attr, &mask) == 0 &&
           ::posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK) == 0;
}

std::vector<char*> _c_strings(const std::vector<std::string>& strings) {
    std::vector<char*> out;
    out.reserve(strings.size() + 1);
    for (const std::string& s : strings) out.push_back(const_cast<char*>(s.c_str()));
    out.push_back(nullptr);
    return out;
}

}  // namespace

std::vector<std::string> build_environment(const char* const* base,
                                           const std::map<std::string, std::string>& env,
                                           const std::vector<std::string>& unset) {
    std::vector<std::string> out;
    for (const char* const* p = base; p != nullptr && *p != nullptr; ++p) {
        std::string_view entry(*p);
        std::string_view name = _name_of(entry);
        if (!name.empty()) {
            if (env.find(std::string(name)) != env.end()) continue;
            bool dropped = false;
            for (const std::string& u : unset) dropped = dropped || u == name;
            if (dropped) continue;
        }
        out.emplace_back(entry);
    }
    for (const auto& [name, value] : env) out.push_back(name + "=" + value);
    return out;
}

int find_program(std::string_view name, std::string_view path_list, std::string& out) {
    if (name.empty()) return ENOENT;
    if (name.find('/') != std::string_view::npos) {
        out = std::string(name);
        return 0;
    }
    int error = ENOENT;
    while (true) {
        size_t colon = path_list.find(':');
        std::string_view dir = path_list.substr(0, colon);
        // An empty member would mean the daemon's working directory, which is nobody's
        // intent for a tab's program.
        if (!dir.empty()) {
            std::string candidate = _absolute_dir(dir) + "/" + std::string(name);
            int e = _executable(candidate);
            if (e == 0) {
                out = std::move(candidate);
                return 0;
            }
            // Found but refused is the more useful answer than "not anywhere".
            if (e == EACCES) error = EACCES;
        }
        if (colon == std::string_view::npos) break;
        path_list.remove_prefix(colon + 1);
    }
    return error;
}

Started process_start(const Process_Start& req) {
    if (req.argv.empty()) return {-1, EINVAL};
    const char* path_env = std::getenv("PATH");
    std::string program;
    if (int e = find_program(req.argv[0], path_env ? path_env : DEFAULT_PATH, program))
        return {-1, e};

    Spawn_Setup setup;
    bool ok = _redirect(setup.fa, req.in, 0) && _redirect(setup.fa, req.out, 1) &&
              _redirect(setup.fa, req.err, 2) && _set_signals(setup.attr);
    if (ok && !req.cwd.empty())
        ok = ::posix_spawn_file_actions_addchdir_np(&setup.fa, req.cwd.c_str()) == 0;
    if (!ok) return {-1, ENOMEM};

    std::vector<char*> argv = _c_strings(req.argv);
    std::vector<char*> envp;
    if (req.env) envp = _c_strings(*req.env);
    pid_t pid = -1;
    int rc = ::posix_spawn(&pid, program.c_str(), &setup.fa, &setup.attr, argv.data(),
                           req.env ? envp.data() : environ);
    if (rc != 0) return {-1, rc};
    return {pid, 0};
}
