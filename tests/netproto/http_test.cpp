// The request head: finding it under the size limit, reading it from a socket whatever
// the split, parsing it, and the small helpers around it.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <string>
#include <thread>

#include "core/base/clock.h"
#include "core/base/fd.h"
#include "core/base/write_all.h"
#include "core/netproto/http.h"

namespace {

// A socket pair that keeps the boundaries of every send, so a test decides exactly what
// each receive of the reader gets.
struct Packet_Pair {
    Fd reader, writer;
    Packet_Pair() {
        int sv[2];
        if (socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, sv) == 0) {
            reader.reset(sv[0]);
            writer.reset(sv[1]);
        }
    }
    void send_part(std::string_view part) const {
        if (part.empty()) return;
        ASSERT_EQ(send(writer.get(), part.data(), part.size(), 0), ssize_t(part.size()));
    }
};

// Bounds every read of a test that could otherwise wait for ever on a wrong answer.
int64_t soon() {
    return mono_ns() + 5 * NS_PER_SEC;
}

Request parsed(std::string_view head) {
    Request r;
    EXPECT_TRUE(parse_request(head, r)) << head;
    return r;
}

bool parses(std::string_view head) {
    Request r;
    return parse_request(head, r);
}

}  // namespace

TEST(HeadScan, CompleteNeedMoreTooLarge) {
    EXPECT_EQ(scan_head("GET / HTTP/1.1\r\n\r\nbody").state, Head_State::Complete);
    EXPECT_EQ(scan_head("GET / HTTP/1.1\r\n\r\nbody").end, 14u);
    EXPECT_EQ(scan_head("GET / HTTP/1.1\r\n").state, Head_State::Need_More);
    EXPECT_EQ(scan_head(std::string(HEAD_LIMIT, 'a')).state, Head_State::Need_More);
    EXPECT_EQ(scan_head(std::string(HEAD_LIMIT + 1, 'a')).state, Head_State::Too_Large);
    // A terminator is found wherever it lies in what was received, even past the limit.
    EXPECT_EQ(scan_head(std::string(HEAD_LIMIT + 100, 'a') + "\r\n\r\n").state,
              Head_State::Complete);
    // A bare LF blank line is not a terminator.
    EXPECT_EQ(scan_head("GET / HTTP/1.1\n\n").state, Head_State::Need_More);
}

TEST(ReadHead, SameResultWhateverTheSplit) {
    const std::string head = "GET /a?t=1 HTTP/1.1\r\nHost: 127.0.0.1:8737\r\nOrigin: x\r\n";
    const std::string body = "\x81\x05hello";
    const std::string wire = head + "\r\n" + body;
    for (size_t k = 0; k <= wire.size(); ++k) {
        Packet_Pair p;
        p.send_part(wire.substr(0, k));
        p.send_part(wire.substr(k));
        Conn_Buffer buf;
        std::string got;
        ASSERT_TRUE(read_request_head(p.reader.get(), buf, soon(), got)) << "split at " << k;
        EXPECT_EQ(got, head.substr(0, head.size() - 2)) << "split at " << k;
        // Nothing after the blank line is lost: what came with the head is in the buffer,
        // the rest still waits in the socket.
        p.writer.reset();
        char more[256];
        ssize_t n = recv(p.reader.get(), more, sizeof more, 0);
        if (n > 0) buf.append(more, static_cast<size_t>(n));
        EXPECT_EQ(buf, body) << "split at " << k;
    }
}

TEST(ReadHead, BytesAlreadyBufferedAreUsedFirst) {
    Packet_Pair p;
    Conn_Buffer buf = "GET / HTTP/1.1\r\n\r\nrest";
    std::string got;
    ASSERT_TRUE(read_request_head(p.reader.get(), buf, soon(), got));
    EXPECT_EQ(got, "GET / HTTP/1.1");
    EXPECT_EQ(buf, "rest");
}

