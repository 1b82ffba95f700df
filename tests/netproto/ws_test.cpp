// WebSocket wire code: SHA-1 and Base64 vectors, the handshake texts, the frame writer,
// the message reader (through a socket pair, split at every offset) and the client side.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <future>
#include <thread>

#include "core/base/fd.h"
#include "core/base/random.h"
#include "core/netproto/base64.h"
#include "core/netproto/sha1.h"
#include "core/netproto/ws.h"
#include "tests/support/ws_peer.h"

namespace {

std::string hex(const Sha1_Digest& d) {
    return hex_of(d.data(), d.size());
}

struct Pair {
    Fd server, client;
    Pair() {
        int sv[2];
        if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv) == 0) {
            server.reset(sv[0]);
            client.reset(sv[1]);
        }
    }
};

std::string read_all(int fd) {
    std::string out;
    char buf[65536];
    for (;;) {
        ssize_t n = recv(fd, buf, sizeof buf, 0);
        if (n <= 0) return out;
        out.append(buf, static_cast<size_t>(n));
    }
}

// Everything the server end wrote, once the server end is closed.
std::string drain(Pair& p) {
    p.server.reset();
    return read_all(p.client.get());
}

struct Read_Result {
    bool ok = false;
    WS_Op op = WS_Op::Continuation;
    std::string msg;
};

Read_Result read_one(WS_Conn& conn) {
    Read_Result r;
    r.ok = ws_read_message(conn, r.msg, r.op);
    return r;
}

// Sends bytes from another thread, one byte per send, so the reader sees every split.
std::thread trickle(int fd, std::string bytes) {
    return std::thread([fd, bytes = std::move(bytes)] {
        for (char c : bytes)
            if (send(fd, &c, 1, MSG_NOSIGNAL) != 1) return;
    });
}

std::string pattern(size_t n, uint32_t seed) {
    std::string s(n, '\0');
    for (size_t i = 0; i < n; ++i) s[i] = static_cast<char>((i * 131 + seed) >> 3);
    return s;
}

}  // namespace

TEST(Sha1, Rfc3174Vectors) {
    EXPECT_EQ(hex(sha1("abc")), "a9993e364706816aba3e25717850c26c9cd0d89d");
    EXPECT_EQ(hex(sha1("abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq")),
              "84983e441c3bd26ebaae4aa1f95129e5e54670f1");
    EXPECT_EQ(hex(sha1(std::string(1000000, 'a'))), "34aa973cd4c4daa4f61eeb2bdbad27316534016f");
    std::string eights;
    for (int i = 0; i < 80; ++i) eights += "01234567";
    EXPECT_EQ(hex(sha1(eights)), "dea356a2cddd90c7a7ecedc5ebb563934f460452");
    EXPECT_EQ(hex(sha1("")), "da39a3ee5e6b4b0d3255bfef95601890afd80709");
}

TEST(Sha1, PaddingBoundaries) {
    // 55 bytes fit the length in the last block, 56 need a second one; 64 is a full block.
    EXPECT_EQ(hex(sha1(std::string(55, 'a'))), "c1c8bbdc22796e28c0e15163d20899b65621d65a");
    EXPECT_EQ(hex(sha1(std::string(56, 'a'))), "c2db330f6083854c99d4b5bfb6e8f29f201be699");
    EXPECT_EQ(hex(sha1(std::string(64, 'a'))), "0098ba824b5c16427bd7a1122a5a442a25ec644d");
}

TEST(Base64, Rfc4648Vectors) {
    EXPECT_EQ(base64_encode(""), "");
    EXPECT_EQ(base64_encode("f"), "Zg==");
    EXPECT_EQ(base64_encode("fo"), "Zm8=");
    EXPECT_EQ(base64_encode("foo"), "Zm9v");
    EXPECT_EQ(base64_encode("foob"), "Zm9vYg==");
    EXPECT_EQ(base64_encode("fooba"), "Zm9vYmE=");
    EXPECT_EQ(base64_encode("foobar"), "Zm9vYmFy");
}

TEST(Handshake, AcceptKeyOfTheRfc6455Sample) {
    EXPECT_EQ(ws_accept_key("dGhlIHNhbXBsZSBub25jZQ=="), "s3pPLMBiTxaQ9kYGzzhZRbK+xOo=");
    EXPECT_EQ(ws_accept_key("  dGhlIHNhbXBsZSBub25jZQ==\t "), "s3pPLMBiTxaQ9kYGzzhZRbK+xOo=");
}

