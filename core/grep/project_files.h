// The list of a project's files: a breadth-first walk that leaves out dependency, build
// and cache directories and every hidden directory.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

// Both limits bound memory and time on huge trees; a walk they end is not marked.
constexpr size_t WALK_MAX_FILES = 200000;  // result paths
constexpr size_t WALK_MAX_DIRS = 200000;   // directories queued, the root included

// Paths of the files under root, relative to it with "/" between components, breadth-first
// by directory in the order the file system lists them. Symbolic links are listed as files
// and never entered. Unreadable parts are left out; an empty or unreadable root gives an
// empty list. Never fails.
std::vector<std::string> list_project_files(std::string_view root);

// Whether a directory of this name is left out of the walk (the root itself never is).
bool walk_skips_dir(std::string_view name);
