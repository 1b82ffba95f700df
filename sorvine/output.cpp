// Standard output of the helper: everything it says goes there, nothing to standard error.
#include "sorvine/output.h"

#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <string>

namespace sorvine {

namespace {

constexpr int _failureStatus = 1;

}  // namespace

void out(std::string_view bytes) {
    while (!bytes.empty()) {
        ssize_t n = ::write(STDOUT_FILENO, bytes.data(), bytes.size());
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) std::_Exit(_failureStatus);
        bytes.remove_prefix(static_cast<size_t>(n));
    }
}

void fail(std::string_view message) {
    std::string line(message);
    line += '\n';
    out(line);
    std::exit(_failureStatus);
}

}  // namespace sorvine
