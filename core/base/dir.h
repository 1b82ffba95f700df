// Dir: the one owner of an open directory stream; closes it on every path.
#pragma once

#include <dirent.h>
#include <fcntl.h>

#include <utility>

class Dir {
  public:
    Dir() = default;
    Dir(const Dir&) = delete;
    Dir& operator=(const Dir&) = delete;
    Dir(Dir&& other) noexcept : dir_(std::exchange(other.dir_, nullptr)) {}
    Dir& operator=(Dir&& other) noexcept;
    ~Dir() { reset(); }

    // Opens path as a directory, close-on-exec, relative to the directory at (AT_FDCWD: the
    // working directory). extra_flags joins O_RDONLY | O_DIRECTORY | O_CLOEXEC (O_NOFOLLOW:
    // never through a symbolic link named by path). Invalid, with errno set, on failure.
    static Dir open(const char* path, int extra_flags = 0, int at = AT_FDCWD);

    DIR* get() const { return dir_; }
    int fd() const { return ::dirfd(dir_); }
    bool valid() const { return dir_ != nullptr; }
    explicit operator bool() const { return valid(); }
    void reset();

  private:
    explicit Dir(DIR* dir) : dir_(dir) {}
    DIR* dir_ = nullptr;
};
