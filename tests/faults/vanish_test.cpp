// A tab that vanishes in the middle of a frame, of a file reply and of a program's output:
// the daemon lets go of everything the session held (descriptors, threads, the program)
// and goes on serving other tabs.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/socket.h>

#include <cerrno>
#include <string>

#include "core/base/clock.h"
#include "fault_support.h"
#include "tests/support/tab.h"

namespace {

struct Vanish : Daemon_Counts_Test {
    void expect_let_go() {
        Daemon_Counts_Test::expect_let_go();
        EXPECT_TRUE(serves_a_tab(d.port(), d.token()));
    }
};

bool _gone(pid_t pid) {
    return ::kill(pid, 0) != 0 && errno == ESRCH;
}

}  // namespace

TEST_F(Vanish, InTheMiddleOfAFrame) {
    for (size_t cut : {1u, 2u, 5u, 9u, 1000u}) {
        Tab tab(d.port(), d.token());
        ASSERT_TRUE(tab.ok());
        // A Binary frame announcing 1 MiB (64-bit length form), cut after `cut` bytes.
        std::string frame = "\x82\xff";
        for (int i = 7; i >= 0; --i)
            frame.push_back(static_cast<char>((uint64_t{1} << 20) >> (8 * i)));
        frame += "\x01\x02\x03\x04";
        frame += std::string(2000, 'x');
        ASSERT_TRUE(tab.send_raw(frame.substr(0, cut)));
        tab.close();
    }
    expect_let_go();
}

TEST_F(Vanish, InTheMiddleOfAFileReply) {
    const std::string path = d.root() + "/large.bin";
    write_file(path, std::string(32 << 20, 'r'));
    for (int round = 0; round < 3; ++round) {
        Tab tab(d.port(), d.token());
        ASSERT_TRUE(tab.ok());
        ASSERT_TRUE(tab.send(Msg_Kind::Fs, 1, fs_request("read", path)));
        char some[65536];
        ASSERT_GT(::recv(tab.fd(), some, sizeof some, 0), 0);
        tab.close();
    }
    expect_let_go();
}

TEST_F(Vanish, InTheMiddleOfAProgramsOutput) {
    const std::string pid_file = d.root() + "/pid";
    Tab tab(d.port(), d.token());
    ASSERT_TRUE(tab.ok());
    ASSERT_TRUE(
        tab.send(Msg_Kind::Spawn, 3, sh_spawn("echo $$ > '" + pid_file + "'; exec yes flood")));
    std::optional<Tab_Msg> m;
    for (int i = 0; i < 20; ++i) ASSERT_TRUE((m = tab.next_of(Msg_Kind::Stdout, 3)));
    pid_t program = static_cast<pid_t>(std::atol(read_file(pid_file).c_str()));
    ASSERT_GT(program, 0);
    tab.close();
    expect_let_go();
    EXPECT_TRUE(_gone(program)) << "the program outlived its tab";
}
