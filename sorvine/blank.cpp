// Trimming of blank characters (Unicode White_Space) at the ends of a text.
#include "sorvine/blank.h"

#include "sorvine/grapheme.h"
#include "sorvine/utf8.h"

namespace sorvine {

namespace {

bool _blankCluster(std::string_view cluster) {
    for (size_t pos = 0; pos < cluster.size();) {
        Scalar sc = scalarAt(cluster, pos);
        if (!isWhiteSpace(sc.value)) return false;
        pos += sc.length;
    }
    return true;
}

}  // namespace

bool isWhiteSpace(char32_t cp) {
    switch (cp) {
        case 0x20:
        case 0x85:
        case 0xA0:
        case 0x1680:
        case 0x2028:
        case 0x2029:
        case 0x202F:
        case 0x205F:
        case 0x3000:
            return true;
        default:
            return (cp >= 0x09 && cp <= 0x0D) || (cp >= 0x2000 && cp <= 0x200A);
    }
}

std::string_view trimBlank(std::string_view s) {
    size_t first = 0;
    while (first < s.size()) {
        size_t end = graphemeEnd(s, first);
        if (!_blankCluster(s.substr(first, end - first))) break;
        first = end;
    }
    if (first == s.size()) return s.substr(0, 0);
    // Clusters are found walking forward from a known boundary, and one always follows a
    // line feed; so the end is found line by line from the last, not from the start.
    size_t limit = s.size();
    for (;;) {
        size_t nl = s.rfind('\n', limit - 1);
        size_t from = nl == std::string_view::npos || nl < first ? first : nl + 1;
        std::string_view line = s.substr(0, limit);
        size_t last = from;
        for (size_t pos = from; pos < line.size();) {
            size_t end = graphemeEnd(line, pos);
            if (!_blankCluster(line.substr(pos, end - pos))) last = end;
            pos = end;
        }
        if (last > from || from == first) return s.substr(first, last - first);
        limit = nl;  // this line was blank, and so is its line feed
    }
}

}  // namespace sorvine
