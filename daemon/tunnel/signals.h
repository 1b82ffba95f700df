// The exit-signal handler of a daemon with a tunnel: the running cloudflared is killed
// first, then the signal ends the daemon the way it normally would.
#pragma once

// Installs the handler for SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGSEGV, SIGBUS, SIGILL, SIGFPE,
// SIGABRT and SIGTRAP; SIGHUP, SIGINT and SIGQUIT stay ignored when they are.
void install_exit_signal_handler();
