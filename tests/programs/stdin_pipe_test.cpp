// Standard input that never blocks its caller: queueing behind a full pipe, the order of
// writes and the close, giving up on a stuck reader, and a reader that went away.
#include <gtest/gtest.h>
#include <poll.h>
#include <unistd.h>

#include <csignal>
#include <string>
#include <thread>

#include "core/base/clock.h"
#include "daemon/programs/stdin_pipe.h"

namespace {

const bool _sigpipe_ignored = [] { return ::signal(SIGPIPE, SIG_IGN) != SIG_ERR; }();

struct Pipe_Pair {
    Fd r;
    std::shared_ptr<Stdin_Pipe> in;
    Pipe_Pair() {
        int fds[2];
        if (::pipe2(fds, O_CLOEXEC) == 0) {
            r.reset(fds[0]);
            in = Stdin_Pipe::make(Fd(fds[1]));
        }
    }
};

// Everything until end of file, or what arrived before the deadline.
std::string _drain(int fd, int timeout_ms = 10000) {
    std::string out;
    int64_t end = mono_ns() + int64_t(timeout_ms) * 1000000;
    char buf[65536];
    while (mono_ns() < end) {
        struct pollfd p = {fd, POLLIN, 0};
        if (::poll(&p, 1, 50) <= 0) continue;
        ssize_t n = ::read(fd, buf, sizeof buf);
        if (n <= 0) return out;
        out.append(buf, static_cast<size_t>(n));
    }
    return out + "<time-out>";
}

std::string _pattern(size_t n, char seed) {
    std::string s(n, '\0');
    for (size_t i = 0; i < n; ++i) s[i] = static_cast<char>(seed + i % 251);
    return s;
}

TEST(StdinPipe, WritesBeyondThePipeReturnAtOnceAndArriveInOrder) {
    Pipe_Pair p;
    ASSERT_TRUE(p.in);
    std::string a = _pattern(3 << 20, 'a'), b = _pattern(1 << 20, 'b'), c = "tail";
    int64_t t0 = mono_ns();
    p.in->write(a);  // far more than a pipe holds, with nobody reading
    p.in->write("");
    p.in->write(b);
    p.in->write(c);
    p.in->close();
    p.in->write("after the close");
    EXPECT_LT(mono_ns() - t0, 2000000000);  // none of them waited for the reader
    EXPECT_GT(p.in->queued(), 0u);
    EXPECT_FALSE(p.in->accepting());
    EXPECT_EQ(_drain(p.r.get()), a + b + c);  // then end of file
}

TEST(StdinPipe, SmallWritesGoStraightIntoThePipe) {
    Pipe_Pair p;
    p.in->write("hello");
    EXPECT_EQ(p.in->queued(), 0u);
    char buf[16];
    ASSERT_EQ(::read(p.r.get(), buf, sizeof buf), 5);
    p.in->close();
    EXPECT_EQ(_drain(p.r.get()), "");
}

TEST(StdinPipe, AbandonFreesAStuckWriter) {
    Pipe_Pair p;
    p.in->write(_pattern(2 << 20, 'x'));
    std::weak_ptr<Stdin_Pipe> watch = p.in;
    p.in->abandon();
    p.in.reset();
    // The writer lets go of the pipe and closes it although nobody ever read.
    int64_t end = mono_ns() + 5000000000;
    while (!watch.expired() && mono_ns() < end) sleep_ns(5000000);
    EXPECT_TRUE(watch.expired());
    std::string got = _drain(p.r.get());
    EXPECT_EQ(got.find("<time-out>"), std::string::npos);
    EXPECT_LT(got.size(), size_t(2) << 20);
}

TEST(StdinPipe, AGoneReaderEndsTheWritesQuietly) {
    ASSERT_TRUE(_sigpipe_ignored);
    Pipe_Pair p;
    p.in->write(_pattern(1 << 20, 'q'));  // queued behind a full pipe
    p.r.reset();
    int64_t end = mono_ns() + 5000000000;
    while (p.in->accepting() && mono_ns() < end) sleep_ns(5000000);
    EXPECT_FALSE(p.in->accepting());
    EXPECT_EQ(p.in->queued(), 0u);
    p.in->write("ignored now");
}

}  // namespace
