// Turning whole-answer snapshots into the bytes not yet written.
#include "sorvine/delta_writer.h"

namespace sorvine {

namespace {

bool _isContinuation(char c) {
    auto b = static_cast<unsigned char>(c);
    return b >= 0x80 && b <= 0xBF;
}

}  // namespace

std::string_view DeltaWriter::delta(std::string_view text) {
    auto n = static_cast<size_t>(written);
    if (n >= text.size()) return {};
    size_t start = n;
    while (start < text.size() && _isContinuation(text[start])) ++start;
    written = static_cast<int64_t>(text.size());
    return text.substr(start);
}

}  // namespace sorvine
