// Finding the dravik permission helper the tab's coding agent is to run.
#pragma once

#include <string>

// The path Hello names as perm_helper: $DRAVIK when it names a regular file, else a dravik
// beside the daemon or in the install layout's per-platform folders, else the first on
// PATH; "" when there is none.
std::string find_perm_helper();
