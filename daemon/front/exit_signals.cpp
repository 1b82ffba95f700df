// The clean exit: the thread that waits for SIGINT, SIGTERM and SIGHUP.
#include "daemon/front/exit_signals.h"

#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include "core/base/thread.h"
#include "daemon/hooks/hooks.h"
#include "daemon/programs/channels.h"
#include "daemon/tunnel/signals.h"
#include "daemon/tunnel/state.h"

namespace {

constexpr int STOP_SIGNALS[] = {SIGINT, SIGTERM, SIGHUP};

// The work runs here, on an ordinary thread, not in an asynchronous handler: it takes locks
// and walks the tables of every session.
[[noreturn]] void _end_by(int sig) {
    channels_stop_all();
    pid_t child = g_child_pid.load();
    if (child > 0) ::kill(child, SIGKILL);
    hooks_remove_all_files();
    // Blocked in every other thread, the signal now reaches this one, by its default action.
    ::signal(sig, SIG_DFL);
    sigset_t one;
    sigemptyset(&one);
    sigaddset(&one, sig);
    ::pthread_sigmask(SIG_UNBLOCK, &one, nullptr);
    ::raise(sig);
    ::_exit(128 + sig);  // not reached: the default action of all three ends the process
}

}  // namespace

bool start_exit_thread() {
    sigset_t set;
    sigemptyset(&set);
    for (int sig : STOP_SIGNALS)
        if (sig == SIGTERM || !signal_ignored(sig)) sigaddset(&set, sig);
    ::pthread_sigmask(SIG_BLOCK, &set, nullptr);
    bool started = start_detached([set] {
        int sig = 0;
        while (::sigwait(&set, &sig) != 0) {
        }
        _end_by(sig);
    });
    if (!started) ::pthread_sigmask(SIG_UNBLOCK, &set, nullptr);
    return started;
}
