// Programs run through a real session: output and its limits, stderr modes, environment,
// lookup and start failures, Stdin and its close, Kill of the whole group, terminals, ids,
// and the end of the tab.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <set>
#include <sstream>

#include "core/base/clock.h"
#include "daemon/session/session.h"
#include "tests/support/counts.h"
#include "tests/support/daemon_process.h"
#include "tests/support/front.h"
#include "tests/support/tab.h"

extern char** environ;

namespace {

std::string _pattern(size_t n) {
    std::string s(n, '\0');
    for (size_t i = 0; i < n; ++i) s[i] = static_cast<char>('a' + (i * 7 + i / 251) % 26);
    return s;
}

std::set<std::string> _lines(const std::string& text) {
    std::set<std::string> out;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) out.insert(line);
    return out;
}

// True when pid is gone (reaped by its waiter) within the time-out.
bool _gone(pid_t pid, int timeout_ms = 10000) {
    int64_t end = mono_ns() + int64_t(timeout_ms) * 1000000;
    while (mono_ns() < end) {
        if (::kill(pid, 0) != 0 && errno == ESRCH) return true;
        sleep_ns(5000000);
    }
    return false;
}

// The first Stdout of id as a number (programs below print their pid, their group's id).
pid_t _pid_from(Tab& tab, uint32_t id) {
    std::optional<Tab_Msg> m = tab.next_of(Msg_Kind::Stdout, id);
    return m ? static_cast<pid_t>(std::atol(m->payload.c_str())) : 0;
}

// Stdout of id until it holds text (each message waited for at most 10 s).
bool _output_holds(Tab& tab, uint32_t id, std::string& out, const std::string& text) {
    while (out.find(text) == std::string::npos) {
        std::optional<Tab_Msg> m = tab.next_of(Msg_Kind::Stdout, id);
        if (!m) return false;
        out += m->payload;
    }
    return true;
}

std::string _pty(int cols, int rows) {
    return "\"pty\":{\"cols\":" + std::to_string(cols) + ",\"rows\":" + std::to_string(rows) + "}";
}

// No message for id arrives before the Exit of a marker program on another channel.
void _expect_quiet(Tab& tab, uint32_t id) {
    ASSERT_TRUE(tab.spawn(999, spawn_json({"true"})));
    Channel_Run marker = tab.collect(999);
    ASSERT_TRUE(marker.exited);
    for (const Tab_Msg& m : marker.others) EXPECT_NE(m.id, id) << "late message of " << id;
}

TEST(ChannelOutput, LargeWriteArrivesWholeInBoundedMessages) {
    Temp_Dir d;
    std::string data = _pattern(100000);
    write_file(d.file("data"), data);
    Tab tab;
    ASSERT_TRUE(tab.ok());
    tab.spawn(1, spawn_json({"cat", d.file("data")}));
    Channel_Run r = tab.collect(1);
    ASSERT_TRUE(r.exited);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.exit_size, 4u);
    EXPECT_TRUE(r.out == data) << "got " << r.out.size() << " bytes";
    EXPECT_GE(r.out_sizes.size(), 4u);
    for (size_t n : r.out_sizes) {
        EXPECT_GE(n, 1u);
        EXPECT_LE(n, 32768u);
    }
}

TEST(ChannelOutput, StderrModes) {
    Tab tab;
    ASSERT_TRUE(tab.ok());
    const std::string script = "echo a; echo b >&2; echo c";
    tab.spawn(1, spawn_json({"sh", "-c", script}));
    Channel_Run own = tab.collect(1);
    EXPECT_EQ(own.out, "a\nc\n");
    EXPECT_EQ(own.err, "b\n");

    tab.spawn(2, spawn_json({"sh", "-c", script}, "\"stderr\":\"merge\""));
    Channel_Run merged = tab.collect(2);
    EXPECT_EQ(merged.out, "a\nb\nc\n");  // in the program's own order
    EXPECT_EQ(merged.err, "");

    tab.spawn(3, spawn_json({"sh", "-c", script}, "\"stderr\":\"null\""));
    Channel_Run dropped = tab.collect(3);
    EXPECT_EQ(dropped.out, "a\nc\n");
    EXPECT_EQ(dropped.err, "");
    EXPECT_TRUE(own.exited && merged.exited && dropped.exited);
}