TEST(ReadHead, SizeLimit) {
    const std::string block(HEAD_READ_SIZE, 'x');
    {  // 16384 bytes, then the terminator in the next read: accepted.
        Packet_Pair p;
        for (int i = 0; i < 4; ++i) p.send_part(block);
        p.send_part("\r\n\r\n");
        Conn_Buffer buf;
        std::string got;
        EXPECT_TRUE(read_request_head(p.reader.get(), buf, soon(), got));
        EXPECT_EQ(got.size(), HEAD_LIMIT);
    }
    {  // A terminator split across the limit is still found.
        Packet_Pair p;
        for (int i = 0; i < 3; ++i) p.send_part(block);
        p.send_part(std::string(HEAD_READ_SIZE - 2, 'x') + "\r\n");
        p.send_part("\r\nleft");
        Conn_Buffer buf;
        std::string got;
        EXPECT_TRUE(read_request_head(p.reader.get(), buf, soon(), got));
        EXPECT_EQ(got.size(), HEAD_LIMIT - 2);
        EXPECT_EQ(buf, "left");
    }
    {  // The head may end anywhere in the one read that follows the limit.
        Packet_Pair p;
        for (int i = 0; i < 4; ++i) p.send_part(block);
        p.send_part(std::string(HEAD_READ_SIZE - 4, 'x') + "\r\n\r\n");
        Conn_Buffer buf;
        std::string got;
        EXPECT_TRUE(read_request_head(p.reader.get(), buf, soon(), got));
        EXPECT_EQ(got.size(), HEAD_LIMIT + HEAD_READ_SIZE - 4);
    }
    {  // 16385 bytes and no blank line: dropped at once, without waiting for more.
        Packet_Pair p;
        for (int i = 0; i < 4; ++i) p.send_part(block);
        p.send_part("x");
        Conn_Buffer buf;
        std::string got = "stale";
        int64_t t0 = mono_ns();
        EXPECT_FALSE(read_request_head(p.reader.get(), buf, soon(), got));
        EXPECT_LT(mono_ns() - t0, 2 * NS_PER_SEC);
        EXPECT_EQ(got, "");
    }
}

TEST(ReadHead, FailsOnEndOfStreamAndDeadline) {
    {
        Packet_Pair p;
        p.send_part("GET / HTTP/1.1\r\n");
        p.writer.reset();
        Conn_Buffer buf;
        std::string got;
        EXPECT_FALSE(read_request_head(p.reader.get(), buf, 0, got));
    }
    {  // Half a head and then silence: given up when the deadline passes.
        Packet_Pair p;
        p.send_part("GET / HTTP/1.1\r\nHo");
        Conn_Buffer buf;
        std::string got;
        int64_t t0 = mono_ns();
        EXPECT_FALSE(read_request_head(p.reader.get(), buf, t0 + 200 * NS_PER_MS, got));
        int64_t took = mono_ns() - t0;
        EXPECT_GE(took, 150 * NS_PER_MS);
        EXPECT_LT(took, 3 * NS_PER_SEC);
    }
    {  // A deadline already past fails before any receive.
        Packet_Pair p;
        Conn_Buffer buf;
        std::string got;
        EXPECT_FALSE(read_request_head(p.reader.get(), buf, mono_ns() - 1, got));
    }
}

TEST(ReadHead, DeadlineDoesNotOutliveTheHead) {
    // A session that follows the head must not inherit the head's receive time-out.
    Packet_Pair p;
    p.send_part("GET / HTTP/1.1\r\n");
    // The end comes late, so the reader has to wait for it under the time-out.
    std::thread late([&] {
        usleep(100 * 1000);
        p.send_part("\r\n");
    });
    Conn_Buffer buf;
    std::string got;
    bool ok = read_request_head(p.reader.get(), buf, mono_ns() + 60 * NS_PER_SEC, got);
    late.join();
    ASSERT_TRUE(ok);
    struct timeval tv {
        1, 1
    };
    socklen_t len = sizeof tv;
    ASSERT_EQ(getsockopt(p.reader.get(), SOL_SOCKET, SO_RCVTIMEO, &tv, &len), 0);
    EXPECT_EQ(tv.tv_sec, 0);
    EXPECT_EQ(tv.tv_usec, 0);
}

