// The platform layer, run on whichever descriptor calls this build has (Linux's own, or the
// plain POSIX ones with QUELMAR_PORTABLE): descriptors close-on-exec, children that inherit
// only their standard streams, send_file, and what each system names its own way.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <thread>

#include "core/base/spawn.h"
#include "core/platform/platform.h"
#include "tests/support/daemon_process.h"
#include "tests/support/net.h"

namespace {

bool cloexec(int fd) {
    int flags = ::fcntl(fd, F_GETFD);
    return flags >= 0 && (flags & FD_CLOEXEC) != 0;
}

// Everything the socket yields until the peer closes it.
std::string drain(int sock) {
    std::string out;
    char buf[65536];
    for (ssize_t n; (n = ::read(sock, buf, sizeof buf)) != 0;) {
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) break;
        out.append(buf, static_cast<size_t>(n));
    }
    return out;
}

// A file of size bytes, each byte a function of its offset, open for reading.
Fd pattern_file(const Temp_Dir& dir, size_t size, std::string& bytes) {
    bytes.resize(size);
    for (size_t i = 0; i < size; ++i) bytes[i] = static_cast<char>((i * 7 + i / 251) & 0xff);
    write_file(dir.file("data"), bytes);
    return Fd(::open(dir.file("data").c_str(), O_RDONLY | O_CLOEXEC));
}

void set_send_timeout(int sock, int ms) {
    struct timeval tv {
        ms / 1000, (ms % 1000) * 1000
    };
    ASSERT_EQ(::setsockopt(sock, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv), 0);
}

}  // namespace

TEST(Platform, EveryDescriptorIsCloseOnExecFromTheStart) {
    Fd r, w, a, b;
    ASSERT_TRUE(make_cloexec_pipe(r, w));
    ASSERT_TRUE(make_cloexec_socketpair(a, b));
    Fd sock = make_cloexec_socket(AF_INET, SOCK_STREAM);
    for (int fd : {r.get(), w.get(), a.get(), b.get(), sock.get()}) EXPECT_TRUE(cloexec(fd)) << fd;

    // A non-blocking listener still hands over a blocking connection.
    int port = 0;
    Fd listener = listen_on("127.0.0.1", port);
    ASSERT_TRUE(listener);
    ASSERT_EQ(::fcntl(listener.get(), F_SETFL, O_NONBLOCK), 0);
    Fd client(connect_tcp(port));
    ASSERT_TRUE(client);
    struct pollfd p = {listener.get(), POLLIN, 0};
    ASSERT_EQ(::poll(&p, 1, 10000), 1);
    Fd conn = accept_cloexec(listener.get());
    ASSERT_TRUE(conn);
    EXPECT_TRUE(cloexec(conn.get()));
    EXPECT_EQ(::fcntl(conn.get(), F_GETFL) & O_NONBLOCK, 0);
}

TEST(Platform, InheritedDescriptorsBecomeCloseOnExec) {
    int fds[2];
    ASSERT_EQ(::pipe(fds), 0);  // as a careless parent leaves them
    Fd r(fds[0]), w(fds[1]);
    ASSERT_FALSE(cloexec(r.get()));
    close_inherited_on_exec();
    EXPECT_TRUE(cloexec(r.get()));
    EXPECT_TRUE(cloexec(w.get()));
    EXPECT_FALSE(cloexec(STDERR_FILENO));
}

// A descriptor another thread made and has not yet marked must not reach a program started
// in that moment: the child keeps its three standard streams only.
TEST(Platform, ProgramsInheritOnlyTheirStandardStreams) {
    int fds[2];
    ASSERT_EQ(::pipe(fds), 0);
    Fd leak_r(fds[0]), leak_w(fds[1]);
    Fd out_r, out_w;
    ASSERT_TRUE(make_cloexec_pipe(out_r, out_w));
    std::string probe;
    for (int fd : {0, 1, 2, leak_r.get(), leak_w.get()})
        probe += "[ -e /dev/fd/" + std::to_string(fd) + " ] && echo " + std::to_string(fd) + ";";
    Spawn_Options o;
    o.argv = {"/bin/sh", "-c", probe};
    o.out = out_w.get();
    Spawned s = spawn_program("/bin/sh", o);
    ASSERT_EQ(s.error, 0);
    out_w.reset();
    EXPECT_EQ(drain(out_r.get()), "0\n1\n2\n");
    int status = 0;
    ASSERT_EQ(::waitpid(s.pid, &status, 0), s.pid);
}