TEST(Handshake, UpgradeHeadWithAndWithoutProtocol) {
    const std::string start =
        "HTTP/1.1 101 Switching Protocols\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
        "Sec-WebSocket-Accept: s3pPLMBiTxaQ9kYGzzhZRbK+xOo=\r\n";
    EXPECT_EQ(ws_upgrade_head("dGhlIHNhbXBsZSBub25jZQ==", "editor.v1", ""),
              start + "Sec-WebSocket-Protocol: editor.v1\r\n\r\n");
    EXPECT_EQ(ws_upgrade_head("dGhlIHNhbXBsZSBub25jZQ==", "", ""), start + "\r\n");
    EXPECT_EQ(ws_upgrade_head("dGhlIHNhbXBsZSBub25jZQ==", "", "X-A: 1\r\n"),
              start + "X-A: 1\r\n\r\n");
}

TEST(Writer, HeaderLengthForms) {
    struct Case {
        uint64_t len;
        std::string want;
    } cases[] = {
        {0, std::string("\x82\x00", 2)},
        {125, "\x82\x7d"},
        {126, std::string("\x82\x7e\x00\x7e", 4)},
        {65535, "\x82\x7e\xff\xff"},
        {65536, std::string("\x82\x7f\x00\x00\x00\x00\x00\x01\x00\x00", 10)},
    };
    for (const auto& c : cases) {
        unsigned char out[10];
        size_t n = ws_frame_header(WS_Op::Binary, c.len, out);
        EXPECT_EQ(std::string(reinterpret_cast<char*>(out), n), c.want) << c.len;
    }
}

TEST(Writer, GatheredPartsMakeOneFrame) {
    Pair p;
    std::string_view parts[] = {"ab", "", "cde", "", "f"};
    ASSERT_TRUE(ws_write(p.server.get(), WS_Op::Binary, parts));
    ASSERT_TRUE(ws_write(p.server.get(), WS_Op::Pong, {}));
    EXPECT_EQ(drain(p), std::string("\x82\x06"
                                    "abcdef"
                                    "\x8a\x00",
                                    10));
}

TEST(Writer, ManyPartsAndPartialSendsKeepTheOrder) {
    // More parts than one sendmsg takes, and more bytes than the socket buffer holds, so
    // the writer has to resume in the middle of a part.
    Pair p;
    std::vector<std::string> bodies;
    for (int i = 0; i < 300; ++i) bodies.push_back(pattern(static_cast<size_t>(i * 37 % 9000), i));
    std::vector<std::string_view> parts(bodies.begin(), bodies.end());
    std::string want;
    for (auto& b : bodies) want += b;
    auto got = std::async(std::launch::async, [&] { return read_all(p.client.get()); });
    std::thread writer([&] {
        EXPECT_TRUE(ws_write(p.server.get(), WS_Op::Binary, parts));
        shutdown(p.server.get(), SHUT_WR);
    });
    writer.join();
    std::string bytes = got.get();
    std::string buf = bytes;
    Server_Frame f;
    ASSERT_TRUE(read_server_frame(-1, buf, f));
    EXPECT_EQ(f.first, 0x82);
    EXPECT_FALSE(f.masked);
    EXPECT_EQ(f.payload.size(), want.size());
    EXPECT_TRUE(f.payload == want);
    EXPECT_TRUE(buf.empty());
}

TEST(Writer, FailsOnAVanishedPeer) {
    Pair p;
    p.client.reset();
    std::string_view parts[] = {"x"};
    EXPECT_FALSE(ws_write(p.server.get(), WS_Op::Binary, parts));
}

// The file's bytes follow the parts inside one frame whose length counts them; a file
// shorter than promised stops the frame short with ENODATA.
TEST(Writer, FileBytesCloseTheFrame) {
    std::string content = pattern(300000, 5);
    FILE* f = tmpfile();
    ASSERT_NE(f, nullptr);
    ASSERT_EQ(fwrite(content.data(), 1, content.size(), f), content.size());
    fflush(f);
    std::string_view parts[] = {"ab", "c"};
    for (uint64_t promised : {uint64_t{300000}, uint64_t{300001}}) {
        Pair p;
        auto got = std::async(std::launch::async, [&] { return read_all(p.client.get()); });
        Send_File_Result r =
            ws_write_with_file(p.server.get(), WS_Op::Binary, parts, fileno(f), promised);
        p.server.reset();
        std::string buf = got.get();
        EXPECT_EQ(r.sent, content.size());
        EXPECT_EQ(r.error, promised == content.size() ? 0 : ENODATA);
        ASSERT_GE(buf.size(), 10u);
        EXPECT_EQ(buf.substr(0, 2), "\x82\x7f");
        uint64_t length = 0;
        for (int i = 2; i < 10; ++i) length = length << 8 | static_cast<unsigned char>(buf[i]);
        EXPECT_EQ(length, 3 + promised);
        EXPECT_TRUE(buf.substr(10) == "abc" + content);
    }
    fclose(f);
}

