// Where hooks are made and what a failed Hook_Listen says; the request framing rule; where
// the permission helper is found.
#include <gtest/gtest.h>
#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>

#include "daemon/hooks/hooks.h"
#include "daemon/hooks/perm_helper.h"
#include "tests/hooks/tab_harness.h"
#include "tests/support/counts.h"
#include "tests/support/daemon_process.h"

namespace {

TEST(HookRequestPayload, PrefixAndTrailingLineEnds) {
    std::string_view p;
    ASSERT_TRUE(hook_request_payload("REQ \n", p));
    EXPECT_EQ(p, "");
    ASSERT_TRUE(hook_request_payload("REQ {}\r\n\r\r\n", p));
    EXPECT_EQ(p, "{}");
    ASSERT_TRUE(hook_request_payload("REQ a\r\nb\n", p));
    EXPECT_EQ(p, "a\r\nb");  // only the trailing run goes
    ASSERT_TRUE(hook_request_payload("REQ  x ", p));
    EXPECT_EQ(p, " x ");
    for (std::string_view bad : {"", "REQ", "REQ\n", "req x\n", "REQx\n", " REQ x\n", "\n"})
        EXPECT_FALSE(hook_request_payload(bad, p)) << bad;
}

TEST(HookBaseDir, RuntimeDirOrTmp) {
    Temp_Dir t;
    EXPECT_EQ(hook_base_dir(nullptr), "/tmp");
    EXPECT_EQ(hook_base_dir(""), "/tmp");
    EXPECT_EQ(hook_base_dir("relative/dir"), "/tmp");
    // Made with mode 0700 when missing, used as it is when present.
    EXPECT_EQ(hook_base_dir(t.path().c_str()), t.path() + "/editor");
    struct stat st;
    ASSERT_EQ(stat((t.path() + "/editor").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);
    chmod((t.path() + "/editor").c_str(), 0755);
    EXPECT_EQ(hook_base_dir(t.path().c_str()), t.path() + "/editor");
    ASSERT_EQ(stat((t.path() + "/editor").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0755u);
    // A runtime "directory" that is a file cannot hold the base: /tmp instead.
    write_file(t.file("plain"), "x");
    EXPECT_EQ(hook_base_dir(t.file("plain").c_str()), "/tmp");
    ASSERT_EQ(mkdir(t.file("d").c_str(), 0700), 0);
    write_file(t.file("d/editor"), "");  // "editor" is a file
    EXPECT_EQ(hook_base_dir(t.file("d").c_str()), "/tmp");
}

class Hook_Failures : public ::testing::Test {
  protected:
    void TearDown() override { unsetenv("XDG_RUNTIME_DIR"); }
    Session_Tab tab_;
    Temp_Dir t_;
};

TEST_F(Hook_Failures, SocketPathLimitIs103Bytes) {
    // <xdg>/editor/editor-chat-daemon-<pid>-XXXXXX/hook.sock: pad xdg to hit the limit.
    std::string tail =
        "/editor/editor-chat-daemon-" + std::to_string(getpid()) + "-XXXXXX/hook.sock";
    for (size_t target : {size_t{103}, size_t{104}}) {
        std::string xdg = t_.path() + "/";
        ASSERT_LT(xdg.size() + tail.size(), target);
        xdg.append(target - tail.size() - xdg.size(), 'p');
        ASSERT_EQ(mkdir(xdg.c_str(), 0700), 0);
        setenv("XDG_RUNTIME_DIR", xdg.c_str(), 1);
        int fds_before = open_fd_count();
        Hook_Ready_Body ready = tab_.listen(static_cast<uint32_t>(target));
        if (target == 103) {
            EXPECT_EQ(ready.err, "");
            EXPECT_EQ(ready.path.size(), 103u);
            tab_.close(static_cast<uint32_t>(target));
        } else {
            EXPECT_EQ(ready.err, "socket path too long");
            EXPECT_EQ(ready.path, "");
            EXPECT_TRUE(tab_.session().hooks.empty());
        }
        EXPECT_EQ(dir_entry_count(xdg + "/editor"), 0) << target;
        EXPECT_EQ(open_fd_count(), fds_before);
    }
}

TEST_F(Hook_Failures, MkdtempFailureIsReported) {
    // The base exists as a directory (a link to /proc), but nothing can be made in it.
    ASSERT_EQ(symlink("/proc", t_.file("editor").c_str()), 0);
    setenv("XDG_RUNTIME_DIR", t_.path().c_str(), 1);
    Hook_Ready_Body ready = tab_.listen(1);
    EXPECT_EQ(ready.err, "mkdtemp failed");
    EXPECT_EQ(ready.path, "");
    EXPECT_TRUE(tab_.session().hooks.empty());
}

TEST_F(Hook_Failures, RelativeRuntimeDirFallsBackToTmp) {
    setenv("XDG_RUNTIME_DIR", "run/user", 1);
    Hook_Ready_Body ready = tab_.listen(1);
    ASSERT_EQ(ready.err, "");
    EXPECT_EQ(ready.path.rfind("/tmp/editor-chat-daemon-", 0), 0u) << ready.path;
    tab_.close(1);
    EXPECT_EQ(access(ready.path.substr(0, ready.path.rfind('/')).c_str(), F_OK), -1);
}

// find_perm_helper reads DRAVIK and PATH; each case sets both and restores them.
class Perm_Helper : public ::testing::Test {
  protected:
    void SetUp() override {
        const char* p = getenv("PATH");
        path_ = p ? p : "";
        const char* d = getenv("DRAVIK");
        had_dravik_ = d != nullptr;
        if (d) dravik_ = d;
    }
    void TearDown() override {
        setenv("PATH", path_.c_str(), 1);
        if (had_dravik_)
            setenv("DRAVIK", dravik_.c_str(), 1);
        else
            unsetenv("DRAVIK");
    }
    std::string path_, dravik_;
    bool had_dravik_ = false;
    Temp_Dir t_;
};

// The helper built beside this test program, if the build has one.
std::string beside_tests() {
    char resolved[PATH_MAX];
    std::string candidate = std::string(BUILD_DIR) + "/dravik";
    if (access(candidate.c_str(), F_OK) != 0 || !realpath(candidate.c_str(), resolved)) return "";
    return resolved;
}

TEST_F(Perm_Helper, DravikVariableWinsWhenItNamesAFile) {
    write_file(t_.file("my-dravik"), "#!/bin/sh\n");
    setenv("DRAVIK", t_.file("my-dravik").c_str(), 1);
    EXPECT_EQ(find_perm_helper(), t_.file("my-dravik"));
    ASSERT_EQ(chdir(t_.path().c_str()), 0);
    setenv("DRAVIK", "my-dravik", 1);  // returned unchanged, not made absolute
    EXPECT_EQ(find_perm_helper(), "my-dravik");
    ASSERT_EQ(chdir("/"), 0);
    // A directory or a missing file does not qualify.
    setenv("PATH", "", 1);
    setenv("DRAVIK", t_.path().c_str(), 1);
    EXPECT_EQ(find_perm_helper(), beside_tests());
    setenv("DRAVIK", t_.file("missing").c_str(), 1);
    EXPECT_EQ(find_perm_helper(), beside_tests());
}

TEST_F(Perm_Helper, PathIsSearchedInOrderAndSkipsEmptyElements) {
    unsetenv("DRAVIK");
    if (!beside_tests().empty()) {
        setenv("PATH", t_.path().c_str(), 1);
        EXPECT_EQ(find_perm_helper(), beside_tests());  // beside the executable comes first
        return;
    }
    for (const char* d : {"a", "b", "b/dravik", "c", "d"})  // b's "dravik" is a directory
        ASSERT_EQ(mkdir(t_.file(d).c_str(), 0700), 0);
    write_file(t_.file("c/dravik"), "");
    write_file(t_.file("d/dravik"), "");
    std::string path =
        "::" + t_.file("a") + ":" + t_.file("b") + ":" + t_.path() + "/c/../c:" + t_.file("d");
    setenv("PATH", path.c_str(), 1);
    EXPECT_EQ(find_perm_helper(), t_.path() + "/c/../c/dravik");  // as formed
    setenv("PATH", (t_.file("a") + ":" + t_.file("b")).c_str(), 1);
    EXPECT_EQ(find_perm_helper(), "");
}

}  // namespace
