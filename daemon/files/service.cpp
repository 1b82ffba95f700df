// The eleven file operations, the crash-safe write among them.
#include "daemon/files/service.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <optional>
#include <vector>

#include "core/base/dir.h"
#include "core/base/errname.h"
#include "core/base/fd.h"
#include "core/base/log.h"
#include "core/base/random.h"
#include "core/base/write_all.h"
#include "core/grep/project_files.h"
#include "core/platform/platform.h"
#include "core/sysfs/sysfs_listdir_posix.h"

namespace {

constexpr size_t READ_INITIAL_CAPACITY = 65536;  // for files whose size says nothing (/proc)
// A write's temporary name: 64 random bits, drawn again on the rare clash.
constexpr size_t TMP_NAME_RANDOM_BYTES = 8;
constexpr int TMP_NAME_ATTEMPTS = 8;

struct Path_Stat {
    char kind = '-';  // 'd' directory, 'f' anything else that exists, '-' cannot be examined
    int64_t size = 0;
    int64_t mtime = 0;
};

// Follows symbolic links.
Path_Stat _stat_path(const std::string& path) {
    struct stat st;
    if (stat(path.c_str(), &st) != 0) return {};
    return {S_ISDIR(st.st_mode) ? 'd' : 'f', static_cast<int64_t>(st.st_size), mtime_ns(st)};
}

int64_t _mtime_of(const std::string& path) {
    return _stat_path(path).mtime;
}

bool _is_dir(const std::string& path) {
    return _stat_path(path).kind == 'd';
}

// The text before the last "/"; empty without one or when it is the first byte.
std::string _dir_of(const std::string& path) {
    size_t slash = path.rfind('/');
    if (slash == std::string::npos || slash == 0) return {};
    return path.substr(0, slash);
}

// Creates path and its missing ancestors (0777 less the umask); true when path is a
// directory afterwards, errno set otherwise.
bool _mkdir_all(const std::string& path) {
    if (path.empty()) {
        errno = ENOENT;
        return false;
    }
    if (_is_dir(path)) return true;
    for (size_t i = 1; i <= path.size(); ++i) {
        if (i < path.size() && path[i] != '/') continue;
        if (path[i - 1] == '/') continue;
        std::string prefix = path.substr(0, i);
        if (mkdir(prefix.c_str(), 0777) != 0 && errno != EEXIST) return false;
    }
    if (_is_dir(path)) return true;
    errno = ENOTDIR;
    return false;
}

void _fail(Fs_Reply& rep, std::string err) {
    rep.ok = false;
    rep.err = std::move(err);
}

// Opens path for reading. Non-blocking only for the open: a FIFO without a writer must not
// hang the session; reads then block as usual. Invalid with errno set on failure.
Fd _open_for_read(const std::string& path) {
    Fd fd(open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
    if (!fd) return fd;
    int flags = fcntl(fd.get(), F_GETFL);
    if (flags < 0 || fcntl(fd.get(), F_SETFL, flags & ~O_NONBLOCK) != 0) fd.reset();
    return fd;
}

// Reads fd to its end, at most limit + 1 bytes, so a file that grows after its size was
// checked still cannot make the reply larger than the limit. 0, an errno value, or EFBIG
// past the limit.
int _read_to_end(int fd, int64_t size_hint, int64_t limit, std::string& out) {
    const size_t cap_max = static_cast<size_t>(limit) + 1;
    size_t cap = READ_INITIAL_CAPACITY;
    if (size_hint > 0) cap = std::min(static_cast<size_t>(size_hint) + 1, cap_max);
    std::string buf(cap, '\0');
    size_t len = 0;
    for (;;) {
        if (len == buf.size()) {
            if (buf.size() >= cap_max) return EFBIG;
            buf.resize(std::min(buf.size() * 2, cap_max));
        }
        ssize_t n = read(fd, buf.data() + len, buf.size() - len);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return errno;
        if (n == 0) break;
        len += static_cast<size_t>(n);
    }
    if (len > static_cast<size_t>(limit)) return EFBIG;
    buf.resize(len);
    out = std::move(buf);
    return 0;
}

// Makes a finished rename durable; failures change nothing about the outcome.
void _sync_dir_of(const std::string& path) {
    size_t slash = path.rfind('/');
    if (slash == std::string::npos) return;
    std::string dir = slash == 0 ? std::string("/") : path.substr(0, slash);
    Fd fd(open(dir.c_str(), O_RDONLY | O_CLOEXEC));
    if (fd) fsync(fd.get());
}

// Permission bits a replacement takes over from the regular file at path; none (a new
// file: 0666 less the umask) when there is no such file. Set-id and sticky bits are never
// carried over to a file that the daemon's user now owns.
std::optional<mode_t> _mode_to_keep(const std::string& path) {
    struct stat st;
    if (lstat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return std::nullopt;
    return st.st_mode & 0777;
}

// Creates a fresh temporary file beside path under a random name, exclusively: nothing
// planted in the directory (a file, a link) can be opened in its place. Invalid with errno
// set on failure; tmp holds the name.
Fd _create_temporary(const std::string& path, std::optional<mode_t> mode, std::string& tmp) {
    for (int attempt = 0; attempt < TMP_NAME_ATTEMPTS; ++attempt) {
        tmp = path + "." + random_hex(TMP_NAME_RANDOM_BYTES) + ".tmp";
        // Owner-only until the kept mode is set, so it never is more open than the result.
        Fd fd(open(tmp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                   mode ? 0600 : 0666));
        if (!fd && errno == EEXIST) continue;
        if (fd && mode && fchmod(fd.get(), *mode) != 0) {
            unlink(tmp.c_str());
            fd.reset();
        }
        return fd;
    }
    errno = EEXIST;
    return Fd();
}

// Writes data under a temporary name beside path, then renames it over path: the target
// is always either the old file or the complete new one, with the old file's permissions.
// The temporary file is removed on every failure after it was created.
bool _replace_file(const std::string& path, std::string_view data) {
    std::string parent = _dir_of(path);
    if (!parent.empty()) _mkdir_all(parent);  // a failure shows in the steps below
    std::string tmp;
    Fd fd = _create_temporary(path, _mode_to_keep(path), tmp);
    if (!fd) return false;
    bool ok = write_all(fd.get(), data) && fsync(fd.get()) == 0;
    if (close(fd.release()) != 0) ok = false;
    if (ok && rename(tmp.c_str(), path.c_str()) == 0) {
        _sync_dir_of(path);
        return true;
    }
    unlink(tmp.c_str());
    return false;
}

// The entries of one directory with their own status, links not followed.
int _list_entries(const std::string& path, std::vector<Fs_Entry>& out) {
    Dir d = Dir::open(path.c_str());
    if (!d) return errno;
    int err = 0;
    for (;;) {
        errno = 0;
        const struct dirent* e = readdir(d.get());
        if (!e) {
            err = errno;
            break;
        }
        std::string_view name = e->d_name;
        if (name == "." || name == "..") continue;
        struct stat st;
        if (fstatat(d.fd(), e->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0) {
            err = errno;
            break;
        }
        out.push_back(Fs_Entry{std::string(name), S_ISDIR(st.st_mode),
                               static_cast<int64_t>(st.st_size), mtime_ns(st)});
    }
    if (err != 0) out.clear();
    return err;
}

// Removes name (relative to parent_fd) with everything below it. Links are never followed,
// not even at the top, so removing a link to a directory cannot empty its target.
bool _remove_tree_at(int parent_fd, const char* name) {
    Dir d = Dir::open(name, O_NOFOLLOW, parent_fd);
    if (!d) return false;
    // The whole listing first: removing entries while reading the directory may skip some.
    std::vector<Dir_Entry> entries;
    bool ok = sysfs_listdir_posix(d.get(), entries);
    for (size_t i = 0; ok && i < entries.size(); ++i) {
        const char* child = entries[i].name.c_str();
        ok = entries[i].is_dir ? _remove_tree_at(d.fd(), child) : unlinkat(d.fd(), child, 0) == 0;
    }
    d.reset();
    return ok && unlinkat(parent_fd, name, AT_REMOVEDIR) == 0;
}

bool _remove_one(const std::string& path) {
    struct stat st;
    if (lstat(path.c_str(), &st) != 0) return false;
    return S_ISDIR(st.st_mode) ? rmdir(path.c_str()) == 0 : unlink(path.c_str()) == 0;
}

using Op = void (*)(const Fs_Request&, std::string_view, Fs_Result&);

// A regular file of some size is left open for the transport to send from (size and mtime
// as the open file has them); anything else (small files, devices, FIFOs, /proc files whose
// size says nothing) is read into the reply.
void _op_read(const Fs_Request& req, std::string_view, Fs_Result& out) {
    Fd fd = _open_for_read(req.path);
    struct stat st;
    if (!fd || fstat(fd.get(), &st) != 0) return _fail(out.reply, fs_error_name(errno));
    if (st.st_size > FS_READ_MAX) return _fail(out.reply, "file too large");
    if (S_ISREG(st.st_mode) && st.st_size > FS_READ_INLINE_MAX) {
        out.reply.size = static_cast<int64_t>(st.st_size);
        out.reply.mtime = mtime_ns(st);
        out.file = {std::move(fd), static_cast<uint64_t>(st.st_size), req.path};
        return;
    }
    int err = _read_to_end(fd.get(), static_cast<int64_t>(st.st_size), FS_READ_MAX, out.data);
    if (err == EFBIG) return _fail(out.reply, "file too large");
    if (err != 0) return _fail(out.reply, fs_error_name(err));
    out.reply.size = static_cast<int64_t>(out.data.size());
    out.reply.mtime = fstat(fd.get(), &st) == 0 ? mtime_ns(st) : 0;
}

void _op_write(const Fs_Request& req, std::string_view body, Fs_Result& out) {
    if (!_replace_file(req.path, body)) _fail(out.reply, "write failed");
    out.reply.mtime = _mtime_of(req.path);
}

void _op_list(const Fs_Request& req, std::string_view, Fs_Result& out) {
    int err = _list_entries(req.path, out.reply.entries);
    if (err != 0) _fail(out.reply, fs_error_name(err));
}

void _op_stat(const Fs_Request& req, std::string_view, Fs_Result& out) {
    Path_Stat st = _stat_path(req.path);
    if (st.kind == '-') return;
    out.reply.kind = st.kind == 'd' ? "dir" : "file";
    out.reply.size = st.size;
    out.reply.mtime = st.mtime;
}

void _op_stat_many(const Fs_Request& req, std::string_view, Fs_Result& out) {
    if (req.paths.size() > FS_STAT_MANY_MAX) return _fail(out.reply, "too many paths");
    out.reply.kinds.reserve(req.paths.size());
    for (const std::string& p : req.paths) out.reply.kinds.push_back(_stat_path(p).kind);
}

void _op_walk(const Fs_Request& req, std::string_view, Fs_Result& out) {
    std::vector<std::string> files = list_project_files(req.path);
    size_t total = files.empty() ? 0 : files.size() - 1;
    for (const std::string& f : files) total += f.size();
    out.data.reserve(total);
    for (size_t i = 0; i < files.size(); ++i) {
        if (i > 0) out.data.push_back('\0');
        out.data.append(files[i]);
    }
    out.reply.size = static_cast<int64_t>(files.size());
}

void _op_create_new(const Fs_Request& req, std::string_view, Fs_Result& out) {
    std::string parent = _dir_of(req.path);
    if (!parent.empty() && _stat_path(parent).kind == '-') _mkdir_all(parent);
    Fd fd(open(req.path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666));
    if (fd) return;
    _fail(out.reply, errno == EEXIST ? std::string("exists") : fs_error_name(errno));
}

void _op_mkdir(const Fs_Request& req, std::string_view, Fs_Result& out) {
    out.reply.ok = _mkdir_all(req.path) || _is_dir(req.path);
}

void _op_remove(const Fs_Request& req, std::string_view, Fs_Result& out) {
    out.reply.ok = _remove_one(req.path);
}

void _op_remove_all(const Fs_Request& req, std::string_view, Fs_Result& out) {
    // A trailing "/" would make the system resolve a link named as the last component.
    std::string path = req.path;
    while (path.size() > 1 && path.back() == '/') path.pop_back();
    out.reply.ok = _remove_tree_at(AT_FDCWD, path.c_str());
}

void _op_rename(const Fs_Request& req, std::string_view, Fs_Result& out) {
    out.reply.ok = rename(req.path.c_str(), req.to.c_str()) == 0;
}

struct Op_Entry {
    std::string_view name;
    Op run;
};

constexpr std::array<Op_Entry, 11> OPS = {{
    {"read", _op_read},
    {"write", _op_write},
    {"list", _op_list},
    {"stat", _op_stat},
    {"stat_many", _op_stat_many},
    {"walk", _op_walk},
    {"create_new", _op_create_new},
    {"mkdir", _op_mkdir},
    {"remove", _op_remove},
    {"remove_all", _op_remove_all},
    {"rename", _op_rename},
}};

// A path with a NUL byte would reach the system cut short, naming another file.
bool _has_nul(const Fs_Request& req) {
    auto nul = [](const std::string& s) { return s.find('\0') != std::string::npos; };
    if (nul(req.path) || nul(req.to)) return true;
    for (const std::string& p : req.paths)
        if (nul(p)) return true;
    return false;
}

}  // namespace

Fs_Result fs_execute(std::string_view envelope) {
    Fs_Result result;
    std::string_view json_part, body;
    Fs_Request req;
    if (!split_fs_envelope(envelope, json_part, body) || !unmarshal(json_part, req) ||
        _has_nul(req)) {
        result.reply.err = "bad request";
        return result;
    }
    result.reply.ok = true;
    for (const Op_Entry& op : OPS) {
        if (op.name == req.op) {
            op.run(req, body, result);
            return result;
        }
    }
    _fail(result.reply, "unknown op");
    return result;
}

void fs_log_cut_read(const Fs_File_Part& file, uint64_t sent, std::string_view closing) {
    log_line("read of " + quote(file.path) + " stopped after " + std::to_string(sent) + " of " +
             std::to_string(file.size) + " bytes: the file shrank while it was sent; closing the " +
             std::string(closing));
}