TEST(ParseRequest, RequestLine) {
    Request r = parsed("GET /p/x?t=abc&x=1 HTTP/1.1");
    EXPECT_EQ(r.method, "GET");
    EXPECT_EQ(r.target, "/p/x?t=abc&x=1");
    EXPECT_EQ(r.path, "/p/x");
    EXPECT_EQ(r.query, "t=abc&x=1");
    EXPECT_TRUE(r.headers.empty());

    r = parsed("get  *\tHTTP/1.0");  // method kept as sent; two spaces and a tab separate
    EXPECT_EQ(r.method, "get");
    EXPECT_EQ(r.path, "*");
    EXPECT_EQ(r.query, "");
    r = parsed("  OPTIONS /fs? HTTP/1.9  \r\n");
    EXPECT_EQ(r.method, "OPTIONS");
    EXPECT_EQ(r.path, "/fs");
    EXPECT_EQ(r.query, "");
    EXPECT_EQ(parsed("GET /a?b?c HTTP/1.1").query, "b?c");
    EXPECT_EQ(parsed("GET / HTTP/1.1x").method, "GET");  // any HTTP/1 minor version passes

    EXPECT_FALSE(parses("GET / HTTP/2"));
    EXPECT_FALSE(parses("GET / HTTP/2.0"));
    EXPECT_FALSE(parses("GET / http/1.1"));
    EXPECT_FALSE(parses("GET / HTTP/1"));
    EXPECT_FALSE(parses("GET /"));
    EXPECT_FALSE(parses("GET / x HTTP/1.1"));
    EXPECT_FALSE(parses(""));
    EXPECT_FALSE(parses("GET /\nHost: x HTTP/1.1"));  // a bare LF is white space, not a line end
}

TEST(ParseRequest, HeaderLines) {
    Request r = parsed(
        "GET / HTTP/1.1\r\nHOST: a\r\nhost:  b \r\n  X-Pad\t: \tv1 v2\t\r\nEmpty:\r\n\r\n"
        "Origin: first\r\nOrigin: second\r\nX-Lf: a\nb\r\nX-Colon: a:b");
    EXPECT_EQ(r.headers.size(), 6u);
    EXPECT_EQ(*r.header("host"), "b");  // names are case-blind, the later one wins
    EXPECT_EQ(*r.header("x-pad"), "v1 v2");
    EXPECT_EQ(*r.header("empty"), "");
    EXPECT_EQ(*r.header("origin"), "second");
    EXPECT_EQ(*r.header("x-lf"), "a\nb");  // a bare LF stays inside the value
    EXPECT_EQ(*r.header("x-colon"), "a:b");
    EXPECT_EQ(r.header("Host"), nullptr);  // lookups use the lower-case name

    EXPECT_FALSE(parses("GET / HTTP/1.1\r\n: v"));
    EXPECT_FALSE(parses("GET / HTTP/1.1\r\nno colon"));
    EXPECT_FALSE(parses("GET / HTTP/1.1\r\nA: 1\r\n folded continuation"));
    EXPECT_TRUE(parses("GET / HTTP/1.1\r\nA: 1\r\n folded: continuation"));
}

TEST(QueryParam, FirstMatchRawValue) {
    EXPECT_EQ(query_param("t=abc&t=def", "t"), "abc");
    EXPECT_EQ(query_param("tt=1&t", "t"), "");
    EXPECT_EQ(query_param("a=1&t=%41b+c", "t"), "%41b+c");
    EXPECT_EQ(query_param("a=1&t=x=y", "t"), "x=y");
    EXPECT_EQ(query_param("", "t"), "");
    EXPECT_EQ(query_param("a=1&&T=2", "t"), "");
    EXPECT_EQ(query_param("a=1&b=2&t=3", "t"), "3");
}