TEST(ChannelOutput, BackgroundHolderOfStdoutDelaysExit) {
    Tab tab;
    ASSERT_TRUE(tab.ok());
    tab.spawn(1, spawn_json({"sh", "-c", "(sleep 0.3; echo late) & echo early"}));
    Channel_Run r = tab.collect(1);
    ASSERT_TRUE(r.exited);
    EXPECT_EQ(r.out, "early\nlate\n");
    EXPECT_EQ(r.status, 0);
}

TEST(ChannelStart, EnvironmentAndWorkingDirectory) {
    Tab tab;
    ASSERT_TRUE(tab.ok());
    tab.spawn(1, spawn_json({"env"}, "\"env\":{\"QA\":\"1\",\"QB\":\"\"},\"unset\":[\"QA\"]"));
    std::set<std::string> both = _lines(tab.collect(1).out);
    EXPECT_TRUE(both.count("QA=1"));
    EXPECT_TRUE(both.count("QB="));

    tab.spawn(2, spawn_json({"env"}, "\"unset\":[\"HOME\"]"));
    for (const std::string& line : _lines(tab.collect(2).out))
        EXPECT_NE(line.rfind("HOME=", 0), 0u) << line;

    std::set<std::string> ours;
    for (char** e = environ; *e; ++e) ours.insert(*e);
    tab.spawn(3, spawn_json({"env"}, "\"env\":{},\"unset\":[]"));
    EXPECT_EQ(_lines(tab.collect(3).out), ours);

    tab.spawn(4, spawn_json({"pwd", "-P"}));
    EXPECT_EQ(tab.collect(4).out, test_front().root + "\n");
    Temp_Dir d;
    tab.spawn(5, spawn_json({"sh", "-c", "pwd -P"}, "\"cwd\":\"" + d.path() + "\""));
    char real[4096];
    ASSERT_NE(::realpath(d.path().c_str(), real), nullptr);
    EXPECT_EQ(tab.collect(5).out, std::string(real) + "\n");
}

TEST(ChannelStart, LookupUsesTheDaemonsPathOnly) {
    Temp_Dir d;
    write_file(d.file("only-in-tab-path"), "#!/bin/sh\necho wrong\n");
    ::chmod(d.file("only-in-tab-path").c_str(), 0755);
    Tab tab;
    ASSERT_TRUE(tab.ok());
    std::string env = "\"env\":{\"PATH\":\"" + d.path() + "\"}";
    tab.spawn(1, spawn_json({"sh", "-c", "echo \"$PATH\""}, env));
    Channel_Run found = tab.collect(1);
    EXPECT_EQ(found.out, d.path() + "\n");  // the program sees the tab's PATH ...
    EXPECT_EQ(found.status, 0);
    tab.spawn(2, spawn_json({"only-in-tab-path"}, env));
    Channel_Run missing = tab.collect(2);  // ... but the lookup never did
    EXPECT_EQ(missing.status, -1);
    EXPECT_EQ(missing.exit_text, "cannot start only-in-tab-path: ENOENT");
}

