// Finding the dravik permission helper the tab's coding agent is to run.
#include "daemon/hooks/perm_helper.h"

#include <limits.h>
#include <sys/stat.h>

#include <cstdlib>
#include <string>
#include <string_view>

#include "core/platform/platform.h"

namespace {

bool _is_regular(const std::string& path) {
    struct stat st;
    return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

// Beside the daemon, or in the install layout's per-platform folders.
std::string _near_executable() {
    std::string self = own_executable_path();
    size_t slash = self.rfind('/');
    if (slash == std::string::npos) return "";
    std::string dir = self.substr(0, slash);
    for (const char* rel : {"/dravik", "/../linux/dravik", "/../macos/dravik"}) {
        std::string candidate = dir + rel;
        if (!_is_regular(candidate)) continue;
        char resolved[PATH_MAX];
        if (::realpath(candidate.c_str(), resolved) != nullptr) return resolved;
    }
    return "";
}

std::string _on_path() {
    const char* path = std::getenv("PATH");
    if (path == nullptr) return "";
    std::string_view rest = path;
    while (true) {
        size_t colon = rest.find(':');
        std::string_view dir = rest.substr(0, colon);
        if (!dir.empty()) {
            std::string candidate = std::string(dir) + "/dravik";
            if (_is_regular(candidate)) return candidate;
        }
        if (colon == std::string_view::npos) return "";
        rest.remove_prefix(colon + 1);
    }
}

}  // namespace

std::string find_perm_helper() {
    const char* chosen = std::getenv("DRAVIK");
    if (chosen != nullptr && chosen[0] != '\0' && _is_regular(chosen)) return chosen;
    std::string near = _near_executable();
    if (!near.empty()) return near;
    return _on_path();
}