TEST(FrameHeader, NeedsMoreUntilComplete) {
    std::string frame = client_frame(0x82, std::string(300, 'x'));  // 2 + 2 + 4 header
    WS_Frame_Header h;
    for (size_t n = 0; n < 8; ++n) EXPECT_EQ(ws_parse_frame_header(frame.substr(0, n), h), 0u);
    EXPECT_EQ(ws_parse_frame_header(frame, h), 8u);
    EXPECT_TRUE(h.fin);
    EXPECT_TRUE(h.masked);
    EXPECT_EQ(h.opcode, 2);
    EXPECT_EQ(h.length, 300u);
}

TEST(Reader, SameMessagesWhateverTheSplit) {
    // A fragmented Binary message with a Ping between its fragments, then a Text message
    // in a longer-than-needed length form, then a small Binary one.
    std::string stream = client_frame(0x02, "Hello, ") + client_msg(9, "ping!") +
                         client_frame(0x00, std::string(200, 'w')) + client_frame(0x80, "!") +
                         client_frame(0x81, "text", true, 127) + client_msg(2, "end");
    for (size_t split = 0; split <= stream.size(); ++split) {
        Pair p;
        WS_Conn conn;
        conn.sock = p.server.get();
        conn.buf = stream.substr(0, split);  // as if it came with the request head
        std::thread t = trickle(p.client.get(), stream.substr(split));
        Read_Result a = read_one(conn), b = read_one(conn), c = read_one(conn);
        t.join();
        ASSERT_TRUE(a.ok && b.ok && c.ok) << split;
        EXPECT_EQ(a.op, WS_Op::Binary);
        EXPECT_EQ(a.msg, "Hello, " + std::string(200, 'w') + "!");
        EXPECT_EQ(b.op, WS_Op::Text);
        EXPECT_EQ(b.msg, "text");
        EXPECT_EQ(c.op, WS_Op::Binary);
        EXPECT_EQ(c.msg, "end");
        EXPECT_EQ(drain(p), "\x8a\x05ping!") << split;
    }
}

TEST(Reader, PingOf125IsAnsweredWithTheSamePayload) {
    Pair p;
    std::string payload = pattern(125, 7);
    std::string in = client_msg(9, payload) + client_msg(2, "m");
    ASSERT_EQ(send(p.client.get(), in.data(), in.size(), 0), static_cast<ssize_t>(in.size()));
    WS_Conn conn;
    conn.sock = p.server.get();
    Read_Result r = read_one(conn);
    ASSERT_TRUE(r.ok);
    EXPECT_EQ(r.msg, "m");
    EXPECT_EQ(drain(p), "\x8a\x7d" + payload);
}

TEST(Reader, ControlFramesGoThroughSendControl) {
    Pair p;
    std::string in = client_msg(9, "abc") + client_msg(10, "ignored") + client_msg(2, "m");
    ASSERT_EQ(send(p.client.get(), in.data(), in.size(), 0), static_cast<ssize_t>(in.size()));
    WS_Conn conn;
    conn.sock = p.server.get();
    std::vector<std::pair<WS_Op, std::string>> seen;
    conn.send_control = [&](WS_Op op, std::string_view body) {
        seen.emplace_back(op, std::string(body));
        return true;
    };
    ASSERT_TRUE(read_one(conn).ok);
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0].first, WS_Op::Pong);
    EXPECT_EQ(seen[0].second, "abc");
    EXPECT_EQ(drain(p), "");  // nothing written past the session's lock
}

TEST(Reader, CloseIsEchoedWithItsStatusCodeOnly) {
    struct Case {
        std::string payload, echo;
    } cases[] = {
        {"\x03\xe8going away", "\x88\x02\x03\xe8"},
        {"", std::string("\x88\x00", 2)},
        {"\x03", "\x88\x01\x03"},
    };
    for (const auto& c : cases) {
        Pair p;
        std::string in = client_msg(8, c.payload) + client_msg(2, "after");
        send(p.client.get(), in.data(), in.size(), 0);
        WS_Conn conn;
        conn.sock = p.server.get();
        EXPECT_FALSE(read_one(conn).ok);
        EXPECT_EQ(drain(p), c.echo);
    }
}

