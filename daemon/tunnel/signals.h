// The crash-signal handler of a daemon with a tunnel: the running cloudflared is killed
// first, then the signal ends the daemon the way it normally would.
#pragma once

// Installs the handler for SIGQUIT, SIGSEGV, SIGBUS, SIGILL, SIGFPE, SIGABRT and SIGTRAP;
// SIGQUIT stays ignored when it is. (SIGINT, SIGTERM and SIGHUP end the daemon through its
// exit thread instead.)
void install_crash_signal_handler();

// Whether the signal's disposition is to be ignored (as the daemon's parent may have left
// SIGHUP, SIGINT or SIGQUIT).
bool signal_ignored(int sig);
