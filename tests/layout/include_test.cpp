// The shape of the source tree, read from its #include lines: core/ includes nothing
// outside core/, the daemon's folders depend one way (front, then tunnel, then session,
// then programs, files, hooks and vm, then messages and config, then core), and no two units (a
// header with its source) include each other round a circle. And what differs between the
// systems stays in core/platform.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "tests/support/daemon_process.h"

namespace {

namespace fs = std::filesystem;

// Where each part stands: a file may include only its own folder and parts that stand
// lower. A new daemon folder has no place until it is given one here.
const std::map<std::string, int> LAYER = {
    {"main", 6},  {"front", 5}, {"tunnel", 4},   {"session", 3}, {"programs", 2}, {"files", 2},
    {"hooks", 2}, {"vm", 2},    {"messages", 1}, {"config", 1},  {"core", 0},
};

using Graph = std::map<std::string, std::set<std::string>>;

struct Include {
    std::string from;  // the including file, relative to the root
    std::string to;    // the quoted path
};

std::vector<Include> read_includes(const fs::path& root) {
    std::vector<Include> out;
    for (const char* top : {"core", "daemon"}) {
        if (!fs::exists(root / top)) continue;
        for (const auto& e : fs::recursive_directory_iterator(root / top)) {
            std::string ext = e.path().extension().string();
            if (!e.is_regular_file() || (ext != ".h" && ext != ".cpp")) continue;
            std::string from = fs::relative(e.path(), root).generic_string();
            std::ifstream in(e.path());
            for (std::string line; std::getline(in, line);) {
                size_t at = line.find_first_not_of(" \t");
                if (at == std::string::npos || line.compare(at, 10, "#include \"") != 0) continue;
                size_t end = line.find('"', at + 10);
                if (end != std::string::npos)
                    out.push_back({from, line.substr(at + 10, end - at - 10)});
            }
        }
    }
    return out;
}

// "core", "main" or the daemon folder of a path; "" for anything else.
std::string part_of(const std::string& path) {
    if (path.starts_with("core/")) return "core";
    if (!path.starts_with("daemon/")) return "";
    size_t slash = path.find('/', 7);
    return slash == std::string::npos ? "main" : path.substr(7, slash - 7);
}

// A header and its source are one unit: what either includes, the unit includes.
std::string unit_of(const std::string& path) {
    return path.substr(0, path.rfind('.'));
}

// A folder's internal.h declares what several of its files share privately: it is part of
// each of them, so it takes part in no circle between files of its own.
bool is_private_header(const std::string& path) {
    return path.ends_with("/internal.h");
}

// One circle of the graph as "a -> b -> a", or "" when there is none.
std::string find_circle(const Graph& graph) {
    std::map<std::string, int> state;  // 1: on the current path, 2: done
    std::vector<std::string> path;
    std::string found;
    auto visit = [&](auto&& self, const std::string& node) -> void {
        state[node] = 1;
        path.push_back(node);
        auto it = graph.find(node);
        for (const std::string& next : it == graph.end() ? std::set<std::string>{} : it->second) {
            if (!found.empty()) break;
            if (state[next] == 1) {
                auto start = std::find(path.begin(), path.end(), next);
                for (auto p = start; p != path.end(); ++p) found += *p + " -> ";
                found += next;
            } else if (state[next] == 0) {
                self(self, next);
            }
        }
        path.pop_back();
        state[node] = 2;
    };
    for (const auto& [node, edges] : graph)
        if (found.empty() && state[node] == 0) visit(visit, node);
    return found;
}

// Every breach of the rules, one line each.
std::vector<std::string> layout_problems(const fs::path& root) {
    std::vector<std::string> problems;
    Graph parts, units;
    for (const Include& inc : read_includes(root)) {
        std::string from = part_of(inc.from), to = part_of(inc.to);
        std::string breach = inc.from + " includes " + inc.to;
        if (from == "core" && to != "core") {
            problems.push_back(breach + ": core/ includes nothing outside core/");
        } else if (to.empty()) {
            problems.push_back(breach + ": the daemon includes only core/ and daemon/");
        } else if (!LAYER.contains(from) || !LAYER.contains(to)) {
            problems.push_back(breach + ": a daemon folder without a place in the layering");
        } else if (from != to && LAYER.at(to) >= LAYER.at(from)) {
            problems.push_back(breach + ": " + from + " may not depend on " + to);
        }
        if (!to.empty() && from != to) parts[from].insert(to);
        bool shared = is_private_header(inc.from) || is_private_header(inc.to);
        if (!shared && unit_of(inc.from) != unit_of(inc.to))
            units[unit_of(inc.from)].insert(unit_of(inc.to));
    }
    if (std::string c = find_circle(parts); !c.empty())
        problems.push_back("circle between folders: " + c);
    if (std::string c = find_circle(units); !c.empty())
        problems.push_back("circle between files: " + c);
    return problems;
}

// Conditionals on the system or on its calls: core/platform's alone, anywhere in the tree.
const std::vector<std::string> PLATFORM_MACROS = {
    "__linux__",  "__APPLE__",  "__MACH__",     "__unix__",     "__FreeBSD__",  "__OpenBSD__",
    "__NetBSD__", "TARGET_OS_", "SOCK_CLOEXEC", "MSG_NOSIGNAL", "SO_NOSIGPIPE", "DT_DIR",
};
// Calls and names that one system has and the other lacks: in the programs' own code (the
// tests are Linux's), core/platform's alone.
const std::vector<std::string> PLATFORM_CALLS = {
    "accept4(",
    "pipe2(",
    "SOCK_CLOEXEC",
    "SOCK_NONBLOCK",
    "MSG_NOSIGNAL",
    "SO_NOSIGPIPE",
    "sendfile(",
    "\"/proc/",
    "st_mtim.",
    "st_mtimespec",
    "SYS_gettid",
    "getrandom(",
    "arc4random",
    "_NSGetExecutablePath",
    "pthread_threadid_np",
    "POSIX_SPAWN_CLOEXEC_DEFAULT",
    "closefrom",
};

// Every line of a source that names a platform difference outside core/platform.
std::vector<std::string> platform_problems(const fs::path& root) {
    std::vector<std::string> problems;
    for (const char* top : {"core", "daemon", "dravik", "sorvine", "tests", "bench"}) {
        if (!fs::exists(root / top)) continue;
        bool program_code = std::string_view(top) != "tests" && std::string_view(top) != "bench";
        for (const auto& e : fs::recursive_directory_iterator(root / top)) {
            std::string ext = e.path().extension().string();
            std::string file = fs::relative(e.path(), root).generic_string();
            if (!e.is_regular_file() || (ext != ".h" && ext != ".cpp")) continue;
            if (file.starts_with("core/platform/") ||
                file.find("/node_modules/") != std::string::npos)
                continue;
            std::ifstream in(e.path());
            int number = 0;
            for (std::string line; std::getline(in, line);) {
                ++number;
                size_t at = line.find_first_not_of(" \t");
                bool conditional = at != std::string::npos && (line.compare(at, 3, "#if") == 0 ||
                                                               line.compare(at, 5, "#elif") == 0);
                const auto& names = conditional ? PLATFORM_MACROS : PLATFORM_CALLS;
                if (!conditional && !program_code) continue;
                for (const std::string& name : names)
                    if (line.find(name) != std::string::npos)
                        problems.push_back(file + ":" + std::to_string(number) + ": " + name +
                                           " belongs in core/platform");
            }
        }
    }
    return problems;
}

std::string joined(const std::vector<std::string>& lines) {
    std::string out;
    for (const std::string& l : lines) out += l + "\n";
    return out;
}

}  // namespace

