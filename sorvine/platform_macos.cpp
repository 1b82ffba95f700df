// What the helper needs of macOS before it starts: a system new enough for its model.
#include <sys/sysctl.h>

#include <cstdio>

#include "sorvine/platform.h"

namespace sorvine {

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

}  // namespace sorvine
