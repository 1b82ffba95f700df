// Slash-path rules and the executable's own path.
#include "core/base/path.h"

#include <unistd.h>

#include <vector>

#if defined(__APPLE__)
#include <mach-o/dyld.h>
#endif

std::string clean_path(std::string_view path) {
    if (path.empty()) return ".";
    bool rooted = path.front() == '/';
    std::vector<std::string_view> parts;
    size_t i = 0;
    while (i <= path.size()) {
        size_t j = path.find('/', i);
        if (j == std::string_view::npos) j = path.size();
        std::string_view seg = path.substr(i, j - i);
        if (seg.empty() || seg == ".") {
        } else if (seg == "..") {
            if (!parts.empty() && parts.back() != "..") {
                parts.pop_back();
            } else if (!rooted) {
                parts.push_back(seg);
            }
        } else {
            parts.push_back(seg);
        }
        i = j + 1;
    }
    std::string out = rooted ? "/" : "";
    for (size_t k = 0; k < parts.size(); ++k) {
        if (k > 0) out.push_back('/');
        out.append(parts[k]);
    }
    if (out.empty()) return ".";
    return out;
}

std::string own_executable_path() {
#if defined(__APPLE__)
    uint32_t size = 0;
    _NSGetExecutablePath(nullptr, &size);
    std::string buf(size, '\0');
    if (_NSGetExecutablePath(buf.data(), &size) != 0) return "";
    buf.resize(strlen(buf.c_str()));
    return buf;
#else
    std::string buf(4096, '\0');
    ssize_t n = readlink("/proc/self/exe", buf.data(), buf.size());
    if (n <= 0 || static_cast<size_t>(n) >= buf.size()) return "";
    buf.resize(static_cast<size_t>(n));
    return buf;
#endif
}