TEST(ChannelStart, FailuresAreExitMinusOneWithText) {
    Tab tab;
    ASSERT_TRUE(tab.ok());
    for (const char* bad :
         {"x", "{\"argv\":[]}", "{}", "[1]", "{\"argv\":\"sh\"}",
          "{\"argv\":[\"true\"],\"pty\":{\"cols\":0,\"rows\":24}}",
          "{\"argv\":[\"true\"],\"pty\":{\"cols\":80,\"rows\":1001}}",
          "{\"argv\":[\"true\"],\"pty\":{\"cols\":80}}",
          "{\"argv\":[\"true\"],\"pty\":{\"cols\":80.5,\"rows\":24}}",
          "{\"argv\":[\"true\"],\"pty\":\"80x24\"}", "{\"argv\":[\"true\"],\"pty\":[80,24]}"}) {
        tab.spawn(1, bad);
        Channel_Run r = tab.collect(1);
        EXPECT_EQ(r.status, -1) << bad;
        EXPECT_EQ(r.exit_text, "bad spawn request") << bad;
    }
    tab.spawn(2, spawn_json({"no-such-program-anywhere"}));
    Channel_Run missing = tab.collect(2);
    EXPECT_EQ(missing.status, -1);
    EXPECT_EQ(missing.exit_text, "cannot start no-such-program-anywhere: ENOENT");
    EXPECT_EQ(missing.out, "");

    tab.spawn(3, spawn_json({"sh", "-c", "echo ran"}, "\"cwd\":\"/no/such/dir\""));
    Channel_Run nocwd = tab.collect(3);
    EXPECT_EQ(nocwd.status, -1);
    EXPECT_EQ(nocwd.exit_text, "cannot start sh: ENOENT");
    EXPECT_EQ(nocwd.out, "");

    // An unknown member is no failure, and the failed ids are free again.
    tab.spawn(2, spawn_json({"sh", "-c", "echo fine"}, "\"x\":1"));
    Channel_Run ok = tab.collect(2);
    EXPECT_EQ(ok.out, "fine\n");
    EXPECT_EQ(ok.status, 0);
}

TEST(ChannelStdin, OrderCloseAndLateInputIgnored) {
    Tab tab;
    ASSERT_TRUE(tab.ok());
    tab.spawn(4, spawn_json({"cat"}));
    tab.send(Msg_Kind::Stdin, 4, "hello ");
    tab.send(Msg_Kind::Stdin, 4, "");
    std::string big = _pattern(300000);
    tab.send(Msg_Kind::Stdin, 4, big);
    tab.send(Msg_Kind::Stdin, 4, " world");
    tab.send(Msg_Kind::Stdin_Close, 4);
    tab.send(Msg_Kind::Stdin, 4, "too late");
    Channel_Run r = tab.collect(4);
    ASSERT_TRUE(r.exited);
    EXPECT_EQ(r.status, 0);  // cat ended because its input did
    EXPECT_TRUE(r.out == "hello " + big + " world") << r.out.size();
    // Kinds for an id that runs nothing are ignored.
    tab.send(Msg_Kind::Stdin, 4, "nobody");
    tab.send(Msg_Kind::Stdin_Close, 4);
    tab.send(Msg_Kind::Kill, 4);
    _expect_quiet(tab, 4);
}

TEST(ChannelKill, OneExitNineAndNothingAfter) {
    Tab tab;
    ASSERT_TRUE(tab.ok());
    tab.spawn(1, spawn_json({"sleep", "30"}));
    tab.send(Msg_Kind::Kill, 1);
    tab.send(Msg_Kind::Kill, 1);
    Channel_Run r = tab.collect(1);
    ASSERT_TRUE(r.exited);
    EXPECT_EQ(r.status, 9);
    EXPECT_EQ(r.exit_size, 4u);
    tab.send(Msg_Kind::Kill, 1);
    _expect_quiet(tab, 1);

    tab.spawn(2, spawn_json({"sh", "-c", "kill -TERM $$"}));
    EXPECT_EQ(tab.collect(2).status, 15);
    tab.spawn(3, spawn_json({"sh", "-c", "exit 7"}));
    EXPECT_EQ(tab.collect(3).status, 7);
    tab.send(Msg_Kind::Kill, 3);  // after it exited on its own: nothing
    _expect_quiet(tab, 3);
}

TEST(ChannelKill, EndsTheWholeGroupAlsoAfterTheLeaderExited) {
    Tab tab;
    ASSERT_TRUE(tab.ok());
    tab.spawn(1, sh_spawn("echo $$; sleep 300 & sleep 300"));
    pid_t group = _pid_from(tab, 1);
    ASSERT_GT(group, 0);
    tab.send(Msg_Kind::Kill, 1);
    Channel_Run r = tab.collect(1);
    EXPECT_EQ(r.status, 9);
    EXPECT_TRUE(wait_group_gone(group, 2000));

    // The leader is gone, a background sleep holds its output: the run waits for it until
    // the Kill reaches the rest of the group.
    tab.spawn(2, sh_spawn("sleep 300 & echo $$"));
    group = _pid_from(tab, 2);
    ASSERT_GT(group, 0);
    ASSERT_TRUE(wait_dead(group, 10000));
    tab.send(Msg_Kind::Kill, 2);
    Channel_Run held = tab.collect(2);
    ASSERT_TRUE(held.exited);
    EXPECT_EQ(held.status, 0);  // the leader's own status
    EXPECT_TRUE(wait_group_gone(group, 2000));
}

