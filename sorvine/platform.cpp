// What the helper needs of the operating system before it starts.
#include "sorvine/platform.h"

#if defined(__APPLE__)
#include <sys/sysctl.h>

#include <cstdio>
#endif

namespace sorvine {

#if defined(__APPLE__)

namespace {

constexpr int _oldestMajor = 26;
constexpr int _oldestMinor = 4;

}  // namespace

bool systemTooOld() {
    char version[64] = {0};
    size_t size = sizeof version - 1;
    if (sysctlbyname("kern.osproductversion", version, &size, nullptr, 0) != 0) return true;
    int major = 0, minor = 0;
    if (std::sscanf(version, "%d.%d", &major, &minor) < 1) return true;
    return major < _oldestMajor || (major == _oldestMajor && minor < _oldestMinor);
}

#else

bool systemTooOld() {
    return false;
}

#endif

}  // namespace sorvine
