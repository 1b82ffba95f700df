// Base64 and unpadded base64url, RFC 4648.
#include "core/netproto/base64.h"

namespace {

constexpr char STD_ALPHABET[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

int _url_value(char c) {
    if (c >= 'A' && c <= 'Z') return c - 'A';
    if (c >= 'a' && c <= 'z') return c - 'a' + 26;
    if (c >= '0' && c <= '9') return c - '0' + 52;
    if (c == '-') return 62;
    if (c == '_') return 63;
    return -1;
}

}  // namespace

std::string base64_encode(std::string_view bytes) {
    std::string out;
    out.reserve((bytes.size() + 2) / 3 * 4);
    size_t i = 0;
    auto b = [&](size_t k) { return static_cast<unsigned char>(bytes[k]); };
    for (; i + 3 <= bytes.size(); i += 3) {
        unsigned v = (b(i) << 16) | (b(i + 1) << 8) | b(i + 2);
        out.push_back(STD_ALPHABET[(v >> 18) & 63]);
        out.push_back(STD_ALPHABET[(v >> 12) & 63]);
        out.push_back(STD_ALPHABET[(v >> 6) & 63]);
        out.push_back(STD_ALPHABET[v & 63]);
    }
    size_t rest = bytes.size() - i;
    if (rest == 1) {
        unsigned v = b(i) << 16;
        out.push_back(STD_ALPHABET[(v >> 18) & 63]);
        out.push_back(STD_ALPHABET[(v >> 12) & 63]);
        out += "==";
    } else if (rest == 2) {
        unsigned v = (b(i) << 16) | (b(i + 1) << 8);
        out.push_back(STD_ALPHABET[(v >> 18) & 63]);
        out.push_back(STD_ALPHABET[(v >> 12) & 63]);
        out.push_back(STD_ALPHABET[(v >> 6) & 63]);
        out.push_back('=');
    }
    return out;
}

std::optional<std::string> base64url_decode_strict(std::string_view text) {
    size_t rem = text.size() % 4;
    if (rem == 1) return std::nullopt;
    if (!text.empty()) {
        int last = _url_value(text.back());
        if (last < 0) return std::nullopt;
        if (rem == 2 && (last & 15) != 0) return std::nullopt;
        if (rem == 3 && (last & 3) != 0) return std::nullopt;
    }
    std::string out;
    out.reserve(text.size() * 3 / 4);
    unsigned acc = 0;
    int bits = 0;
    for (char c : text) {
        int v = _url_value(c);
        if (v < 0) return std::nullopt;
        acc = (acc << 6) | static_cast<unsigned>(v);
        bits += 6;
        if (bits >= 8) {
            bits -= 8;
            out.push_back(static_cast<char>((acc >> bits) & 0xff));
        }
    }
    return out;
}
