// UTF-8 decoding: input bytes to valid text, and stepping over the scalars of valid text.
#include "sorvine/utf8.h"

namespace sorvine {

namespace {

constexpr char32_t _replacement = 0xFFFD;
constexpr std::string_view _replacementBytes = "\xEF\xBF\xBD";

// The sequence at pos: its full length when whole and valid, otherwise the length of its
// maximal invalid subpart (at least 1), which stands for one U+FFFD.
struct _Probe {
    size_t length;
    bool valid;
};

_Probe _probe(std::string_view s, size_t pos) {
    auto at = [&](size_t i) { return static_cast<unsigned char>(s[pos + i]); };
    unsigned char c = at(0);
    if (c < 0x80) return {1, true};
    size_t len;
    unsigned char lo = 0x80, hi = 0xBF;  // allowed range of the second byte
    if (c >= 0xC2 && c <= 0xDF) {
        len = 2;
    } else if (c >= 0xE0 && c <= 0xEF) {
        len = 3;
        if (c == 0xE0) lo = 0xA0;  // no overlong forms
        if (c == 0xED) hi = 0x9F;  // no surrogates
    } else if (c >= 0xF0 && c <= 0xF4) {
        len = 4;
        if (c == 0xF0) lo = 0x90;
        if (c == 0xF4) hi = 0x8F;  // nothing above U+10FFFF
    } else {
        return {1, false};
    }
    size_t avail = s.size() - pos;
    for (size_t i = 1; i < len; ++i) {
        if (i >= avail) return {i, false};
        unsigned char b = at(i);
        bool ok = i == 1 ? (b >= lo && b <= hi) : (b >= 0x80 && b <= 0xBF);
        if (!ok) return {i, false};
    }
    return {len, true};
}

}  // namespace

std::string decodeUtf8(std::string_view bytes) {
    std::string out;
    out.reserve(bytes.size());
    size_t pos = 0;
    while (pos < bytes.size()) {
        _Probe p = _probe(bytes, pos);
        if (p.valid)
            out.append(bytes.substr(pos, p.length));
        else
            out.append(_replacementBytes);
        pos += p.length;
    }
    return out;
}

Scalar scalarAt(std::string_view s, size_t pos) {
    if (pos >= s.size()) return {0, 0};
    _Probe p = _probe(s, pos);
    if (!p.valid) return {_replacement, 1};
    auto at = [&](size_t i) {
        return static_cast<char32_t>(static_cast<unsigned char>(s[pos + i]));
    };
    switch (p.length) {
        case 1:
            return {at(0), 1};
        case 2:
            return {((at(0) & 0x1F) << 6) | (at(1) & 0x3F), 2};
        case 3:
            return {((at(0) & 0x0F) << 12) | ((at(1) & 0x3F) << 6) | (at(2) & 0x3F), 3};
        default:
            return {((at(0) & 0x07) << 18) | ((at(1) & 0x3F) << 12) | ((at(2) & 0x3F) << 6) |
                        (at(3) & 0x3F),
                    4};
    }
}

}  // namespace sorvine
