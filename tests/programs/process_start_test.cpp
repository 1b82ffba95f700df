// The start operation: environment construction, PATH lookup, and starting a program
// with its streams, working directory and signal dispositions.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <optional>

#include "core/base/clock.h"
#include "core/base/fd.h"
#include "core/base/terminal.h"
#include "daemon/programs/process_start.h"
#include "tests/support/daemon_process.h"

namespace {

// The daemon runs with SIGPIPE ignored; so do these tests.
const bool _sigpipe_ignored = [] { return ::signal(SIGPIPE, SIG_IGN) != SIG_ERR; }();

struct Pipe {
    Fd r, w;
    Pipe() {
        int fds[2];
        if (::pipe2(fds, O_CLOEXEC) == 0) {
            r.reset(fds[0]);
            w.reset(fds[1]);
        }
    }
};

std::string _read_all(int fd) {
    std::string out;
    char buf[4096];
    ssize_t n;
    while ((n = ::read(fd, buf, sizeof buf)) > 0) out.append(buf, static_cast<size_t>(n));
    return out;
}

// The raw wait status, bounded; the child is killed on time-out.
std::optional<int> _wait(pid_t pid, int timeout_ms = 10000) {
    int64_t end = mono_ns() + int64_t(timeout_ms) * 1000000;
    while (mono_ns() < end) {
        int status;
        if (::waitpid(pid, &status, WNOHANG) == pid) return status;
        sleep_ns(2000000);
    }
    ::kill(pid, SIGKILL);
    ::waitpid(pid, nullptr, 0);
    return std::nullopt;
}

// Runs argv with stdout (and stderr) into one pipe; returns the output and exit code.
struct Run_Result {
    int error = 0;
    std::string out;
    int code = -1;
};
Run_Result _run(Process_Start start) {
    Pipe out;
    start.out = out.w.get();
    if (start.err < 0) start.err = out.w.get();
    Started st = process_start(start);
    out.w.reset();
    Run_Result r;
    r.error = st.error;
    if (st.error != 0) return r;
    r.out = _read_all(out.r.get());
    std::optional<int> status = _wait(st.pid);
    if (status && WIFEXITED(*status)) r.code = WEXITSTATUS(*status);
    return r;
}

TEST(BuildEnvironment, ReplacesUnsetsAndKeepsOrder) {
    const char* base[] = {"A=0", "HOME=/h", "PATH=/bin", "noeq", "=x", "B=2=3", nullptr};
    EXPECT_EQ(build_environment(base, {{"A", "1"}}, {"A"}),
              (std::vector<std::string>{"HOME=/h", "PATH=/bin", "noeq", "=x", "B=2=3", "A=1"}));
    EXPECT_EQ(build_environment(base, {}, {"HOME", "noeq", "", "B=2"}),
              (std::vector<std::string>{"A=0", "PATH=/bin", "noeq", "=x", "B=2=3"}));
    EXPECT_EQ(
        build_environment(base, {{"B", ""}, {"C", "x=y"}}, {}),
        (std::vector<std::string>{"A=0", "HOME=/h", "PATH=/bin", "noeq", "=x", "B=", "C=x=y"}));
    // Names compare exactly: "home" is not "HOME".
    EXPECT_EQ(build_environment(base, {}, {"home"}).size(), 6u);
}

TEST(FindProgram, SearchesTheListInOrder) {
    Temp_Dir d;
    ::mkdir(d.file("a").c_str(), 0755);
    ::mkdir(d.file("b").c_str(), 0755);
    ::mkdir(d.file("c").c_str(), 0755);
    write_file(d.file("a/tool"), "#!/bin/sh\n");  // not executable
    write_file(d.file("b/tool"), "#!/bin/sh\n");
    ::chmod(d.file("b/tool").c_str(), 0755);
    ::mkdir(d.file("c/tool").c_str(), 0755);  // a directory is no program
    std::string out;
    std::string list = d.file("c") + ":" + d.file("a") + "::" + d.file("b");
    EXPECT_EQ(find_program("tool", list, out), 0);
    EXPECT_EQ(out, d.file("b/tool"));

    EXPECT_EQ(find_program("tool", d.file("a") + ":" + d.file("c"), out), EACCES);
    EXPECT_EQ(find_program("nothing-of-that-name", "/nonexistent:" + d.path(), out), ENOENT);
    EXPECT_EQ(find_program("", "/bin", out), ENOENT);
    // An empty member does not mean the working directory.
    EXPECT_EQ(find_program("tool", ":", out), ENOENT);

    // A name with a slash is taken as given, not searched.
    EXPECT_EQ(find_program("./tool", d.file("b"), out), 0);
    EXPECT_EQ(out, "./tool");
}

TEST(FindProgram, RelativeDirectoriesBecomeAbsolute) {
    Temp_Dir d;
    ::mkdir(d.file("bin").c_str(), 0755);
    write_file(d.file("bin/tool"), "#!/bin/sh\n");
    ::chmod(d.file("bin/tool").c_str(), 0755);
    char old[4096];
    ASSERT_NE(::getcwd(old, sizeof old), nullptr);
    ASSERT_EQ(::chdir(d.path().c_str()), 0);
    std::string out;
    int rc = find_program("tool", "bin", out);
    ASSERT_EQ(::chdir(old), 0);
    EXPECT_EQ(rc, 0);
    ASSERT_FALSE(out.empty());
    EXPECT_EQ(out.front(), '/');
    EXPECT_EQ(read_file(out), "#!/bin/sh\n");
}

TEST(ProcessStart, RunsWithArgumentsEnvironmentAndWorkingDirectory) {
    Temp_Dir d;
    Process_Start start;
    start.argv = {"sh", "-c", "printf '%s|%s|%s' \"$1\" \"$QX\" \"$(pwd -P)\"", "sh", "a b"};
    start.env = std::vector<std::string>{"QX=7", "PATH=/nonexistent"};
    start.cwd = d.path();
    Run_Result r = _run(start);
    ASSERT_EQ(r.error, 0);
    char real[4096];
    ASSERT_NE(::realpath(d.path().c_str(), real), nullptr);
    EXPECT_EQ(r.out, std::string("a b|7|") + real);
    EXPECT_EQ(r.code, 0);
}

TEST(ProcessStart, RelativeProgramIsFoundFromTheNewWorkingDirectory) {
    Temp_Dir d;
    write_file(d.file("run.sh"), "#!/bin/sh\necho ran here\nexit 3\n");
    ::chmod(d.file("run.sh").c_str(), 0755);
    Process_Start start;
    start.argv = {"./run.sh"};
    start.cwd = d.path();
    Run_Result r = _run(start);
    ASSERT_EQ(r.error, 0);
    EXPECT_EQ(r.out, "ran here\n");
    EXPECT_EQ(r.code, 3);
}

// Failures before the program runs come back from the start itself, not as an exit.
TEST(ProcessStart, FailuresBeforeExecAreErrors) {
    Temp_Dir d;
    write_file(d.file("plain"), "not a program");
    Process_Start start;
    start.argv = {"no-such-program-here"};
    EXPECT_EQ(_run(start).error, ENOENT);

    start.argv = {"sh", "-c", "echo should not run"};
    start.cwd = d.file("missing");
    Run_Result r = _run(start);
    EXPECT_EQ(r.error, ENOENT);
    EXPECT_EQ(r.out, "");

    start.cwd = d.file("plain");
    EXPECT_EQ(_run(start).error, ENOTDIR);

    start.cwd = "";
    start.argv = {d.file("plain")};
    EXPECT_EQ(_run(start).error, EACCES);
    start.argv = {d.file("missing")};
    EXPECT_EQ(_run(start).error, ENOENT);
}

// A terminal program is started another way; its failures come back the same.
TEST(ProcessStart, TerminalFailuresBeforeExecAreErrors) {
    Temp_Dir d;
    Terminal_Pair t;
    ASSERT_EQ(open_terminal(80, 24, t), 0);
    Process_Start start;
    start.terminal = t.slave.get();
    start.argv = {d.file("missing")};
    EXPECT_EQ(process_start(start).error, ENOENT);
    start.argv = {"sh", "-c", "echo should not run"};
    start.cwd = d.file("missing");
    EXPECT_EQ(process_start(start).error, ENOENT);
    t.slave.reset();
    char buf[64];
    EXPECT_LE(::read(t.master.get(), buf, sizeof buf), 0);  // nothing ran, nothing was written
}

TEST(ProcessStart, AbsentStreamsAreDevNull) {
    Process_Start start;
    start.argv = {"sh", "-c", "cat; echo to-stderr >&2; echo done"};
    start.err = -1;
    Pipe out;
    start.out = out.w.get();
    start.in = -1;
    Started st = process_start(start);
    ASSERT_EQ(st.error, 0);
    out.w.reset();
    // stdin at end of file at once, stderr gone: only "done" arrives.
    EXPECT_EQ(_read_all(out.r.get()), "done\n");
    std::optional<int> status = _wait(st.pid);
    ASSERT_TRUE(status);
    EXPECT_TRUE(WIFEXITED(*status));
}

TEST(ProcessStart, ChildStaysInTheProcessGroupAndGetsDefaultSigpipe) {
    ASSERT_TRUE(_sigpipe_ignored);
    // A writer whose reader is gone must die of SIGPIPE, as it would in a shell pipeline,
    // although the daemon itself ignores the signal.
    Pipe out;
    Process_Start start;
    start.argv = {"yes"};
    start.out = out.w.get();
    Started st = process_start(start);
    ASSERT_EQ(st.error, 0);
    EXPECT_EQ(::getpgid(st.pid), ::getpgrp());
    out.w.reset();
    out.r.reset();
    std::optional<int> status = _wait(st.pid);
    ASSERT_TRUE(status);
    ASSERT_TRUE(WIFSIGNALED(*status));
    EXPECT_EQ(WTERMSIG(*status), SIGPIPE);
}

}  // namespace
