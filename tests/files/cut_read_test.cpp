// A "read" sent straight from its file, over POST /fs and as an Fs_Reply, when the file
// shrinks while a slow client holds the transfer: the bytes that arrive are a prefix of the
// file, never more than the reply announced, and the connection or session ends with a log
// line.
#include <gtest/gtest.h>
#include <sys/socket.h>

#include <thread>

#include "core/base/bytes.h"
#include "daemon/files/post.h"
#include "tests/files/fs_test_util.h"
#include "tests/support/front.h"
#include "tests/support/net.h"
#include "tests/support/tab.h"

namespace {

// Far more than the socket buffers of both ends hold, so the sender is still at work when
// the client has read the start of the answer.
constexpr size_t BIG = 32u << 20;
constexpr off_t SHRUNK = 16 << 20;
constexpr int CLIENT_RCVBUF = 128 << 10;

std::string patterned(size_t n) {
    std::string s(n, '\0');
    for (size_t i = 0; i < n; ++i) s[i] = static_cast<char>(i % 251);
    return s;
}

std::string read_envelope(const std::string& path) {
    Fs_Request req;
    req.op = "read";
    req.path = path;
    return fs_envelope(marshal(req), "");
}

void small_receive_buffer(int fd) {
    setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &CLIENT_RCVBUF, sizeof CLIENT_RCVBUF);
}

// The peer has closed: end of stream now, not a receive that would still wait.
bool closed_by_peer(int fd) {
    char c;
    return recv(fd, &c, 1, MSG_DONTWAIT) == 0;
}

// What arrived after the envelope's JSON: fewer bytes than the file had, all of them its own.
void expect_cut_prefix(const std::string& envelope, const std::string& content) {
    std::string_view json, data;
    ASSERT_TRUE(split_fs_envelope(envelope, json, data));
    Fs_Reply reply;
    ASSERT_TRUE(unmarshal(json, reply));
    EXPECT_EQ(reply.size, static_cast<int64_t>(content.size()));
    EXPECT_LT(data.size(), content.size());
    EXPECT_TRUE(data == std::string_view(content).substr(0, data.size()));
}

class Cut_Read : public ::testing::Test {
  protected:
    void SetUp() override {
        content_ = patterned(BIG);
        write_file(dir_.file("big"), content_);
    }
    void shrink() { ASSERT_EQ(truncate(dir_.file("big").c_str(), SHRUNK), 0); }

    Temp_Dir dir_;
    std::string content_;
};

}  // namespace

TEST_F(Cut_Read, PostEndsTheConnectionShortOfItsLength) {
    Stderr_Capture log;
    int port = 0;
    Fd listener = listen_on("127.0.0.1", port, 1);
    ASSERT_TRUE(listener);
    Fd client(connect_tcp(port));
    small_receive_buffer(client.get());
    Fd server(accept4(listener.get(), nullptr, nullptr, SOCK_CLOEXEC));
    ASSERT_TRUE(client && server);

    std::string envelope = read_envelope(dir_.file("big"));
    Request req;
    req.method = "POST";
    req.target = req.path = "/fs";
    req.headers["content-length"] = std::to_string(envelope.size());
    std::thread handler([&] {
        Conn_Buffer buf = envelope;
        handle_fs_post(server.get(), req, buf, {}, Listener::Loopback);
        server.reset();
    });
    std::string buf;
    std::string head = read_head(client.get(), buf);  // sent once the file was examined
    shrink();
    std::string body = buf + read_until_close(client.get());
    EXPECT_TRUE(closed_by_peer(client.get()));
    handler.join();

    EXPECT_NE(head.find("200 OK"), std::string::npos) << head;
    expect_cut_prefix(body, content_);
    EXPECT_TRUE(log.wait_for("the file shrank while it was sent; closing the connection"))
        << log.text();
}

TEST_F(Cut_Read, FsMessageEndsTheSession) {
    Stderr_Capture log;
    Tab tab;
    ASSERT_TRUE(tab.ok());
    small_receive_buffer(tab.fd());
    ASSERT_TRUE(tab.send(Msg_Kind::Fs, 7, read_envelope(dir_.file("big"))));
    // A 64-bit length follows 127: the frame header is 10 bytes, then kind and id.
    std::string head = read_exact(tab.fd(), tab.buffer(), 10 + MSG_HEADER_SIZE);
    ASSERT_EQ(head.size(), 10 + MSG_HEADER_SIZE);
    shrink();
    std::string rest = tab.buffer() + read_until_close(tab.fd());
    EXPECT_TRUE(closed_by_peer(tab.fd()));

    EXPECT_EQ(static_cast<unsigned char>(head[10]), static_cast<unsigned char>(Msg_Kind::Fs_Reply));
    EXPECT_EQ(get_u32le(std::string_view(head).substr(11)), 7u);
    expect_cut_prefix(rest, content_);
    EXPECT_TRUE(log.wait_for("the file shrank while it was sent; closing the session"))
        << log.text();
    EXPECT_TRUE(wait_session_count(0));
}