TEST(HostIsLocal, ExactForms) {
    EXPECT_TRUE(host_is_local("localhost:8737", 8737));
    EXPECT_TRUE(host_is_local("127.0.0.1:8737", 8737));
    EXPECT_FALSE(host_is_local("localhost", 8737));
    EXPECT_FALSE(host_is_local("LOCALHOST:8737", 8737));
    EXPECT_FALSE(host_is_local("127.0.0.1:8738", 8737));
    EXPECT_FALSE(host_is_local("127.0.0.1:08737", 8737));
    EXPECT_FALSE(host_is_local("[::1]:8737", 8737));
    EXPECT_FALSE(host_is_local("", 8737));
}

TEST(BodyDrain, AmountStillToCome) {
    auto with = [](std::string_view headers) {
        return parsed("POST /x HTTP/1.1\r\n" + std::string(headers));
    };
    constexpr int64_t limit = 268'439'552;
    EXPECT_EQ(body_bytes_to_drain(with(""), 0), 0);
    EXPECT_EQ(body_bytes_to_drain(with("Content-Length: 10"), 10), 0);
    EXPECT_EQ(body_bytes_to_drain(with("Content-Length: 10"), 25), 0);
    EXPECT_EQ(body_bytes_to_drain(with("Content-Length: 1000000"), 100), 999'900);
    EXPECT_EQ(body_bytes_to_drain(with("Content-Length: 268439552"), 0), limit);
    EXPECT_EQ(body_bytes_to_drain(with("Content-Length: 268439553"), 0), limit);
    EXPECT_EQ(body_bytes_to_drain(with("Content-Length: 99999999999999999999999"), 0), limit);
    EXPECT_EQ(body_bytes_to_drain(with("Content-Length: 000000000000012"), 2), 10);
    EXPECT_EQ(body_bytes_to_drain(with("Content-Length:"), 0), limit);
    EXPECT_EQ(body_bytes_to_drain(with("Content-Length: -1"), 0), limit);
    EXPECT_EQ(body_bytes_to_drain(with("Content-Length: 1e3"), 0), limit);
    EXPECT_EQ(body_bytes_to_drain(with("Transfer-Encoding: chunked"), 0), limit);
    EXPECT_EQ(body_bytes_to_drain(with("Transfer-Encoding: chunked\r\nContent-Length: 4"), 0), 4);
}

TEST(BodyDrain, LingerHalfClosesOnlyWhenBodyIsComing) {
    int sv[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv), 0);
    Fd server(sv[0]), client(sv[1]);
    {  // Everything announced has arrived: the socket is left as it is.
        Request r = parsed("POST /x HTTP/1.1\r\nContent-Length: 10");
        linger_unread_body(server.get(), r, 10);
        char c;
        EXPECT_EQ(recv(client.get(), &c, 1, MSG_DONTWAIT), -1);
        EXPECT_EQ(errno, EAGAIN);
    }
    {  // 1 MB announced: half-closed, and what the client sends is drained.
        Request r = parsed("POST /x HTTP/1.1\r\nContent-Length: 1000000");
        std::thread sender([&] {
            std::string body(1'000'000, 'b');
            size_t off = 0;
            while (off < body.size()) {
                ssize_t n = send(client.get(), body.data() + off, body.size() - off, MSG_NOSIGNAL);
                if (n <= 0) break;
                off += static_cast<size_t>(n);
            }
        });
        int64_t t0 = mono_ns();
        linger_unread_body(server.get(), r, 0);
        EXPECT_LT(mono_ns() - t0, 3 * NS_PER_SEC);
        sender.join();
        char c;
        EXPECT_EQ(recv(client.get(), &c, 1, MSG_DONTWAIT), 0);   // the answer has ended
        EXPECT_EQ(recv(server.get(), &c, 1, MSG_DONTWAIT), -1);  // nothing left unread
    }
}

TEST(SendAll, VanishedPeerIsFalseNotASignal) {
    int sv[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv), 0);
    Fd c(sv[0]);
    close(sv[1]);
    EXPECT_FALSE(send_all(c.get(), "x"));
}
