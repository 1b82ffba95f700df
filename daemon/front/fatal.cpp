// Ends start-up with one log line and exit status 2.
#include "daemon/front/fatal.h"

#include <cstdlib>

#include "core/base/log.h"

// Start-up failures end the process before anything has reached stdout.
constexpr int FATAL_EXIT_STATUS = 2;

void fatal(std::string_view message) {
    log_line(message);
    std::exit(FATAL_EXIT_STATUS);
}
