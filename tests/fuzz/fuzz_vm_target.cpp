// The VM target in both encodings: a target accepted once must be accepted again, the same,
// after encoding its text the other way, and must name only loopback and a safe path.
#include <sys/socket.h>

#include <cstdint>
#include <string>

#include "core/netproto/base64.h"
#include "daemon/vm/target.h"
#include "fuzz_support.h"

namespace {

constexpr int EXCLUDED[] = {8737, 45678};

std::string _percent_all(std::string_view text) {
    static const char* hex = "0123456789ABCDEF";
    std::string out;
    for (unsigned char c : text) {
        out += '%';
        out += hex[c >> 4];
        out += hex[c & 15];
    }
    return out;
}

std::string _base64url(std::string_view bytes) {
    std::string s = base64_encode(bytes);
    while (!s.empty() && s.back() == '=') s.pop_back();
    for (char& c : s) c = c == '+' ? '-' : c == '/' ? '_' : c;
    return s;
}

bool _same(const VM_Target& a, const VM_Target& b) {
    return a.family == b.family && a.port == b.port && a.host == b.host && a.path == b.path;
}

void _check(bool ok, const VM_Target& t) {
    if (!ok) {
        FUZZ_CHECK(t.family == 0 && t.port == 0 && t.host.empty() && t.path.empty());
        return;
    }
    FUZZ_CHECK(t.family == AF_INET || t.family == AF_INET6);
    FUZZ_CHECK(t.port != 0 && t.port != EXCLUDED[0] && t.port != EXCLUDED[1]);
    FUZZ_CHECK(!t.path.empty() && t.path[0] == '/' && t.path.size() <= VM_PATH_MAX);
    FUZZ_CHECK(t.path.find_first_of("?#% :\r\n") == std::string::npos);
    FUZZ_CHECK(t.host.rfind("127.0.0.1:", 0) == 0 || t.host.rfind("localhost:", 0) == 0 ||
               t.host.rfind("[::1]:", 0) == 0);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string_view in = fuzz_bytes(data, size);

    std::string decoded;
    if (percent_decode_strict(in, decoded)) FUZZ_CHECK(decoded.size() <= in.size());

    VM_Target q;
    bool q_ok = vm_target_of(in, EXCLUDED, q);
    _check(q_ok, q);
    VM_Target b;
    bool b_ok = vm_target_of_b64(in, EXCLUDED, b);
    _check(b_ok, b);

    // The input taken as the decoded target text, sent both ways.
    std::string text(in);
    if (text.size() * 3 <= VM_QUERY_TARGET_MAX) {
        VM_Target via_query, via_b64;
        bool ok1 = vm_target_of(_percent_all(text), EXCLUDED, via_query);
        _check(ok1, via_query);
        std::string enc = _base64url(text);
        if (!text.empty() && enc.size() <= VM_B64_TARGET_MAX) {
            bool ok2 = vm_target_of_b64(enc, EXCLUDED, via_b64);
            FUZZ_CHECK(ok1 == ok2);
            if (ok1) FUZZ_CHECK(_same(via_query, via_b64));
        }
        if (ok1) {
            FUZZ_CHECK("ws://" + via_query.host + via_query.path == text);
        }
    }
    return 0;
}
