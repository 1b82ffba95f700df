// UTF-8: validation, and the one escaper behind the log's %q, JSON strings and sanitising.
#include "core/base/utf8.h"

size_t utf8_sequence_length(std::string_view s) {
    if (s.empty()) return 0;
    auto b = [&](size_t i) { return static_cast<unsigned char>(s[i]); };
    unsigned char c = b(0);
    if (c < 0x80) return 1;
    size_t len;
    unsigned char lo = 0x80, hi = 0xBF;
    if (c >= 0xC2 && c <= 0xDF) {
        len = 2;
    } else if (c >= 0xE0 && c <= 0xEF) {
        len = 3;
        if (c == 0xE0) lo = 0xA0;
        if (c == 0xED) hi = 0x9F;
    } else if (c >= 0xF0 && c <= 0xF4) {
        len = 4;
        if (c == 0xF0) lo = 0x90;
        if (c == 0xF4) hi = 0x8F;
    } else {
        return 0;
    }
    if (s.size() < len) return 0;
    if (b(1) < lo || b(1) > hi) return 0;
    for (size_t i = 2; i < len; ++i)
        if (b(i) < 0x80 || b(i) > 0xBF) return 0;
    return len;
}

namespace {

constexpr char HEX[] = "0123456789abcdef";
constexpr std::string_view REPLACEMENT = "\xEF\xBF\xBD";  // U+FFFD

// The letter of a C escape for c (\a to \r) when the rules use it, else 0.
char _letter_of(unsigned char c, std::string_view letters) {
    static constexpr std::string_view C_LETTERS = "abtnvfr";  // bytes 7 to 13
    if (c < 7 || c > 13) return 0;
    char letter = C_LETTERS[c - 7];
    return letters.find(letter) != std::string_view::npos ? letter : 0;
}

void _numeric(std::string& out, unsigned char c, std::string_view prefix) {
    out.append(prefix);
    out.push_back(HEX[c >> 4]);
    out.push_back(HEX[c & 15]);
}

}  // namespace

std::string escape_text(std::string_view s, const Escape_Rules& rules) {
    std::string out;
    out.reserve(s.size() + 2);
    if (rules.quoted) out.push_back('"');
    size_t i = 0;
    while (i < s.size()) {
        auto c = static_cast<unsigned char>(s[i]);
        if (c >= 0x80) {
            size_t len = utf8_sequence_length(s.substr(i));
            if (len > 0) {
                out.append(s.substr(i, len));
                i += len;
                continue;
            }
            if (rules.numeric_invalid)
                _numeric(out, c, rules.numeric);
            else
                out.append(REPLACEMENT);
        } else if (rules.quoted && (c == '"' || c == '\\')) {
            out.push_back('\\');
            out.push_back(static_cast<char>(c));
        } else if (char letter = _letter_of(c, rules.letters)) {
            out.push_back('\\');
            out.push_back(letter);
        } else if (!rules.numeric.empty() && (c < 0x20 || c == 0x7f)) {
            _numeric(out, c, rules.numeric);
        } else {
            out.push_back(static_cast<char>(c));
        }
        ++i;
    }
    if (rules.quoted) out.push_back('"');
    return out;
}

std::string utf8_sanitize(std::string_view s) {
    return escape_text(s, Escape_Rules{});
}

std::string_view utf8_drop_cut_character(std::string_view s) {
    // The lead byte of the last character is at most three bytes back (four-byte sequences).
    for (size_t back = 1; back <= 3 && back <= s.size(); ++back) {
        auto c = static_cast<unsigned char>(s[s.size() - back]);
        if ((c & 0xC0) == 0x80) continue;  // a continuation byte
        size_t need = c >= 0xF0 ? 4 : c >= 0xE0 ? 3 : c >= 0xC2 ? 2 : 1;
        if (c > 0xF4) need = 1;
        return need > back ? s.substr(0, s.size() - back) : s;
    }
    return s;
}
