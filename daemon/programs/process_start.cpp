// Starting a program for a tab: the PATH lookup and the environment it asks for, then the
// daemon's one posix_spawn.
#include "daemon/programs/process_start.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

namespace {

// The search list when the daemon has no PATH at all.
constexpr std::string_view DEFAULT_PATH = "/usr/bin:/bin";

std::string_view _name_of(std::string_view entry) {
    size_t eq = entry.find('=');
    if (eq == std::string_view::npos || eq == 0) return {};
    return entry.substr(0, eq);
}

// 0 for an executable regular file, else the errno that rules it out.
int _executable(const std::string& path) {
    struct stat st;
    if (::stat(path.c_str(), &st) != 0) return errno;
    if (!S_ISREG(st.st_mode)) return EACCES;
    if (::access(path.c_str(), X_OK) != 0) return errno;
    return 0;
}

std::string _absolute_dir(std::string_view dir) {
    if (!dir.empty() && dir.front() == '/') return std::string(dir);
    char buf[4096];
    if (::getcwd(buf, sizeof buf) == nullptr) return std::string(dir);
    return std::string(buf) + "/" + std::string(dir);
}

}  // namespace

std::vector<std::string> build_environment(const char* const* base,
                                           const std::map<std::string, std::string>& env,
                                           const std::vector<std::string>& unset) {
    std::vector<std::string> out;
    for (const char* const* p = base; p != nullptr && *p != nullptr; ++p) {
        std::string_view entry(*p);
        std::string_view name = _name_of(entry);
        if (!name.empty()) {
            if (env.find(std::string(name)) != env.end()) continue;
            bool dropped = false;
            for (const std::string& u : unset) dropped = dropped || u == name;
            if (dropped) continue;
        }
        out.emplace_back(entry);
    }
    for (const auto& [name, value] : env) out.push_back(name + "=" + value);
    return out;
}

int find_program(std::string_view name, std::string_view path_list, std::string& out) {
    if (name.empty()) return ENOENT;
    if (name.find('/') != std::string_view::npos) {
        out = std::string(name);
        return 0;
    }
    int error = ENOENT;
    while (true) {
        size_t colon = path_list.find(':');
        std::string_view dir = path_list.substr(0, colon);
        // An empty member would mean the daemon's working directory, which is nobody's
        // intent for a tab's program.
        if (!dir.empty()) {
            std::string candidate = _absolute_dir(dir) + "/" + std::string(name);
            int e = _executable(candidate);
            if (e == 0) {
                out = std::move(candidate);
                return 0;
            }
            // Found but refused is the more useful answer than "not anywhere".
            if (e == EACCES) error = EACCES;
        }
        if (colon == std::string_view::npos) break;
        path_list.remove_prefix(colon + 1);
    }
    return error;
}

Started process_start(const Process_Start& req) {
    if (req.argv.empty()) return {-1, EINVAL};
    const char* path_env = std::getenv("PATH");
    std::string program;
    if (int e = find_program(req.argv[0], path_env ? path_env : DEFAULT_PATH, program))
        return {-1, e};
    return spawn_program(program, req);
}
