// Static files of the loopback listener, answered from the web build on disk.
#include "daemon/front/static_files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>

#include "core/base/fd.h"
#include "core/base/path.h"
#include "core/base/write_all.h"
#include "core/netproto/answers.h"
#include "core/platform/platform.h"
#include "daemon/config/config.h"

namespace {

// Files are sent from the open descriptor, never loaded whole: a file up to this size goes
// out in the same send as its head, a larger one after it by send_file.
constexpr uint64_t STATIC_INLINE_MAX = 64 * 1024;

// Reads up to want bytes at the end of out; false on a read error. A short result means
// the file shrank since it was examined.
bool _read_into(int fd, std::string& out, size_t want) {
    size_t at = out.size();
    out.resize(at + want);
    size_t got = 0;
    while (got < want) {
        ssize_t n = read(fd, out.data() + at + got, want - got);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        got += static_cast<size_t>(n);
    }
    out.resize(at + got);
    return got == want;
}

}  // namespace

std::optional<std::string> static_path(std::string_view request_path) {
    if (request_path.empty() || request_path.front() != '/') return std::nullopt;
    std::string cleaned = clean_path(request_path);
    if (cleaned == "/") cleaned = "/index.html";
    if (cleaned.find("..") != std::string::npos) return std::nullopt;
    return g_cfg.web + cleaned;
}

void serve_static(int sock, std::string_view request_path) {
    std::optional<std::string> file = static_path(request_path);
    Fd fd;
    struct stat st {};
    // Non-blocking, so that a named pipe in the web directory cannot stall the open; it is
    // then refused as not a regular file. Reads of regular files ignore the flag.
    if (file) fd.reset(open(file->c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
    if (!fd || fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) {
        http_respond(sock, "404 Not Found", "text/plain", "not found");
        return;
    }
    uint64_t size = static_cast<uint64_t>(st.st_size);
    std::string out = http_head("200 OK", content_type_of(*file), size, {});
    if (size <= STATIC_INLINE_MAX) {
        _read_into(fd.get(), out, static_cast<size_t>(size));
        send_all(sock, out);
        return;
    }
    // An error or a file that shrank stops the body short: the peer sees that and the close.
    if (send_all(sock, out)) send_file(sock, fd.get(), 0, size);
}
