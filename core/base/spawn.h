// Starting a program, the one way the daemon starts any (the programs of tabs and
// cloudflared): its standard streams or terminal, working directory, environment, process
// group or session, and signal dispositions. The child inherits nothing else of the daemon.
#pragma once

#include <sys/types.h>

#include <optional>
#include <string>
#include <vector>

struct Spawn_Options {
    std::vector<std::string> argv;  // argv[0] as the program is to see it
    // nullopt: the daemon's own environment is inherited.
    std::optional<std::vector<std::string>> env;
    std::string cwd;  // empty: the daemon's own working directory
    // Descriptors for the child's standard streams; -1 connects that stream to /dev/null.
    int in = -1;
    int out = -1;
    int err = -1;
    bool own_group = false;  // the child leads a process group of its own (its pid)
    // A terminal's slave side, open in the daemon. With it the child leads a session of its
    // own (and so a process group whose id is its pid), the terminal is its controlling
    // terminal and its standard input, output and error; in, out, err and own_group are
    // not used.
    int terminal = -1;
};

struct Spawned {
    pid_t pid = -1;
    int error = 0;  // errno of the failure; the start failed when it is not 0
};

// Starts the program at path (never looked up). Every failure before the new program runs
// (working directory, exec) is returned here, never as an exit of the child. SIGPIPE and
// SIGXFSZ, which the daemon ignores for its own sockets, pipes and files, are back at
// their defaults in the child, and no signal is blocked (the daemon blocks the ones its
// exit thread waits for). With a terminal, the signals a terminal sends are at their
// defaults too.
Spawned spawn_program(const std::string& path, const Spawn_Options& options);
