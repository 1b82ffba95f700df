// VM target addressing, the base64url form of the tunnel, and the subprotocol credentials.
#include <gtest/gtest.h>
#include <sys/socket.h>

#include <array>
#include <string>

#include "core/netproto/base64.h"
#include "daemon/tunnel/policy.h"
#include "daemon/vm/target.h"

namespace {

constexpr std::array<int, 2> EXCLUDED = {8737, 9000};

std::optional<VM_Target> _of(std::string_view raw) {
    VM_Target t;
    if (!vm_target_of(raw, EXCLUDED, t)) {
        EXPECT_EQ(t.family, 0) << raw;
        EXPECT_TRUE(t.host.empty() && t.path.empty()) << raw;
        return std::nullopt;
    }
    return t;
}

std::optional<VM_Target> _of_b64(std::string_view encoded) {
    VM_Target t;
    if (!vm_target_of_b64(encoded, EXCLUDED, t)) return std::nullopt;
    return t;
}

// Unpadded base64url, the way a tab writes it.
std::string _b64url(std::string_view text) {
    std::string s = base64_encode(text);
    while (!s.empty() && s.back() == '=') s.pop_back();
    for (auto& c : s) c = c == '+' ? '-' : c == '/' ? '_' : c;
    return s;
}

TEST(VmTarget, AcceptedTargetsGiveEndpointHostAndPath) {
    auto t = _of("ws://127.0.0.1:8080/");
    ASSERT_TRUE(t);
    EXPECT_EQ(t->family, AF_INET);
    EXPECT_EQ(t->port, 8080);
    EXPECT_EQ(t->host, "127.0.0.1:8080");
    EXPECT_EQ(t->path, "/");

    t = _of("ws://localhost:5900/vnc");
    ASSERT_TRUE(t);
    EXPECT_EQ(t->family, AF_INET);
    EXPECT_EQ(t->port, 5900);
    EXPECT_EQ(t->host, "localhost:5900");
    EXPECT_EQ(t->path, "/vnc");

    t = _of("ws://[::1]:7000/x");
    ASSERT_TRUE(t);
    EXPECT_EQ(t->family, AF_INET6);
    EXPECT_EQ(t->port, 7000);
    EXPECT_EQ(t->host, "[::1]:7000");
    EXPECT_EQ(t->path, "/x");

    t = _of("ws://127.0.0.1:1/a-b.c_d~e+f=g/AZaz09");
    ASSERT_TRUE(t);
    EXPECT_EQ(t->path, "/a-b.c_d~e+f=g/AZaz09");
}

TEST(VmTarget, PortRange) {
    EXPECT_FALSE(_of("ws://127.0.0.1:0/"));
    EXPECT_FALSE(_of("ws://127.0.0.1:65536/"));
    EXPECT_FALSE(_of("ws://127.0.0.1:99999/"));
    EXPECT_FALSE(_of("ws://127.0.0.1:0000000000000000000065536/"));
    EXPECT_FALSE(_of("ws://127.0.0.1:/"));
    EXPECT_FALSE(_of("ws://[::1]:/x"));
    EXPECT_FALSE(_of("ws://127.0.0.1:80a/"));
    EXPECT_FALSE(_of("ws://127.0.0.1:-80/"));
    EXPECT_FALSE(_of("ws://127.0.0.1:+80/"));
    EXPECT_FALSE(_of("ws://127.0.0.1: 80/"));
    auto t = _of("ws://127.0.0.1:65535/");
    ASSERT_TRUE(t);
    EXPECT_EQ(t->port, 65535);
    t = _of("ws://127.0.0.1:00080/");
    ASSERT_TRUE(t);
    EXPECT_EQ(t->port, 80);
    EXPECT_EQ(t->host, "127.0.0.1:00080");
}

// The relay must never connect back into the daemon's own listeners.
TEST(VmTarget, ExcludedPortsAreRefusedInEveryForm) {
    EXPECT_FALSE(_of("ws://127.0.0.1:8737/"));
    EXPECT_FALSE(_of("ws://localhost:8737/"));
    EXPECT_FALSE(_of("ws://[::1]:8737/"));
    EXPECT_FALSE(_of("ws://127.0.0.1:08737/"));
    EXPECT_FALSE(_of("ws://127.0.0.1:9000/"));
    EXPECT_FALSE(_of_b64(_b64url("ws://localhost:9000/")));
    EXPECT_TRUE(_of("ws://127.0.0.1:8738/"));
}

TEST(VmTarget, OnlyLoopbackAuthoritiesAndThePlainScheme) {
    EXPECT_FALSE(_of("ws://127.0.0.1:8080"));  // no path
    EXPECT_FALSE(_of("ws://"));
    EXPECT_FALSE(_of("ws:/"));
    EXPECT_FALSE(_of("ws:///"));
    EXPECT_FALSE(_of("wss://127.0.0.1:8080/"));
    EXPECT_FALSE(_of("WS://127.0.0.1:8080/"));
    EXPECT_FALSE(_of("http://127.0.0.1:8080/"));
    EXPECT_FALSE(_of("ws://127.0.0.2:8080/"));
    EXPECT_FALSE(_of("ws://127.0.0.10:8080/"));
    EXPECT_FALSE(_of("ws://LOCALHOST:8080/"));
    EXPECT_FALSE(_of("ws://example.com:8080/"));
    EXPECT_FALSE(_of("ws://localhost.example.com:8080/"));
    EXPECT_FALSE(_of("ws://[::2]:8080/"));
    EXPECT_FALSE(_of("ws://[::1]8080/"));
    EXPECT_FALSE(_of("ws://user@127.0.0.1:8080/"));
    EXPECT_FALSE(_of("ws://127.0.0.1/"));
    EXPECT_FALSE(_of(" ws://127.0.0.1:8080/"));
}

// Nothing but a plain path may reach the service's request line.
TEST(VmTarget, PathCharactersAndLength) {
    std::string base = "ws://127.0.0.1:8080";
    EXPECT_TRUE(_of(base + "/" + std::string(511, 'a')));
    EXPECT_FALSE(_of(base + "/" + std::string(512, 'a')));
    EXPECT_FALSE(_of(base + "/a?b=1"));
    EXPECT_FALSE(_of(base + "/a#frag"));
    EXPECT_FALSE(_of(base + "/a%2541"));  // decodes to a literal "%"
    EXPECT_FALSE(_of(base + "/a:b"));
    EXPECT_FALSE(_of(base + "/a%20b"));
    EXPECT_FALSE(_of(base + "/a%0D%0AHost:x"));
    EXPECT_FALSE(_of(base + "/a%00"));
    EXPECT_FALSE(_of(base + "/a\\b"));
    EXPECT_FALSE(_of(base + "/caf%C3%A9"));
}

TEST(VmTarget, PercentDecodingOfTheQueryValue) {
    auto t = _of("ws%3A%2F%2F127.0.0.1%3a8080%2Fvm%2fscreen");
    ASSERT_TRUE(t);
    EXPECT_EQ(t->host, "127.0.0.1:8080");
    EXPECT_EQ(t->path, "/vm/screen");
    t = _of("ws://127.0.0.1:8080/a+b");
    ASSERT_TRUE(t);
    EXPECT_EQ(t->path, "/a+b");  // "+" is not a space

    EXPECT_FALSE(_of("ws://127.0.0.1:8080/%4"));
    EXPECT_FALSE(_of("ws://127.0.0.1:8080/%"));
    EXPECT_FALSE(_of("ws://127.0.0.1:8080/%zz"));
    EXPECT_FALSE(_of("ws://127.0.0.1:8080/%4g"));
    EXPECT_FALSE(_of(""));

    std::string out;
    EXPECT_TRUE(percent_decode_strict("a%%b%41%7e+", out));
    EXPECT_EQ(out, "a%bA~+");
    EXPECT_FALSE(percent_decode_strict("%%%", out));
}

TEST(VmTarget, LongestTargetFullyEncoded) {
    // Every byte percent-encoded: 3 raw bytes per decoded byte, well under the raw limit.
    std::string decoded = "ws://127.0.0.1:8080/" + std::string(511, 'a');
    std::string raw;
    const char* hex = "0123456789ABCDEF";
    for (unsigned char c : decoded) raw += {'%', hex[c >> 4], hex[c & 15]};
    auto t = _of(raw);
    ASSERT_TRUE(t);
    EXPECT_EQ(t->path.size(), 512u);
    EXPECT_FALSE(_of(raw + "%61"));
}

TEST(VmTarget, Base64urlFormOfTheTunnel) {
    auto t = _of_b64(_b64url("ws://localhost:5900/vnc"));
    ASSERT_TRUE(t);
    EXPECT_EQ(t->host, "localhost:5900");
    EXPECT_EQ(t->path, "/vnc");
    // No percent-decoding on this route.
    EXPECT_FALSE(_of_b64(_b64url("ws://127.0.0.1:8080/%41")));

    // This target's encoding uses the two characters where the alphabets differ.
    const std::string tildes = "ws://127.0.0.1:8080/~~~~";
    ASSERT_EQ(base64_encode(tildes), "d3M6Ly8xMjcuMC4wLjE6ODA4MC9+fn5+");
    t = _of_b64("d3M6Ly8xMjcuMC4wLjE6ODA4MC9-fn5-");
    ASSERT_TRUE(t);
    EXPECT_EQ(t->path, "/~~~~");
    EXPECT_FALSE(_of_b64(base64_encode(tildes)));

    // Padding is refused even where the text would decode.
    ASSERT_EQ(base64_encode("ws://127.0.0.1:8080/~~"), "d3M6Ly8xMjcuMC4wLjE6ODA4MC9+fg==");
    EXPECT_FALSE(_of_b64("d3M6Ly8xMjcuMC4wLjE6ODA4MC9-fg=="));
    EXPECT_TRUE(_of_b64("d3M6Ly8xMjcuMC4wLjE6ODA4MC9-fg"));

    EXPECT_FALSE(_of_b64(""));
    EXPECT_FALSE(_of_b64(std::string(1025, 'A')));
    // 1024 encoded bytes are read (and then refused by the grammar, not by the length).
    EXPECT_FALSE(_of_b64(_b64url("ws://127.0.0.1:8080/" + std::string(747, 'a'))));
    std::string longest = _b64url("ws://127.0.0.1:8080/" + std::string(492, 'a'));
    ASSERT_LE(longest.size(), 1024u);
    EXPECT_TRUE(_of_b64(longest));
}

TEST(VmTarget, Base64urlStrictness) {
    EXPECT_EQ(base64url_decode_strict("TWFu"), "Man");
    EXPECT_EQ(base64url_decode_strict("TWE"), "Ma");
    EXPECT_EQ(base64url_decode_strict("TQ"), "M");
    EXPECT_EQ(base64url_decode_strict("-_8"), std::string("\xfb\xff", 2));
    EXPECT_FALSE(base64url_decode_strict("TWFuT"));  // length 1 modulo 4
    EXPECT_FALSE(base64url_decode_strict("TR"));     // low 4 bits of the last set
    EXPECT_FALSE(base64url_decode_strict("TWF"));    // low 2 bits of the last set
    EXPECT_FALSE(base64url_decode_strict("TQ=="));
    EXPECT_FALSE(base64url_decode_strict("TQ="));
    EXPECT_FALSE(base64url_decode_strict("T=Q"));
    EXPECT_FALSE(base64url_decode_strict("TW+u"));
    EXPECT_FALSE(base64url_decode_strict("TW/u"));
    EXPECT_FALSE(base64url_decode_strict("TW u"));
    EXPECT_FALSE(base64url_decode_strict(std::string("TW\0u", 4)));
    // Every byte value survives the round trip.
    std::string all;
    for (int i = 0; i < 256; ++i) all.push_back(static_cast<char>(i));
    for (size_t n = 0; n < 6; ++n)
        EXPECT_EQ(base64url_decode_strict(_b64url(all.substr(n))), all.substr(n));
}

TEST(TunnelProtocols, SessionForm) {
    EXPECT_EQ(ws_token_of("editor.v1,tok.abc"), "abc");
    EXPECT_EQ(ws_token_of(" \teditor.v1 \t, \ttok.abc\t "), "abc");
    EXPECT_EQ(ws_token_of("editor.v1, tok."), "");
    EXPECT_FALSE(ws_token_of("editor.v1"));
    EXPECT_FALSE(ws_token_of("editor.v1, tok.a, vm.x"));
    EXPECT_FALSE(ws_token_of("Editor.v1, tok.abc"));
    EXPECT_FALSE(ws_token_of("editor.v1, tok"));
    EXPECT_FALSE(ws_token_of("editor.v1, TOK.abc"));
    EXPECT_FALSE(ws_token_of("tok.abc, editor.v1"));
    EXPECT_FALSE(ws_token_of(""));
    EXPECT_FALSE(ws_token_of(","));
}

TEST(TunnelProtocols, RelayForm) {
    auto p = ws_vm_protocols_of("editor.v1,tok.abc,vm.d3M6");
    ASSERT_TRUE(p);
    EXPECT_EQ(p->token, "abc");
    EXPECT_EQ(p->target, "d3M6");
    auto spaced = ws_vm_protocols_of("  editor.v1\t,\t tok.abc  , \tvm.d3M6\t");
    ASSERT_TRUE(spaced);
    EXPECT_EQ(spaced->token, p->token);
    EXPECT_EQ(spaced->target, p->target);
    p = ws_vm_protocols_of("editor.v1, tok., vm.");
    ASSERT_TRUE(p);
    EXPECT_EQ(p->token, "");
    EXPECT_EQ(p->target, "");

    EXPECT_FALSE(ws_vm_protocols_of("editor.v1, tok.abc, vm.x, extra"));
    EXPECT_FALSE(ws_vm_protocols_of("editor.v1, tok.abc, vm.x,"));
    EXPECT_FALSE(ws_vm_protocols_of("editor.v1, tok.abc"));
    EXPECT_FALSE(ws_vm_protocols_of("EDITOR.V1, tok.abc, vm.x"));
    EXPECT_FALSE(ws_vm_protocols_of("editor.v1, vm.x, tok.abc"));
    EXPECT_FALSE(ws_vm_protocols_of("editor.v1, tok.abc, vm"));
    EXPECT_FALSE(ws_vm_protocols_of("editor.v1,,tok.abc"));
    // Only spaces and tabs are trimmed.
    EXPECT_FALSE(ws_vm_protocols_of("editor.v1\r, tok.abc, vm.x"));
}

}  // namespace
