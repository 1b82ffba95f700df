// Turning whole-answer snapshots into the bytes not yet written.
#pragma once

#include <cstdint>
#include <string_view>

namespace sorvine {

struct DeltaWriter {
    int64_t written = 0;  // bytes of the answer written so far

    // The part of text beyond what was written, never starting inside a character.
    // Bytes once written are not written again, even if the snapshot differs in them.
    std::string_view delta(std::string_view text);
};

}  // namespace sorvine