TEST(Layout, TheSourceTreeKeepsItsShape) {
    ASSERT_TRUE(fs::exists(fs::path(SOURCE_DIR) / "daemon" / "main.cpp"));
    EXPECT_EQ(joined(layout_problems(SOURCE_DIR)), "");
}

TEST(Layout, PlatformDifferencesStayInCorePlatform) {
    EXPECT_EQ(joined(platform_problems(SOURCE_DIR)), "");
}

TEST(Layout, APlatformDifferenceOutsideCorePlatformIsFound) {
    Temp_Dir t;
    for (const char* dir : {"core/base", "core/platform", "daemon/vm", "tests/x"})
        fs::create_directories(t.file(dir));
    write_file(t.file("core/base/a.cpp"), "int x;\n  #ifdef __APPLE__\n#endif\n");
    write_file(t.file("daemon/vm/b.cpp"), "// accept4 is Linux's\nFd s(accept4(l, 0, 0, 0));\n");
    write_file(t.file("tests/x/c.cpp"), "#if defined(MSG_NOSIGNAL)\n#endif\npipe2(fds, 0);\n");
    write_file(t.file("core/platform/d.cpp"), "#if defined(__linux__)\npipe2(fds, 0);\n#endif\n");
    EXPECT_EQ(joined(platform_problems(t.path())),
              "core/base/a.cpp:2: __APPLE__ belongs in core/platform\n"
              "daemon/vm/b.cpp:2: accept4( belongs in core/platform\n"
              "tests/x/c.cpp:1: MSG_NOSIGNAL belongs in core/platform\n");
}

