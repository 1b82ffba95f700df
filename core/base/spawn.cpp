// Starting a program with posix_spawn.
#include "core/base/spawn.h"

#include <fcntl.h>
#include <spawn.h>
#include <unistd.h>

#include <csignal>

#include "core/platform/platform.h"

extern char** environ;

namespace {

// Owns the two spawn records, so every path destroys them.
struct Spawn_Setup {
    posix_spawn_file_actions_t actions;
    posix_spawnattr_t attr;
    Spawn_Setup() {
        ::posix_spawn_file_actions_init(&actions);
        ::posix_spawnattr_init(&attr);
    }
    ~Spawn_Setup() {
        ::posix_spawn_file_actions_destroy(&actions);
        ::posix_spawnattr_destroy(&attr);
    }
    Spawn_Setup(const Spawn_Setup&) = delete;
    Spawn_Setup& operator=(const Spawn_Setup&) = delete;
};

// One standard stream of the child: the given descriptor, or /dev/null.
int _redirect(posix_spawn_file_actions_t& actions, int fd, int target) {
    if (fd >= 0) return ::posix_spawn_file_actions_adddup2(&actions, fd, target);
    return ::posix_spawn_file_actions_addopen(&actions, target, "/dev/null", O_RDWR, 0);
}

int _set_actions(posix_spawn_file_actions_t& actions, const Spawn_Options& o) {
    int err = _redirect(actions, o.in, 0);
    if (err == 0) err = _redirect(actions, o.out, 1);
    if (err == 0) err = _redirect(actions, o.err, 2);
    if (err == 0 && !o.cwd.empty())
        err = ::posix_spawn_file_actions_addchdir_np(&actions, o.cwd.c_str());
    return err;
}

int _set_attributes(posix_spawnattr_t& attr, const Spawn_Options& o) {
    sigset_t defaults, none;
    sigemptyset(&defaults);
    sigaddset(&defaults, SIGPIPE);
    sigaddset(&defaults, SIGXFSZ);
    sigemptyset(&none);
    short flags = POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK;
    if (o.own_group) flags |= POSIX_SPAWN_SETPGROUP;
    int err = ::posix_spawnattr_setsigdefault(&attr, &defaults);
    if (err == 0) err = ::posix_spawnattr_setsigmask(&attr, &none);
    if (err == 0 && o.own_group) err = ::posix_spawnattr_setpgroup(&attr, 0);
    if (err == 0) err = ::posix_spawnattr_setflags(&attr, flags);
    return err;
}

std::vector<char*> _c_strings(const std::vector<std::string>& strings) {
    std::vector<char*> out;
    out.reserve(strings.size() + 1);
    for (const std::string& s : strings) out.push_back(const_cast<char*>(s.c_str()));
    out.push_back(nullptr);
    return out;
}

}  // namespace

Spawned spawn_program(const std::string& path, const Spawn_Options& options) {
    Spawn_Setup setup;
    int err = _set_actions(setup.actions, options);
    if (err == 0) err = _set_attributes(setup.attr, options);
    // Last, as it closes whatever the actions before it left open.
    if (err == 0) err = spawn_keep_standard_streams_only(setup.actions, setup.attr);
    if (err != 0) return {-1, err};
    std::vector<char*> argv = _c_strings(options.argv);
    std::vector<char*> envp;
    if (options.env) envp = _c_strings(*options.env);
    pid_t pid = -1;
    err = ::posix_spawn(&pid, path.c_str(), &setup.actions, &setup.attr, argv.data(),
                        options.env ? envp.data() : environ);
    if (err != 0) return {-1, err};
    return {pid, 0};
}
