// Standard output of the helper: everything it says goes there, nothing to standard error.
#pragma once

#include <string_view>

namespace sorvine {

// Writes the bytes, if any, to standard output at once. A reader that has gone away ends
// the program with status 1: nobody is left to read an answer or a message.
void out(std::string_view bytes);

// Writes the message and a newline, and ends the program with status 1.
[[noreturn]] void fail(std::string_view message);

}  // namespace sorvine
