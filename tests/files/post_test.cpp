// POST /fs over a real loopback TCP connection: length checks, body collection, answers.
#include <gtest/gtest.h>
#include <sys/socket.h>

#include <thread>

#include "core/base/bytes.h"
#include "daemon/files/post.h"
#include "tests/files/fs_test_util.h"
#include "tests/support/net.h"

namespace {

struct Answer {
    std::string raw;
    std::string status;  // the status line without "HTTP/1.1 "
    std::string head;
    std::string body;
};

Answer split_answer(std::string raw) {
    Answer a;
    a.raw = std::move(raw);
    size_t end = a.raw.find("\r\n\r\n");
    if (end == std::string::npos) return a;
    a.head = a.raw.substr(0, end + 2);
    a.body = a.raw.substr(end + 4);
    size_t line_end = a.head.find("\r\n");
    if (a.head.rfind("HTTP/1.1 ", 0) == 0) a.status = a.head.substr(9, line_end - 9);
    return a;
}

struct Post {
    std::optional<std::string> content_length;
    std::string with_head;     // body bytes that arrived with the head (the connection buffer)
    std::string sent_later;    // bytes the client sends after the exchange started
    bool close_early = false;  // the client stops sending after sent_later
    std::string extra_headers = "X-Extra: 1\r\n";
    Listener listener = Listener::Loopback;
};

// Runs handle_fs_post on the accepted end of a 127.0.0.1 connection; returns everything
// the client receives until the server side closes.
Answer exchange(const Post& p) {
    int port = 0;
    Fd listener = listen_on("127.0.0.1", port, 1);
    if (!listener) return {};
    int client = connect_tcp(port);
    int server = accept4(listener.get(), nullptr, nullptr, SOCK_CLOEXEC);
    listener.reset();
    if (client < 0 || server < 0) return {};

    Request req;
    req.method = "POST";
    req.target = req.path = "/fs";
    if (p.content_length) req.headers["content-length"] = *p.content_length;
    std::thread handler([&] {
        Conn_Buffer buf = p.with_head;
        handle_fs_post(server, req, buf, p.extra_headers, p.listener);
        close(server);
    });
    send_bytes(client, p.sent_later);
    if (p.close_early) shutdown(client, SHUT_WR);
    std::string raw = read_until_close(client);
    close(client);  // ends the handler's drain of a refused body at once
    handler.join();
    return split_answer(std::move(raw));
}

std::string stat_envelope(const std::string& path) {
    Fs_Request req;
    req.op = "stat";
    req.path = path;
    return fs_envelope(marshal(req), "");
}

Fs_Reply reply_of(const Answer& a, std::string* data = nullptr) {
    std::string_view json, rest;
    Fs_Reply r;
    EXPECT_TRUE(split_fs_envelope(a.body, json, rest)) << a.raw;
    EXPECT_TRUE(unmarshal(json, r)) << a.raw;
    if (data) *data = std::string(rest);
    return r;
}

bool has_header(const Answer& a, const std::string& line) {
    return a.head.find("\r\n" + line + "\r\n") != std::string::npos;
}

}  // namespace

TEST(FsPost, UnusableContentLengthIsLengthRequired) {
    for (std::optional<std::string> cl :
         {std::optional<std::string>(), std::optional<std::string>(""),
          std::optional<std::string>("12a"), std::optional<std::string>("-1"),
          std::optional<std::string>("+5"), std::optional<std::string>("1 2"),
          std::optional<std::string>("0x10")}) {
        Post p;
        p.content_length = cl;
        Answer a = exchange(p);
        EXPECT_EQ(a.status, "411 Length Required") << cl.value_or("(none)");
        EXPECT_TRUE(has_header(a, "Content-Type: text/plain")) << a.head;
        EXPECT_EQ(a.body, "length required");
    }
}

