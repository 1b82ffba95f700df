// The crash-signal handler of a daemon with a tunnel.
#include "daemon/tunnel/signals.h"

#include <signal.h>

#include "daemon/tunnel/state.h"

namespace {

constexpr int CRASH_SIGNALS[] = {SIGQUIT, SIGSEGV, SIGBUS, SIGILL, SIGFPE, SIGABRT, SIGTRAP};

// Runs at most once per signal (SA_RESETHAND), so the raise below meets the default action.
// Only async-signal-safe calls: an atomic load, kill and raise.
void _on_crash_signal(int sig) {
    pid_t child = g_child_pid.load();
    if (child > 0) ::kill(child, SIGKILL);
    ::raise(sig);
}

}  // namespace

bool signal_ignored(int sig) {
    struct sigaction old {};
    return ::sigaction(sig, nullptr, &old) == 0 && old.sa_handler == SIG_IGN;
}

void install_crash_signal_handler() {
    struct sigaction sa {};
    sa.sa_handler = _on_crash_signal;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = SA_RESETHAND;
    for (int sig : CRASH_SIGNALS) {
        // A daemon started with its quit signal ignored keeps ignoring it.
        if (sig == SIGQUIT && signal_ignored(sig)) continue;
        ::sigaction(sig, &sa, nullptr);
    }
}