TEST(Reader, FramingViolationsEndReadingWithoutAWrite) {
    struct Case {
        const char* name;
        std::string bytes;
    } cases[] = {
        {"unmasked frame", client_frame(0x82, "x", false)},
        {"RSV1 set", client_frame(0xc2, "x")},
        {"RSV3 set", client_frame(0x92, "x")},
        {"opcode 3", client_frame(0x83, "x")},
        {"opcode 7", client_frame(0x87, "x")},
        {"opcode 11", client_frame(0x8b, "")},
        {"ping of 126 bytes", client_frame(0x89, std::string(126, 'p'))},
        {"ping without FIN", client_frame(0x09, "p")},
        {"close without FIN", client_frame(0x08, "")},
        {"continuation first", client_frame(0x80, "x")},
        {"text inside a binary message", client_frame(0x02, "a") + client_frame(0x81, "b")},
        {"binary inside a binary message", client_frame(0x02, "a") + client_frame(0x82, "b")},
        {"end of stream mid-header", std::string("\x82\xfe\x01", 3)},
        {"end of stream mid-payload", client_frame(0x82, "abcdef").substr(0, 9)},
    };
    for (const auto& c : cases) {
        Pair p;
        send(p.client.get(), c.bytes.data(), c.bytes.size(), 0);
        shutdown(p.client.get(), SHUT_WR);
        WS_Conn conn;
        conn.sock = p.server.get();
        EXPECT_FALSE(read_one(conn).ok) << c.name;
        EXPECT_EQ(drain(p), "") << c.name;
    }
}

TEST(Reader, OversizedFramesAreRefusedBeforeTheirPayload) {
    // Only headers are sent and the socket stays open: a reader that waited for the
    // payload would never return.
    struct Case {
        const char* name;
        std::string bytes;
    } cases[] = {
        {"one frame over the limit",
         std::string("\x82\xff\x00\x00\x00\x00\x04\x00\x00\x01", 10) + "kkkk"},
        {"64-bit length with the top bit",
         std::string("\x82\xff\x80\x00\x00\x00\x00\x00\x00\x00", 10) + "kkkk"},
    };
    for (const auto& c : cases) {
        Pair p;
        send(p.client.get(), c.bytes.data(), c.bytes.size(), 0);
        WS_Conn conn;
        conn.sock = p.server.get();
        auto r = std::async(std::launch::async, [&] { return read_one(conn); });
        ASSERT_EQ(r.wait_for(std::chrono::seconds(20)), std::future_status::ready) << c.name;
        EXPECT_FALSE(r.get().ok) << c.name;
        EXPECT_LT(conn.buf.capacity(), 1u << 20) << c.name;
    }
}

TEST(Reader, LimitIsExactlySixtyFourMebibytes) {
    Pair p;
    std::string big(WS_MAX_MESSAGE, 'z');
    std::string frame = client_frame(0x82, big);
    std::thread t([&] {
        size_t off = 0;
        while (off < frame.size()) {
            ssize_t n = send(p.client.get(), frame.data() + off, frame.size() - off, MSG_NOSIGNAL);
            if (n <= 0) return;
            off += static_cast<size_t>(n);
        }
    });
    WS_Conn conn;
    conn.sock = p.server.get();
    Read_Result r = read_one(conn);
    t.join();
    ASSERT_TRUE(r.ok);
    EXPECT_EQ(r.msg.size(), WS_MAX_MESSAGE);
    EXPECT_TRUE(r.msg == big);
}

TEST(Reader, FragmentsOverTheLimitEndAtTheSecondHeader) {
    Pair p;
    std::string first = client_frame(0x02, std::string(40u << 20, 'a'));
    std::string second_header = client_frame(0x00, std::string(30u << 20, 'b')).substr(0, 14);
    std::thread t([&] {
        std::string all = first + second_header;
        size_t off = 0;
        while (off < all.size()) {
            ssize_t n = send(p.client.get(), all.data() + off, all.size() - off, MSG_NOSIGNAL);
            if (n <= 0) return;
            off += static_cast<size_t>(n);
        }
    });
    WS_Conn conn;
    conn.sock = p.server.get();
    auto r = std::async(std::launch::async, [&] { return read_one(conn); });
    ASSERT_EQ(r.wait_for(std::chrono::seconds(60)), std::future_status::ready);
    EXPECT_FALSE(r.get().ok);
    t.join();
}

