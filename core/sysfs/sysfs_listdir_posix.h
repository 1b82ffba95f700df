// Reading the entries of one open directory, each with whether it is a directory.
#pragma once

#include <dirent.h>

#include <string>
#include <vector>

struct Dir_Entry {
    std::string name;
    bool is_dir = false;  // a directory itself; a link to one is not
};

constexpr size_t DIR_ENTRIES_INITIAL = 16;

// Appends every entry of dir but "." and ".." to out, in the order the file system yields
// them. The directory type comes from the listing; where the listing gives none the entry
// is examined without following links. False when reading ended with an error: out then
// holds a partial list that callers must not use. dir stays open; the caller closes it.
bool sysfs_listdir_posix(DIR* dir, std::vector<Dir_Entry>& out);
