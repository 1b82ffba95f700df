// The exit-signal handler of a daemon with a tunnel.
#include "daemon/tunnel/signals.h"

#include <signal.h>

#include "daemon/tunnel/state.h"

namespace {

constexpr int EXIT_SIGNALS[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGSEGV,
                                SIGBUS, SIGILL,  SIGFPE, SIGABRT, SIGTRAP};

// Runs at most once per signal (SA_RESETHAND), so the raise below meets the default action.
// Only async-signal-safe calls: an atomic load, kill and raise.
void _on_exit_signal(int sig) {
    pid_t child = g_child_pid.load();
    if (child > 0) ::kill(child, SIGKILL);
    ::raise(sig);
}

bool _ignored(int sig) {
    struct sigaction old {};
    return ::sigaction(sig, nullptr, &old) == 0 && old.sa_handler == SIG_IGN;
}

}  // namespace

void install_exit_signal_handler() {
    struct sigaction sa {};
    sa.sa_handler = _on_exit_signal;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = SA_RESETHAND;
    for (int sig : EXIT_SIGNALS) {
        // A daemon started with its hang-up signal ignored keeps ignoring it.
        bool keep_ignored = sig == SIGHUP || sig == SIGINT || sig == SIGQUIT;
        if (keep_ignored && _ignored(sig)) continue;
        ::sigaction(sig, &sa, nullptr);
    }
}
