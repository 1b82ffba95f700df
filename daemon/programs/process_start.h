// Starting a program for a tab: PATH lookup in the daemon's own PATH, the environment a
// Spawn asks for, and the start itself with its standard streams redirected.
#pragma once

#include <sys/types.h>

#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "core/base/spawn.h"

// The program's environment: base (name=value strings, in order) without every string
// whose name is a key of env or listed in unset, then env's members appended. A string
// without "=", or starting with "=", has no name and always stays.
std::vector<std::string> build_environment(const char* const* base,
                                           const std::map<std::string, std::string>& env,
                                           const std::vector<std::string>& unset);

// Where a program name is run from. A name with "/" is used as given; otherwise the first
// directory of path_list (colon-separated) holding an executable regular file of that
// name. Relative directories are made absolute against the caller's working directory,
// since the child changes directory before it executes. 0 or the errno of the failure.
int find_program(std::string_view name, std::string_view path_list, std::string& out);

// argv[0] is the program name as the tab gave it; the other fields as spawn_program takes
// them (a tab's programs ask for a process group, or a terminal and a session, of their own).
using Process_Start = Spawn_Options;
using Started = Spawned;

// Looks argv[0] up in the daemon's own PATH and starts it with spawn_program. Every failure before
// the new program runs (lookup, working directory, exec) is returned here, never as an exit of the
// child. SIGPIPE is back at its default in the child, so a program whose reader goes away ends the
// way it would in a shell pipeline.
Started process_start(const Process_Start& req);