TEST(FsPost, TooLargeIsRefusedBeforeAnyBodyByte) {
    for (const char* cl : {"268439553", "99999999999999999999999999999"}) {
        Post p;
        p.content_length = cl;
        Answer a = exchange(p);
        EXPECT_EQ(a.status, "413 Content Too Large") << cl;
        EXPECT_TRUE(has_header(a, "Content-Type: text/plain"));
        EXPECT_EQ(a.body, "too large");
    }
    // The largest allowed length is accepted and waits for its body: a peer that then
    // goes away gets nothing.
    Post p;
    p.content_length = std::to_string(FS_POST_BODY_MAX);
    p.close_early = true;
    EXPECT_EQ(exchange(p).raw, "");
}

TEST(FsPost, EmptyBodyIsABadRequestReplyWithStatus200) {
    Post p;
    p.content_length = "0";
    Answer a = exchange(p);
    EXPECT_EQ(a.status, "200 OK");
    EXPECT_TRUE(has_header(a, "Content-Type: application/octet-stream"));
    Fs_Reply r = reply_of(a);
    EXPECT_FALSE(r.ok);
    EXPECT_EQ(r.err, "bad request");
}

TEST(FsPost, BodySplitBetweenHeadAndLaterReceivesIsExecuted) {
    Temp_Dir t;
    put_file(t.file("f"), "12345");
    std::string env = stat_envelope(t.file("f"));
    Post p;
    p.content_length = std::to_string(env.size());
    p.with_head = env.substr(0, 3);
    p.sent_later = env.substr(3) + "trailing bytes beyond the length";
    Answer a = exchange(p);
    EXPECT_EQ(a.status, "200 OK");
    EXPECT_TRUE(has_header(a, "X-Extra: 1"));
    EXPECT_TRUE(has_header(a, "Content-Length: " + std::to_string(a.body.size())));
    Fs_Reply r = reply_of(a);
    EXPECT_TRUE(r.ok);
    EXPECT_EQ(r.kind, "file");
    EXPECT_EQ(r.size, 5);
}

TEST(FsPost, LargeWriteAndReadRoundTrip) {
    Temp_Dir t;
    std::string content(3 * 1024 * 1024 + 17, '\0');
    for (size_t i = 0; i < content.size(); ++i) content[i] = static_cast<char>(i * 7);
    Fs_Request req;
    req.op = "write";
    req.path = t.file("big");
    std::string env = fs_envelope(marshal(req), content);
    Post w;
    w.content_length = std::to_string(env.size());
    w.sent_later = env;
    EXPECT_TRUE(reply_of(exchange(w)).ok);
    EXPECT_EQ(read_file(t.file("big")), content);

    req.op = "read";
    Post r;
    r.with_head = fs_envelope(marshal(req), "");
    r.content_length = std::to_string(r.with_head.size());
    std::string data;
    Fs_Reply reply = reply_of(exchange(r), &data);
    EXPECT_TRUE(reply.ok);
    EXPECT_EQ(data, content);
}

TEST(FsPost, PeerClosingBeforeTheWholeBodyGetsNoAnswer) {
    Temp_Dir t;
    std::string env = stat_envelope(t.path());
    Post p;
    p.content_length = std::to_string(env.size());
    p.sent_later = env.substr(0, env.size() - 1);
    p.close_early = true;
    EXPECT_EQ(exchange(p).raw, "");
}

TEST(FsPost, TunnelAnswersUseTheTunnelHeadersWithoutExtras) {
    Temp_Dir t;
    Post p;
    p.with_head = stat_envelope(t.path());
    p.content_length = std::to_string(p.with_head.size());
    p.listener = Listener::Tunnel;
    Answer a = exchange(p);
    EXPECT_EQ(a.status, "200 OK");
    EXPECT_TRUE(has_header(a, "X-Robots-Tag: noindex"));
    EXPECT_FALSE(has_header(a, "X-Extra: 1"));
    EXPECT_EQ(reply_of(a).kind, "dir");
}
