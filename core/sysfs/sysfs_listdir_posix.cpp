// Reading one directory with readdir, falling back to lstat-like checks where the file
// system reports no entry types.
#include "core/sysfs/sysfs_listdir_posix.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstring>

namespace {

bool _is_dot_or_dotdot(const char* name) {
    return name[0] == '.' && (name[1] == '\0' || (name[1] == '.' && name[2] == '\0'));
}

// Some file systems (and some network mounts) leave d_type unknown; the entry is then a
// directory only when examining it, without following links, says so.
bool _entry_is_dir(DIR* dir, const struct dirent* e) {
    if (e->d_type == DT_DIR) return true;
    if (e->d_type != DT_UNKNOWN) return false;
    struct stat st;
    if (fstatat(dirfd(dir), e->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0) return false;
    return S_ISDIR(st.st_mode);
}

}  // namespace

bool sysfs_listdir_posix(DIR* dir, std::vector<Dir_Entry>& out) {
    if (out.capacity() < DIR_ENTRIES_INITIAL) out.reserve(DIR_ENTRIES_INITIAL);
    for (;;) {
        // readdir tells the end from an error only through errno.
        errno = 0;
        const struct dirent* e = readdir(dir);
        if (!e) return errno == 0;
        if (_is_dot_or_dotdot(e->d_name)) continue;
        out.push_back(Dir_Entry{e->d_name, _entry_is_dir(dir, e)});
    }
}
