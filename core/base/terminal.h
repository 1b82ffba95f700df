// Pseudo-terminals for programs: a new pair of a given size, its size changed later, and
// the character that types end-of-file into it.
#pragma once

#include "core/base/fd.h"

struct Terminal_Pair {
    Fd master;  // the daemon's side: reads what the program writes, writes what is typed
    Fd slave;   // the program's side; nobody's controlling terminal yet
};

// A new pseudo-terminal of cols x rows, both sides close-on-exec, with UTF-8 input editing
// on. 0, or the errno of the failure.
int open_terminal(int cols, int rows, Terminal_Pair& out);

// Sets the size; the kernel sends SIGWINCH to the terminal's foreground process group.
bool set_terminal_size(int master, int cols, int rows);

// The byte that, typed at the start of a line, ends the program's input (VEOF, Ctrl+D).
char terminal_eof_char(int master);