TEST(ChannelTerminal, ControllingTerminalOfTheAskedSize) {
    Tab tab;
    ASSERT_TRUE(tab.ok());
    tab.spawn(1, spawn_json({"sh", "-c",
                             "tty; stty size; echo \"$TERM\"; echo to-stderr >&2; "
                             ": </dev/tty && echo controlling; ps -o sid= -p $$; echo $$"},
                            _pty(80, 24) + ",\"stderr\":\"\""));
    Channel_Run r = tab.collect(1);
    ASSERT_TRUE(r.exited);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");  // everything comes through the terminal, as Stdout
    EXPECT_EQ(r.out.rfind("/dev/pts/", 0), 0u) << r.out;
    for (const char* line :
         {"\r\n24 80\r\n", "\r\nxterm-256color\r\n", "\r\nto-stderr\r\n", "\r\ncontrolling\r\n"})
        EXPECT_NE(r.out.find(line), std::string::npos) << line << " in " << r.out;
    // The program leads its own session.
    std::istringstream tail(r.out.substr(r.out.find("controlling")));
    std::string word, sid, pid;
    tail >> word >> sid >> pid;
    EXPECT_EQ(sid, pid);

    // The tab's TERM wins.
    tab.spawn(2, spawn_json({"sh", "-c", "echo \"$TERM\""},
                            _pty(80, 24) + ",\"env\":{\"TERM\":\"dumb\"}"));
    EXPECT_EQ(tab.collect(2).out, "dumb\r\n");
}

TEST(ChannelTerminal, ResizeInterruptAndEndOfInput) {
    Tab tab;
    ASSERT_TRUE(tab.ok());
    tab.spawn(1, spawn_json({"sh", "-c", "stty size; read x; stty size"}, _pty(80, 24)));
    std::string out;
    ASSERT_TRUE(_output_holds(tab, 1, out, "24 80\r\n"));
    // Ignored: an unknown id, payloads that are no size.
    tab.send(Msg_Kind::Resize, 77, "{\"cols\":50,\"rows\":10}");
    for (const char* bad : {"x", "{\"cols\":0,\"rows\":10}", "{\"cols\":50}"})
        tab.send(Msg_Kind::Resize, 1, bad);
    tab.send(Msg_Kind::Resize, 1, "{\"cols\":100,\"rows\":30}");
    tab.send(Msg_Kind::Stdin, 1, "\r");
    Channel_Run r = tab.collect(1);
    EXPECT_EQ(out + r.out, "24 80\r\n\r\n30 100\r\n");
    EXPECT_EQ(r.status, 0);

    // Ctrl+C typed: SIGINT to the program, also when the daemon was left ignoring SIGINT.
    struct sigaction ignore {
    }, old{};
    ignore.sa_handler = SIG_IGN;
    ::sigaction(SIGINT, &ignore, &old);
    tab.spawn(2, spawn_json({"sleep", "100"}, _pty(80, 24)));
    tab.send(Msg_Kind::Stdin, 2, "\x03");
    int32_t interrupted = tab.collect(2).status;
    ::sigaction(SIGINT, &old, nullptr);
    EXPECT_EQ(interrupted, SIGINT);

    // Stdin_Close types the end-of-file character: cat ends, after what was typed before.
    tab.spawn(3, spawn_json({"cat"}, _pty(80, 24)));
    tab.send(Msg_Kind::Stdin, 3, "abc\r");
    tab.send(Msg_Kind::Stdin_Close, 3);
    Channel_Run cat = tab.collect(3);
    EXPECT_EQ(cat.out, "abc\r\nabc\r\n");
    EXPECT_EQ(cat.status, 0);
}

