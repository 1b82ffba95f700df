// Monotonic time in nanoseconds, and sleeping that resumes after signals.
#include "core/base/clock.h"

#include <sys/time.h>
#include <time.h>

#include <cerrno>

int64_t mono_ns() {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * NS_PER_SEC + ts.tv_nsec;
}

void sleep_ns(int64_t ns) {
    if (ns <= 0) return;
    struct timespec req {
        static_cast<time_t>(ns / NS_PER_SEC), static_cast<long>(ns % NS_PER_SEC)
    };
    struct timespec rem {};
    while (nanosleep(&req, &rem) != 0 && errno == EINTR) req = rem;
}

void ns_to_timeval(int64_t ns, struct timeval& tv) {
    if (ns <= 0) {
        tv.tv_sec = 0;
        tv.tv_usec = 0;
        return;
    }
    if (ns < NS_PER_MS) ns = NS_PER_MS;
    tv.tv_sec = static_cast<time_t>(ns / NS_PER_SEC);
    tv.tv_usec = static_cast<suseconds_t>((ns % NS_PER_SEC) / 1000);
}
