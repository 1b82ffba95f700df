// The project file walk: what it leaves out, its order, links, limits and odd roots.
#include <fcntl.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <set>

#include "core/grep/project_files.h"
#include "tests/files/fs_test_util.h"

namespace {

std::set<std::string> as_set(const std::vector<std::string>& v) {
    return {v.begin(), v.end()};
}

// Memory-backed when the system has one: a quarter of a million files on a busy disk take
// minutes to create.
class Big_Tree_Dir {
  public:
    Big_Tree_Dir() {
        struct stat st;
        std::string base =
            stat("/dev/shm", &st) == 0 && S_ISDIR(st.st_mode) && access("/dev/shm", W_OK) == 0
                ? "/dev/shm"
                : std::filesystem::temp_directory_path().string();
        std::string tmpl = base + "/quelmar-walk-XXXXXX";
        if (mkdtemp(tmpl.data())) path_ = tmpl;
    }
    ~Big_Tree_Dir() {
        std::error_code ec;
        if (!path_.empty()) std::filesystem::remove_all(path_, ec);
    }
    const std::string& path() const { return path_; }

  private:
    std::string path_;
};

size_t index_of(const std::vector<std::string>& v, const std::string& s) {
    return static_cast<size_t>(std::find(v.begin(), v.end(), s) - v.begin());
}

}  // namespace

TEST(Walk, LeavesOutDependencyBuildAndHiddenDirectories) {
    Temp_Dir t;
    for (const char* f : {"a.txt", ".env", "src/main.c", ".git/config", "node_modules/x/index.js",
                          "build/out.o", "docs/build"})
        put_file(t.file(f), "x");
    std::vector<std::string> got = list_project_files(t.path());
    EXPECT_EQ(as_set(got), (std::set<std::string>{"a.txt", ".env", "src/main.c", "docs/build"}));
    ASSERT_EQ(got.size(), 4u);
    // The root's own files come before those of its subdirectories.
    EXPECT_EQ(as_set({got[0], got[1]}), (std::set<std::string>{"a.txt", ".env"}));
}

TEST(Walk, SkipsExactlyTheNineNamesCaseSensitively) {
    Temp_Dir t;
    for (const char* d : {"node_modules", "vendor", "build", "_build", "cmake-build-debug",
                          "cmake-build-release", "target", "dist", "__pycache__", ".cache"})
        put_file(t.file(std::string(d) + "/hidden.txt"));
    for (const char* d : {"Build", "DIST", "target2", "vendors", "x.git"})
        put_file(t.file(std::string(d) + "/seen.txt"));
    EXPECT_EQ(as_set(list_project_files(t.path())),
              (std::set<std::string>{"Build/seen.txt", "DIST/seen.txt", "target2/seen.txt",
                                     "vendors/seen.txt", "x.git/seen.txt"}));
}

TEST(Walk, IsBreadthFirstByDirectory) {
    Temp_Dir t;
    put_file(t.file("x/x1/x2/deep"));
    put_file(t.file("y/shallow"));
    put_file(t.file("top"));
    std::vector<std::string> got = list_project_files(t.path());
    ASSERT_EQ(got.size(), 3u);
    EXPECT_EQ(got[0], "top");
    EXPECT_EQ(got[1], "y/shallow");  // depth 1 before depth 3, whatever the listing order
    EXPECT_EQ(got[2], "x/x1/x2/deep");
}

TEST(Walk, ListsLinksAsFilesAndNeverEntersThem) {
    Temp_Dir t;
    Temp_Dir outside;
    put_file(outside.file("secret.txt"));
    put_file(t.file("real/f.txt"));
    ASSERT_EQ(symlink(outside.path().c_str(), t.file("lib").c_str()), 0);
    ASSERT_EQ(symlink(t.path().c_str(), t.file("real/loop").c_str()), 0);  // a cycle
    ASSERT_EQ(symlink("nowhere", t.file("dangling").c_str()), 0);
    EXPECT_EQ(as_set(list_project_files(t.path())),
              (std::set<std::string>{"lib", "real/f.txt", "real/loop", "dangling"}));
}

