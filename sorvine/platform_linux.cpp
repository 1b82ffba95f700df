// What the helper needs of Linux before it starts: nothing, its model runs in a server.
#include "sorvine/platform.h"

namespace sorvine {

bool systemTooOld() {
    return false;
}

}  // namespace sorvine
