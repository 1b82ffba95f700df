// The breadth-first project file walk.
#include "core/grep/project_files.h"

#include <fcntl.h>
#include <limits.h>
#include <stdlib.h>
#include <unistd.h>

#include <array>
#include <unordered_set>

#include "core/base/dir.h"
#include "core/sysfs/sysfs_listdir_posix.h"

namespace {

constexpr size_t RESULT_INITIAL = 1024;
constexpr size_t QUEUE_INITIAL = 256;
constexpr size_t VISITED_INITIAL = 1024;

// Dependencies, build output and caches: compared with the whole name, case-sensitively.
constexpr std::array<std::string_view, 9> SKIPPED_DIRS = {
    "node_modules",        "vendor", "build", "_build",      "cmake-build-debug",
    "cmake-build-release", "target", "dist",  "__pycache__",
};

// Adds dir's real path to the set; false when it has none or was read already, which is
// what keeps bind mounts and other aliases from being walked twice.
bool _first_visit(const std::string& dir, std::unordered_set<std::string>& visited) {
    char real[PATH_MAX];
    if (!realpath(dir.c_str(), real)) return false;
    return visited.emplace(real).second;
}

// Reads dir whole and closes it before anything is done with its entries, so at most one
// directory is open at a time. Below the root a name that became a symbolic link after it
// was listed is not entered (O_NOFOLLOW); the root itself may be a link.
bool _read_dir(const std::string& dir, bool is_root, std::vector<Dir_Entry>& entries) {
    Dir d = Dir::open(dir.c_str(), is_root ? 0 : O_NOFOLLOW);
    return d && sysfs_listdir_posix(d.get(), entries);
}

// dir relative to root: every queued path begins with the root text and then "/".
std::string_view _relative(std::string_view dir, std::string_view root) {
    if (dir.size() < root.size() || dir.substr(0, root.size()) != root) return dir;
    dir.remove_prefix(root.size());
    if (!dir.empty() && dir.front() == '/') dir.remove_prefix(1);
    return dir;
}

}  // namespace

bool walk_skips_dir(std::string_view name) {
    if (!name.empty() && name.front() == '.') return true;
    for (std::string_view s : SKIPPED_DIRS)
        if (name == s) return true;
    return false;
}

std::vector<std::string> list_project_files(std::string_view root) {
    return list_project_files_bounded(root, WALK_MAX_FILES, WALK_MAX_DIRS);
}

std::vector<std::string> list_project_files_bounded(std::string_view root, size_t max_files,
                                                    size_t max_dirs) {
    std::vector<std::string> result;
    if (root.empty()) return result;
    result.reserve(RESULT_INITIAL);
    std::vector<std::string> queue;
    queue.reserve(QUEUE_INITIAL);
    queue.emplace_back(root);
    std::unordered_set<std::string> visited;
    visited.reserve(VISITED_INITIAL);
    std::vector<Dir_Entry> entries;

    for (size_t i = 0; i < queue.size(); ++i) {
        // A copy: appending to the queue below may move its strings.
        const std::string dir = queue[i];
        entries.clear();
        if (_first_visit(dir, visited) && _read_dir(dir, i == 0, entries)) {
            std::string_view rel_dir = _relative(dir, root);
            for (const Dir_Entry& e : entries) {
                if (e.is_dir) {
                    if (!walk_skips_dir(e.name)) queue.push_back(dir + "/" + e.name);
                    continue;
                }
                std::string rel;
                rel.reserve(rel_dir.size() + 1 + e.name.size());
                if (!rel_dir.empty()) rel.append(rel_dir).push_back('/');
                rel.append(e.name);
                result.push_back(std::move(rel));
                if (result.size() >= max_files) break;
            }
        }
        if (queue.size() >= max_dirs || result.size() >= max_files) break;
    }
    return result;
}
