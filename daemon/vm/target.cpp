// VM target addressing: the target grammar and the two encodings it travels in.
#include "daemon/vm/target.h"

#include <sys/socket.h>

#include <algorithm>
#include <optional>

#include "core/base/decimal.h"
#include "core/netproto/base64.h"

namespace {

constexpr std::string_view SCHEME = "ws://";
constexpr std::string_view V6_PREFIX = "[::1]:";
constexpr std::string_view V4_PREFIX = "127.0.0.1:";
constexpr std::string_view NAME_PREFIX = "localhost:";
constexpr uint64_t PORT_MAX = 65535;

int _hex_value(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// 1 to 65535 in decimal digits, leading zeros allowed.
std::optional<uint16_t> _port_of(std::string_view text) {
    Decimal port = parse_decimal(text, PORT_MAX);
    if (!port.ok() || port.value == 0) return std::nullopt;
    return static_cast<uint16_t>(port.value);
}

// Only these bytes may reach the VM service in its request line: no query, fragment,
// percent sign, colon or space.
bool _path_byte_ok(char c) {
    if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9')) return true;
    return c == '+' || c == '-' || c == '.' || c == '/' || c == '=' || c == '_' || c == '~';
}

bool _vm_target_parse(std::string_view text, std::span<const int> excluded, VM_Target& out) {
    out = VM_Target{};
    if (text.size() <= 4 || !text.starts_with(SCHEME)) return false;
    size_t slash = text.find('/', SCHEME.size());
    if (slash == std::string_view::npos) return false;
    std::string_view authority = text.substr(SCHEME.size(), slash - SCHEME.size());
    std::string_view path = text.substr(slash);
    if (authority.size() < V6_PREFIX.size()) return false;
    int family;
    std::string_view port_text;
    if (authority.starts_with(V6_PREFIX)) {
        family = AF_INET6;
        port_text = authority.substr(V6_PREFIX.size());
    } else if (authority.starts_with(V4_PREFIX) || authority.starts_with(NAME_PREFIX)) {
        family = AF_INET;
        port_text = authority.substr(V4_PREFIX.size());
    } else {
        return false;
    }
    auto port = _port_of(port_text);
    if (!port) return false;
    if (std::find(excluded.begin(), excluded.end(), static_cast<int>(*port)) != excluded.end())
        return false;
    if (path.size() > VM_PATH_MAX || !std::all_of(path.begin(), path.end(), _path_byte_ok))
        return false;
    out.family = family;
    out.port = *port;
    out.host = authority;
    out.path = path;
    return true;
}

}  // namespace

bool percent_decode_strict(std::string_view in, std::string& out) {
    out.clear();
    out.reserve(in.size());
    for (size_t i = 0; i < in.size(); ++i) {
        if (in[i] != '%') {
            out.push_back(in[i]);
            continue;
        }
        if (i + 1 < in.size() && in[i + 1] == '%') {
            out.push_back('%');
            i += 1;
            continue;
        }
        if (i + 2 >= in.size()) return false;
        int hi = _hex_value(in[i + 1]), lo = _hex_value(in[i + 2]);
        if (hi < 0 || lo < 0) return false;
        out.push_back(static_cast<char>(hi * 16 + lo));
        i += 2;
    }
    return true;
}

bool vm_target_of(std::string_view raw, std::span<const int> excluded_ports, VM_Target& out) {
    out = VM_Target{};
    if (raw.empty() || raw.size() > VM_QUERY_TARGET_MAX) return false;
    std::string decoded;
    if (!percent_decode_strict(raw, decoded)) return false;
    return _vm_target_parse(decoded, excluded_ports, out);
}

bool vm_target_of_b64(std::string_view encoded, std::span<const int> excluded_ports,
                      VM_Target& out) {
    out = VM_Target{};
    if (encoded.empty() || encoded.size() > VM_B64_TARGET_MAX) return false;
    auto decoded = base64url_decode_strict(encoded);
    if (!decoded || decoded->empty()) return false;
    return _vm_target_parse(*decoded, excluded_ports, out);
}