TEST(ChannelIds, InUseRefusedAndReusableAfterExit) {
    Tab tab;
    ASSERT_TRUE(tab.ok());
    tab.spawn(5, spawn_json({"sh", "-c", "read x; echo still $x"}));
    tab.spawn(5, spawn_json({"echo", "second"}));
    std::optional<Tab_Msg> m = tab.next();
    ASSERT_TRUE(m);
    EXPECT_EQ(m->kind, Msg_Kind::Exit);
    EXPECT_EQ(m->id, 5u);
    EXPECT_EQ(m->payload, std::string("\xff\xff\xff\xff") + "channel id in use");
    tab.send(Msg_Kind::Stdin, 5, "here\n");  // the first program is unaffected
    Channel_Run first = tab.collect(5);
    EXPECT_EQ(first.out, "still here\n");
    EXPECT_EQ(first.status, 0);

    // The id is free the moment its Exit arrives, every time.
    for (int i = 0; i < 50; ++i) {
        tab.spawn(5, spawn_json({"echo", std::to_string(i)}));
        Channel_Run again = tab.collect(5);
        ASSERT_EQ(again.exit_text, "") << "round " << i;
        ASSERT_EQ(again.out, std::to_string(i) + "\n");
    }
    // Id bytes are little-endian: 0x01000000 is its own channel.
    tab.spawn(16777216, spawn_json({"echo", "big id"}));
    EXPECT_EQ(tab.collect(16777216).out, "big id\n");
}

// A program that never reads while the tab keeps writing must not hold up the session.
TEST(ChannelStdin, StuckInputNeverBlocksTheSession) {
    Tab tab;
    ASSERT_TRUE(tab.ok());
    // Were the session to wait for the pipe, nothing below would come before the sleep
    // ends, long after the tab's 10-second receive time-out.
    tab.spawn(1, spawn_json({"sleep", "60"}));
    std::string chunk = _pattern(512 << 10);
    for (int i = 0; i < 4; ++i) ASSERT_TRUE(tab.send(Msg_Kind::Stdin, 1, chunk));
    // Later messages of the tab are handled at once ...
    tab.spawn(2, spawn_json({"echo", "meanwhile"}));
    Channel_Run other = tab.collect(2);
    EXPECT_EQ(other.out, "meanwhile\n");
    // ... and so is the Kill of the stuck program.
    tab.send(Msg_Kind::Kill, 1);
    Channel_Run r = tab.collect(1);
    ASSERT_TRUE(r.exited);
    EXPECT_EQ(r.status, 9);
}

TEST(ChannelTeardown, ClosingTheTabKillsItsPrograms) {
    // Sessions of earlier tests end a moment after their tabs close.
    ASSERT_TRUE(wait_session_count(0));
    pid_t stuck = 0, plain = 0;
    {
        Tab tab;
        ASSERT_TRUE(tab.ok());
        tab.spawn(1, spawn_json({"sh", "-c", "echo $$; exec sleep 30"}));
        tab.spawn(2, spawn_json({"sh", "-c", "echo $$; sleep 30 & exec sleep 30"}, _pty(80, 24)));
        std::optional<Tab_Msg> a = tab.next(), b = tab.next();
        ASSERT_TRUE(a);
        ASSERT_TRUE(b);
        (a->id == 1 ? stuck : plain) = std::atoi(a->payload.c_str());
        (b->id == 1 ? stuck : plain) = std::atoi(b->payload.c_str());
        // Channel 1 has a write stuck in its pipe when the tab goes.
        tab.send(Msg_Kind::Stdin, 1, _pattern(1 << 20));
        tab.spawn(3, spawn_json({"true"}));
        ASSERT_TRUE(tab.collect(3).exited);
    }
    EXPECT_TRUE(_gone(stuck));
    EXPECT_TRUE(wait_group_gone(plain, 10000));  // the terminal program's background child too
    EXPECT_TRUE(wait_session_count(0));
}

}  // namespace
