// Trimming of blank characters (Unicode White_Space) at the ends of a text.
#pragma once

#include <string_view>

namespace sorvine {

bool isWhiteSpace(char32_t cp);

// s without the characters at its start and end that are white space; a character counts
// as white space when every scalar of its cluster is (so CR LF does, and a space carrying
// a combining mark does not).
std::string_view trimBlank(std::string_view s);

}  // namespace sorvine
