// What the helper needs of the operating system before it starts.
#pragma once

namespace sorvine {

// True on a system too old for the helper (macOS before 26.4); other systems set no minimum.
bool systemTooOld();

}  // namespace sorvine