TEST(Walk, AnyRootSpellingGivesCleanRelativePaths) {
    Temp_Dir t;
    put_file(t.file("src/a.c"));
    // The root itself is walked whatever its name, and may be a link.
    Temp_Dir other;
    put_file(other.file("node_modules/b"));
    ASSERT_EQ(symlink(t.file("src").c_str(), other.file("alias").c_str()), 0);
    EXPECT_EQ(list_project_files(other.file("node_modules")), std::vector<std::string>{"b"});
    EXPECT_EQ(list_project_files(other.file("alias")), std::vector<std::string>{"a.c"});
    EXPECT_TRUE(list_project_files("").empty());
    EXPECT_TRUE(list_project_files(t.file("missing")).empty());
    EXPECT_TRUE(list_project_files(t.file("src/a.c")).empty());
    EXPECT_EQ(list_project_files(t.path() + "/"), std::vector<std::string>{"src/a.c"});
    EXPECT_EQ(list_project_files(t.path() + "//"), std::vector<std::string>{"src/a.c"});

    char old[4096];
    ASSERT_TRUE(getcwd(old, sizeof old));
    ASSERT_EQ(chdir(t.path().c_str()), 0);
    std::vector<std::string> dot = list_project_files(".");
    std::vector<std::string> rel = list_project_files("src");
    ASSERT_EQ(chdir(old), 0);
    EXPECT_EQ(dot, std::vector<std::string>{"src/a.c"});
    EXPECT_EQ(rel, std::vector<std::string>{"a.c"});
}

TEST(Walk, UnreadableSubdirectoryIsSkippedSilently) {
    if (geteuid() == 0) GTEST_SKIP() << "permission bits do not stop root";
    Temp_Dir t;
    put_file(t.file("closed/inside"));
    put_file(t.file("open/visible"));
    ASSERT_EQ(chmod(t.file("closed").c_str(), 0), 0);
    EXPECT_EQ(list_project_files(t.path()), std::vector<std::string>{"open/visible"});
}

TEST(Walk, FileLimitStopsInsideADirectory) {
    Temp_Dir t;
    for (int i = 0; i < 5; ++i) put_file(t.file("f" + std::to_string(i)));
    put_file(t.file("sub/later"));
    std::vector<std::string> got = list_project_files_bounded(t.path(), 3, 100);
    EXPECT_EQ(got.size(), 3u);
    EXPECT_EQ(index_of(got, "sub/later"), got.size());
}

TEST(Walk, DirectoryLimitStopsAfterTheDirectoryThatReachedIt) {
    Temp_Dir t;
    put_file(t.file("root_file"));
    put_file(t.file("a/in_a"));
    put_file(t.file("b/in_b"));
    put_file(t.file("c/in_c"));
    // Root plus three queued subdirectories reach a limit of 4: only the root is read.
    EXPECT_EQ(list_project_files_bounded(t.path(), 100, 4), std::vector<std::string>{"root_file"});
    EXPECT_EQ(list_project_files_bounded(t.path(), 100, 5).size(), 4u);
}

TEST(Walk, MoreThanTheLimitOfFilesYieldsExactlyTheLimit) {
    Big_Tree_Dir t;
    ASSERT_FALSE(t.path().empty());
    constexpr size_t per_dir = 50001;
    for (int d = 0; d < 4; ++d) {
        std::string dir = t.path() + "/d" + std::to_string(d);
        ASSERT_EQ(mkdir(dir.c_str(), 0777), 0);
        for (size_t i = 0; i < per_dir; ++i) {
            int fd = open((dir + "/" + std::to_string(i)).c_str(), O_CREAT | O_WRONLY, 0666);
            ASSERT_GE(fd, 0);
            close(fd);
        }
    }
    std::vector<std::string> got = list_project_files(t.path());
    EXPECT_EQ(got.size(), WALK_MAX_FILES);
    EXPECT_EQ(as_set(got).size(), WALK_MAX_FILES);
}