// Writes each file of a tree with one quoted include (indented, as some are) among others.
void put_tree(const Temp_Dir& t, const std::vector<std::pair<std::string, std::string>>& files) {
    for (const auto& [file, include] : files) {
        fs::create_directories(fs::path(t.file(file)).parent_path());
        write_file(t.file(file), "// x\n  #include \"" + include + "\"\n#include <vector>\n");
    }
}

TEST(Layout, EachRuleCatchesItsBreach) {
    Temp_Dir t;
    put_tree(t, {
                    {"core/base/a.h", "daemon/front/x.h"},
                    {"daemon/front/x.cpp", "sorvine/run.h"},
                    {"daemon/vm/relay.cpp", "daemon/tunnel/state.h"},
                    {"daemon/session/s.cpp", "daemon/programs/p.h"},
                    {"daemon/programs/p.cpp", "daemon/session/s.h"},
                    {"daemon/extra/e.cpp", "core/base/a.h"},
                    {"daemon/tunnel/ok.cpp", "daemon/session/s.h"},  // downward: no problem
                });
    std::string got = joined(layout_problems(t.path()));
    for (const char* expected : {
             "core/base/a.h includes daemon/front/x.h: core/ includes nothing outside core/\n",
             "daemon/front/x.cpp includes sorvine/run.h: the daemon includes only core/ and "
             "daemon/\n",
             "daemon/vm/relay.cpp includes daemon/tunnel/state.h: vm may not depend on tunnel\n",
             "daemon/programs/p.cpp includes daemon/session/s.h: programs may not depend on "
             "session\n",
             "daemon/extra/e.cpp includes core/base/a.h: a daemon folder without a place in the "
             "layering\n",
             "circle between folders: programs -> session -> programs\n",
         })
        EXPECT_NE(got.find(expected), std::string::npos) << expected << "\nin:\n" << got;
    EXPECT_EQ(got.find("ok.cpp"), std::string::npos) << got;
    EXPECT_EQ(got.find("session/s.cpp includes"), std::string::npos) << got;
}

TEST(Layout, FilesOfOneFolderIncludingEachOtherAreACircle) {
    Temp_Dir t;
    put_tree(t, {{"daemon/tunnel/a.h", "daemon/tunnel/b.h"},
                 {"daemon/tunnel/b.cpp", "daemon/tunnel/a.h"},
                 {"daemon/tunnel/internal.h", "daemon/tunnel/c.h"},  // shared: no circle
                 {"daemon/tunnel/c.cpp", "daemon/tunnel/internal.h"}});
    EXPECT_EQ(joined(layout_problems(t.path())),
              "circle between files: daemon/tunnel/a -> daemon/tunnel/b -> daemon/tunnel/a\n");
}
