// The grapheme break property table (generated into grapheme_table.cpp).
#pragma once

#include <cstddef>
#include <cstdint>

namespace sorvine {

// Grapheme cluster break property values, with pictographic characters (which the
// table otherwise files as Other) as a value of their own.
enum class GraphemeBreak : uint8_t {
    Other,
    CR,
    LF,
    Control,
    Extend,
    ZWJ,
    RegionalIndicator,
    Prepend,
    SpacingMark,
    L,
    V,
    T,
    LV,
    LVT,
    ExtendedPictographic,
};

struct GraphemeRange {
    char32_t first;
    char32_t last;
    GraphemeBreak value;
};

// Sorted, not overlapping; code points in no range are Other.
extern const GraphemeRange kGraphemeRanges[];
extern const size_t kGraphemeRangeCount;

}  // namespace sorvine
