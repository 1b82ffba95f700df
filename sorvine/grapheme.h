// Characters as the user sees them: extended grapheme clusters of UTF-8 text.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "sorvine/grapheme_table.h"

namespace sorvine {

GraphemeBreak graphemeBreakOf(char32_t cp);

// The byte offset where the cluster that starts at pos ends (pos itself at the end).
size_t graphemeEnd(std::string_view s, size_t pos);

// How many clusters s holds.
int64_t graphemeCount(std::string_view s);

// The first n clusters of s (all of s when it holds fewer).
std::string_view graphemePrefix(std::string_view s, int64_t n);

}  // namespace sorvine
