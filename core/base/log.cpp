// Log lines on stderr, and the %q quoting used in messages.
#include "core/base/log.h"

#include <unistd.h>

#include <cerrno>

#include "core/base/utf8.h"
#include "core/base/write_all.h"

namespace {

// C's one-letter escapes, \xNN for the other control bytes, DEL and invalid UTF-8.
constexpr Escape_Rules LOG_QUOTE = {true, "abtnvfr", "\\x", true};

}  // namespace

void write_stderr(std::string_view bytes) {
    write_all(STDERR_FILENO, bytes);
}

void log_line(std::string_view line) {
    std::string out;
    out.reserve(line.size() + 10);
    out.append("quelmar: ").append(line).push_back('\n');
    write_stderr(out);
}

std::string quote(std::string_view value) {
    return escape_text(value, LOG_QUOTE);
}
