// sorvine's transcript parser: any standard input gives a chat log whose turns are not
// empty, and the fenced pass agrees with it when it succeeds.
#include <cstdint>
#include <string>
#include <vector>

#include "fuzz_support.h"
#include "sorvine/transcript.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string_view in = fuzz_bytes(data, size);
    sorvine::ChatLog log = sorvine::parseTranscript(in);
    size_t text_bytes = log.context.size();
    for (const sorvine::Turn& t : log.turns) {
        FUZZ_CHECK(!t.text.empty());
        text_bytes += t.text.size();
    }
    FUZZ_CHECK(text_bytes <= in.size() + log.turns.size() + 1);

    std::vector<std::string_view> lines;
    for (size_t at = 0; at <= in.size();) {
        size_t nl = in.find('\n', at);
        if (nl == std::string_view::npos) nl = in.size();
        lines.push_back(in.substr(at, nl - at));
        at = nl + 1;
    }
    for (bool fences : {true, false}) {
        if (auto parsed = sorvine::parse(lines, fences))
            for (const sorvine::Turn& t : parsed->turns) FUZZ_CHECK(!t.text.empty());
    }
    return 0;
}
