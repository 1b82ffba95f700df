// The web build the tunnel serves, loaded once into memory.
#include "daemon/tunnel/static_table.h"

#include <dirent.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstring>

#include "core/base/ascii.h"
#include "core/base/dir.h"
#include "core/base/fd.h"
#include "core/base/write_all.h"
#include "core/netproto/answers.h"
#include "daemon/tunnel/internal.h"

using namespace tunnel_internal;

namespace {

bool _is_alnum(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
}

std::string _cannot_read(const std::string& path, std::string_view why) {
    return "cannot read " + path + ": " + std::string(why);
}

Read_Result _error(std::string message) {
    return {Read_Outcome::Error, {}, std::move(message)};
}

// The names of the directory, in the order the system lists them; an error message on failure.
std::optional<std::string> _list(const std::string& web, std::vector<std::string>& names) {
    Dir dir = Dir::open(web.c_str());
    if (!dir) return "cannot list the web build in " + web + ": " + std::strerror(errno);
    errno = 0;
    while (struct dirent* entry = ::readdir(dir.get())) names.emplace_back(entry->d_name);
    int err = errno;
    if (err != 0) return "cannot list the web build in " + web + ": " + std::strerror(err);
    return std::nullopt;
}

}  // namespace

bool static_name_allowed(std::string_view name) {
    if (name.empty() || name.size() > STATIC_NAME_MAX) return false;
    // These would shadow the daemon's own routes /fs, /ws and /vm.
    if (name == "fs" || name == "ws" || name == "vm") return false;
    if (!_is_alnum(name[0])) return false;
    for (char c : name.substr(1))
        if (!_is_alnum(c) && c != '-' && c != '.' && c != '_') return false;
    return true;
}

Read_Result tunnel_internal::_read_exact(int fd, size_t size, const std::string& path) {
    Read_Result r;
    r.body.resize(size);
    size_t got = 0;
    while (got < size) {
        ssize_t n = ::read(fd, r.body.data() + got, size - got);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return _error(_cannot_read(path, std::strerror(errno)));
        if (n == 0) return _error(_cannot_read(path, "it changed while being read"));
        got += static_cast<size_t>(n);
    }
    r.outcome = Read_Outcome::Ok;
    return r;
}

Read_Result tunnel_internal::_read_regular(const std::string& path) {
    struct stat st;
    if (::lstat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return {};
    Fd fd(::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
    if (!fd) {
        // Turned into a symbolic link since the lstat: left out like one.
        if (errno == ELOOP) return {};
        return _error(_cannot_read(path, std::strerror(errno)));
    }
    if (::fstat(fd.get(), &st) != 0) return _error(_cannot_read(path, std::strerror(errno)));
    if (!S_ISREG(st.st_mode)) return {};
    if (static_cast<uint64_t>(st.st_size) > STATIC_FILE_LIMIT)
        return _error(path + " is larger than the tunnel serves (" +
                      std::to_string(STATIC_FILE_LIMIT >> 20) + " MiB a file)");
    return _read_exact(fd.get(), static_cast<size_t>(st.st_size), path);
}

bool inject_marker(std::string& body) {
    static constexpr std::string_view tag = "<head>";
    if (body.size() < tag.size()) return false;
    for (size_t at = 0; at + tag.size() <= body.size(); ++at) {
        size_t k = 0;
        while (k < tag.size() && ascii_lower(body[at + k]) == tag[k]) ++k;
        if (k == tag.size()) {
            body.insert(at + tag.size(), TUNNEL_PAGE_MARKER);
            return true;
        }
    }
    return false;
}

std::optional<std::string> static_table_read(const std::string& web, Static_Table& out) {
    out.clear();
    std::vector<std::string> names;
    if (auto err = _list(web, names)) return err;
    Static_Table table;
    size_t total = 0;
    for (const std::string& name : names) {
        if (!static_name_allowed(name)) continue;
        std::string path = web + "/" + name;
        Read_Result r = _read_regular(path);
        if (r.outcome == Read_Outcome::Error) return r.error;
        if (r.outcome == Read_Outcome::Skip) continue;
        if (name == "index.html" && !inject_marker(r.body))
            return path + " has no <head>, so the tunnel cannot mark it as a tunnel page";
        total += r.body.size();
        if (total > STATIC_TOTAL_LIMIT)
            return "the web build in " + web + " is larger than the tunnel serves (" +
                   std::to_string(STATIC_TOTAL_LIMIT >> 20) + " MiB)";
        Static_File f;
        f.path = "/" + name;
        f.content_type = std::string(content_type_of(name));
        f.is_html = name.ends_with(".html");
        f.body = std::move(r.body);
        table.push_back(std::move(f));
    }
    if (!static_lookup(table, "/index.html"))
        return "there is no web build in " + web + " (no index.html): run `make web` first";
    out = std::move(table);
    return std::nullopt;
}

const Static_File* static_lookup(const Static_Table& table, std::string_view request_path) {
    for (const Static_File& f : table)
        if (f.path == request_path) return &f;
    return nullptr;
}

bool tunnel_send_file(int sock, const Static_File& file) {
    return send_all(sock,
                    tunnel_head("200 OK", file.content_type, file.body.size(), file.is_html)) &&
           send_all(sock, file.body);
}