TEST(ResponseHead, StatusLine) {
    Response_Head h;
    EXPECT_TRUE(parse_response_head("HTTP/1.1 101", h));
    EXPECT_EQ(h.status, 101);
    EXPECT_TRUE(parse_response_head("HTTP/1.0 404 Not Found\r\nA: b", h));
    EXPECT_EQ(h.status, 404);
    EXPECT_EQ(h.headers["a"], "b");
    EXPECT_FALSE(parse_response_head("HTTP/1.1 1010 Switching", h));  // four digits
    EXPECT_FALSE(parse_response_head("HTTP/1.1 10", h));              // too short
    EXPECT_FALSE(parse_response_head("HTTP/1.1  101", h));            // no code at index 9
    EXPECT_FALSE(parse_response_head("HTTP/2.0 101 x", h));
    EXPECT_FALSE(parse_response_head("HTTP/1.1 1a1 x", h));
    EXPECT_FALSE(parse_response_head("HTTP/1.1 101 OK\r\nNoColon", h));
    EXPECT_FALSE(parse_response_head("HTTP/1.1 101 OK\r\n: empty name", h));
}

TEST(ResponseHead, HeadersAreLowerCasedTrimmedAndLaterOnesWin) {
    Response_Head h;
    ASSERT_TRUE(
        parse_response_head("HTTP/1.1 101 OK\r\n  Upgrade :  websocket \r\n\r\nX: 1\r\nx: 2", h));
    EXPECT_EQ(h.headers["upgrade"], "websocket");
    EXPECT_EQ(h.headers["x"], "2");
}

TEST(ClientAcceptance, RulesOfThe101) {
    const std::string key = "dGhlIHNhbXBsZSBub25jZQ==";
    const std::string good_accept = "Sec-WebSocket-Accept: s3pPLMBiTxaQ9kYGzzhZRbK+xOo=\r\n";
    auto accepts = [&](const std::string& head) {
        Response_Head h;
        return parse_response_head(head, h) && ws_client_accepts(h, key);
    };
    const std::string base = "HTTP/1.1 101 Switching Protocols\r\n";
    EXPECT_TRUE(accepts(base + "Upgrade: websocket\r\nConnection: Upgrade\r\n" + good_accept));
    EXPECT_TRUE(
        accepts(base + "Upgrade: WebSocket\r\nConnection: keep-alive, Upgrade\r\n" + good_accept));
    EXPECT_FALSE(
        accepts(base + "Upgrade: websocket, h2c\r\nConnection: Upgrade\r\n" + good_accept));
    EXPECT_FALSE(accepts(base + "Connection: Upgrade\r\n" + good_accept));
    EXPECT_FALSE(accepts(base + "Upgrade: websocket\r\nConnection: keep-alive\r\n" + good_accept));
    EXPECT_FALSE(accepts(base + "Upgrade: websocket\r\nConnection: Upgrade\r\n"));
    EXPECT_FALSE(accepts(base + "Upgrade: websocket\r\nConnection: Upgrade\r\n"
                                "Sec-WebSocket-Accept: S3PPLMBITXAQ9KYGZZHZRBK+XOO=\r\n"));
    EXPECT_FALSE(accepts(base + "Upgrade: websocket\r\nConnection: Upgrade\r\n" + good_accept +
                         "Sec-WebSocket-Extensions: permessage-deflate\r\n"));
    EXPECT_FALSE(accepts(base + "Upgrade: websocket\r\nConnection: Upgrade\r\n" + good_accept +
                         "Sec-WebSocket-Protocol: chat\r\n"));
    EXPECT_FALSE(
        accepts("HTTP/1.1 200 OK\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n" + good_accept));
}

TEST(ClientRequest, ExactBytesAndFreshKeys) {
    EXPECT_EQ(ws_client_request("/socket?x=1", "127.0.0.1:9000", "KEY"),
              "GET /socket?x=1 HTTP/1.1\r\nHost: 127.0.0.1:9000\r\nUpgrade: websocket\r\n"
              "Connection: Upgrade\r\nSec-WebSocket-Key: KEY\r\nSec-WebSocket-Version: 13\r\n\r\n");
    std::string a = ws_client_key(), b = ws_client_key();
    EXPECT_EQ(a.size(), 24u);
    EXPECT_EQ(a.substr(22), "==");
    EXPECT_NE(a, b);
}
