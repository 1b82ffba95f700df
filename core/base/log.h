// Log lines on stderr, and the %q quoting used in messages.
#pragma once

#include <string>
#include <string_view>

// Writes "quelmar: " + line + "\n" to stderr in one write, so lines of different
// threads never mix.
void log_line(std::string_view line);

// Writes exactly these bytes to stderr in one write.
void write_stderr(std::string_view bytes);

// The value in double quotes with backslash escapes: \" \\ \a \b \f \n \r \t \v, other
// control bytes and invalid UTF-8 as \xNN; valid UTF-8 is kept as it is.
std::string quote(std::string_view value);
