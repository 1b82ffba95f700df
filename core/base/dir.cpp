// Dir: the one owner of an open directory stream.
#include "core/base/dir.h"

#include <unistd.h>

#include <cerrno>

Dir& Dir::operator=(Dir&& other) noexcept {
    if (this != &other) {
        reset();
        dir_ = std::exchange(other.dir_, nullptr);
    }
    return *this;
}

Dir Dir::open(const char* path, int extra_flags, int at) {
    int fd = ::openat(at, path, O_RDONLY | O_DIRECTORY | O_CLOEXEC | extra_flags);
    if (fd < 0) return Dir();
    DIR* dir = ::fdopendir(fd);
    if (dir == nullptr) {
        int err = errno;
        ::close(fd);
        errno = err;
        return Dir();
    }
    return Dir(dir);
}

void Dir::reset() {
    if (dir_ != nullptr) ::closedir(std::exchange(dir_, nullptr));
}
