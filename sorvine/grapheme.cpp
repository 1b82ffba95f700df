// Extended grapheme cluster boundaries: the rules that decide where one character ends
// (CR LF, controls, Hangul syllables, combining and spacing marks, emoji ZWJ sequences,
// regional indicator pairs), over the generated property table.
#include "sorvine/grapheme.h"

#include <algorithm>

#include "sorvine/utf8.h"

namespace sorvine {

namespace {

using enum GraphemeBreak;

constexpr char32_t _hangulFirst = 0xAC00;
constexpr char32_t _hangulLast = 0xD7A3;
constexpr char32_t _hangulTrailCount = 28;  // syllables per leading and vowel pair

bool _isControlLike(GraphemeBreak b) {
    return b == Control || b == CR || b == LF;
}

// Where an emoji ZWJ sequence stands: after a pictograph and its extenders, or after the
// ZWJ that follows them, a next pictograph stays in the same cluster.
enum class _Emoji { None, Pictograph, PictographZwj };

struct _State {
    GraphemeBreak prev;
    _Emoji emoji;
    int regionalRun;  // regional indicators ending at prev
};

_State _start(GraphemeBreak b) {
    return {b, b == ExtendedPictographic ? _Emoji::Pictograph : _Emoji::None,
            b == RegionalIndicator ? 1 : 0};
}

bool _breakBefore(const _State& st, GraphemeBreak cur) {
    GraphemeBreak prev = st.prev;
    if (prev == CR && cur == LF) return false;
    if (_isControlLike(prev) || _isControlLike(cur)) return true;
    if (prev == L && (cur == L || cur == V || cur == LV || cur == LVT)) return false;
    if ((prev == LV || prev == V) && (cur == V || cur == T)) return false;
    if ((prev == LVT || prev == T) && cur == T) return false;
    if (cur == Extend || cur == ZWJ || cur == SpacingMark) return false;
    if (prev == Prepend) return false;
    if (cur == ExtendedPictographic && st.emoji == _Emoji::PictographZwj) return false;
    if (prev == RegionalIndicator && cur == RegionalIndicator) return st.regionalRun % 2 == 0;
    return true;
}

void _advance(_State& st, GraphemeBreak cur) {
    if (cur == ExtendedPictographic)
        st.emoji = _Emoji::Pictograph;
    else if (cur == Extend && st.emoji == _Emoji::Pictograph)
        st.emoji = _Emoji::Pictograph;
    else if (cur == ZWJ && st.emoji == _Emoji::Pictograph)
        st.emoji = _Emoji::PictographZwj;
    else
        st.emoji = _Emoji::None;
    st.regionalRun = cur == RegionalIndicator ? st.regionalRun + 1 : 0;
    st.prev = cur;
}

}  // namespace

GraphemeBreak graphemeBreakOf(char32_t cp) {
    if (cp >= 0x20 && cp < 0x7F) return Other;  // printable ASCII, the common case
    if (cp >= _hangulFirst && cp <= _hangulLast)
        return (cp - _hangulFirst) % _hangulTrailCount == 0 ? LV : LVT;
    const GraphemeRange* end = kGraphemeRanges + kGraphemeRangeCount;
    const GraphemeRange* it = std::upper_bound(
        kGraphemeRanges, end, cp, [](char32_t c, const GraphemeRange& r) { return c < r.first; });
    if (it == kGraphemeRanges) return Other;
    --it;
    return cp <= it->last ? it->value : Other;
}

size_t graphemeEnd(std::string_view s, size_t pos) {
    Scalar first = scalarAt(s, pos);
    if (first.length == 0) return pos;
    _State st = _start(graphemeBreakOf(first.value));
    pos += first.length;
    while (pos < s.size()) {
        Scalar next = scalarAt(s, pos);
        GraphemeBreak cur = graphemeBreakOf(next.value);
        if (_breakBefore(st, cur)) break;
        _advance(st, cur);
        pos += next.length;
    }
    return pos;
}

int64_t graphemeCount(std::string_view s) {
    int64_t n = 0;
    for (size_t pos = 0; pos < s.size(); pos = graphemeEnd(s, pos)) ++n;
    return n;
}

std::string_view graphemePrefix(std::string_view s, int64_t n) {
    size_t pos = 0;
    for (int64_t i = 0; i < n && pos < s.size(); ++i) pos = graphemeEnd(s, pos);
    return s.substr(0, pos);
}

}  // namespace sorvine
