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
    // One forward walk: clusters cannot be found from the end without looking back.
    size_t first = s.size(), last = 0;
    for (size_t pos = 0; pos < s.size();) {
        size_t end = graphemeEnd(s, pos);
        if (!_blankCluster(s.substr(pos, end - pos))) {
            if (first == s.size()) first = pos;
            last = end;
        }
        pos = end;
    }
    if (first == s.size()) return s.substr(0, 0);
    return s.substr(first, last - first);
}

}  // namespace sorvine