TEST(Platform, SendFileSendsTheRangeAndLeavesTheOffset) {
    Temp_Dir dir;
    std::string bytes;
    Fd file = pattern_file(dir, 3 * 256 * 1024 + 4321, bytes);  // several buffers' worth
    ASSERT_TRUE(file);
    for (bool nonblocking : {false, true}) {
        Fd a, b;
        ASSERT_TRUE(make_cloexec_socketpair(a, b));
        // A non-blocking socket fills at once and the send waits for room, again and again.
        if (nonblocking) {
            ASSERT_EQ(::fcntl(a.get(), F_SETFL, O_NONBLOCK), 0);
        }
        std::string got;
        std::thread reader([&] { got = drain(b.get()); });
        Send_File_Result r = send_file(a.get(), file.get(), 1000, bytes.size() - 2000);
        a.reset();
        reader.join();
        EXPECT_EQ(r.error, 0) << nonblocking;
        EXPECT_EQ(r.sent, bytes.size() - 2000) << nonblocking;
        EXPECT_TRUE(got == bytes.substr(1000, bytes.size() - 2000)) << nonblocking;
        EXPECT_EQ(::lseek(file.get(), 0, SEEK_CUR), 0) << nonblocking;
    }
}

TEST(Platform, SendFileReportsWhatStoppedIt) {
    Temp_Dir dir;
    std::string bytes;
    Fd file = pattern_file(dir, 100000, bytes);
    ASSERT_TRUE(file);
    {
        // The file ends before the count: what it has goes out, then ENODATA.
        Fd a, b;
        ASSERT_TRUE(make_cloexec_socketpair(a, b));
        std::string got;
        std::thread reader([&] { got = drain(b.get()); });
        Send_File_Result r = send_file(a.get(), file.get(), 90000, 50000);
        a.reset();
        reader.join();
        EXPECT_EQ(r.error, ENODATA);
        EXPECT_EQ(r.sent, 10000u);
        EXPECT_TRUE(got == bytes.substr(90000));
    }
    {
        // A peer gone: an error, not a signal.
        Fd a, b;
        ASSERT_TRUE(make_cloexec_socketpair(a, b));
        b.reset();
        Send_File_Result r = send_file(a.get(), file.get(), 0, bytes.size());
        EXPECT_EQ(r.sent, 0u);
        EXPECT_TRUE(r.error == EPIPE || r.error == ECONNRESET) << r.error;
    }
}

// A peer that reads nothing holds the send no longer than the socket's send time-out, on a
// blocking socket (the send itself times out) and on a non-blocking one (the wait does).
TEST(Platform, SendFileToAStalledPeerEndsAfterTheSendTimeOut) {
    Temp_Dir dir;
    std::string bytes;
    Fd file = pattern_file(dir, 16 * 1024 * 1024, bytes);  // far beyond any socket buffer
    ASSERT_TRUE(file);
    for (bool nonblocking : {false, true}) {
        Fd a, b;
        ASSERT_TRUE(make_cloexec_socketpair(a, b));
        set_send_timeout(a.get(), 100);
        if (nonblocking) {
            ASSERT_EQ(::fcntl(a.get(), F_SETFL, O_NONBLOCK), 0);
        }
        Send_File_Result r = send_file(a.get(), file.get(), 0, bytes.size());
        EXPECT_EQ(r.error, EAGAIN) << nonblocking;
        EXPECT_GT(r.sent, 0u) << nonblocking;
        EXPECT_LT(r.sent, bytes.size()) << nonblocking;
    }
}

TEST(Platform, WhatEachSystemNamesItsOwnWay) {
    EXPECT_EQ(platform_name(), "linux");

    std::string self = own_executable_path();
    EXPECT_TRUE(self.ends_with("/platform_tests")) << self;

    int64_t here = thread_id(), there = 0;
    std::thread([&] { there = thread_id(); }).join();
    EXPECT_GT(here, 0);
    EXPECT_GT(there, 0);
    EXPECT_NE(here, there);

    Temp_Dir dir;
    write_file(dir.file("f"), "x");
    struct timespec times[2] = {{1700000000, 123456789}, {1700000000, 123456789}};
    ASSERT_EQ(::utimensat(AT_FDCWD, dir.file("f").c_str(), times, 0), 0);
    struct stat st {};
    ASSERT_EQ(::stat(dir.file("f").c_str(), &st), 0);
    EXPECT_EQ(mtime_ns(st), 1700000000123456789);

    unsigned char x[32] = {}, y[32] = {};
    random_bytes(x, sizeof x);
    random_bytes(y, sizeof y);
    EXPECT_NE(std::string(x, x + sizeof x), std::string(y, y + sizeof y));
}
