// Time to parse and fit chat transcripts of growing size with a counter that costs nothing:
// the time per byte should stay flat (fitting is linear in the transcript's size).
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string>

#include "sorvine/fit.h"
#include "sorvine/transcript.h"

using namespace sorvine;

namespace {

constexpr size_t kTurnBytes = 1048;  // 2,000 turns make 2 MiB
constexpr int kRepetitions = 5;

// One turn of exactly kTurnBytes, with non-ASCII text and, every third, fenced code.
std::string turn(bool user, bool fenced) {
    std::string t = user ? "### User\n" : "### Assistant\n";
    if (fenced) t += "```cpp\n### User\nint main() {}\n```\n";
    while (t.size() + 60 < kTurnBytes)
        t += "Some words of the message, caf\xC3\xA9 and \xF0\x9F\x98\x80 included.\n";
    t.append(kTurnBytes - 1 - t.size(), 'x');
    return t + "\n";
}

// turns turns alternating roles, ending with a user turn.
std::string transcript(size_t turns) {
    std::string text;
    for (size_t i = 0; i < turns; ++i) text += turn((turns - i) % 2 == 1, i % 3 == 0);
    return text;
}

double millisecondsSince(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start)
        .count();
}

}  // namespace

int main() {
    // Costs nothing: one token per four bytes, read off the length.
    TokenCounter count = [](std::string_view s) -> Result<int64_t> {
        return static_cast<int64_t>(s.size() / 4);
    };
    std::printf("%8s %8s %10s %10s %12s\n", "turns", "MiB", "parse ms", "fit ms", "ns per byte");
    for (size_t turns : {500, 1000, 2000, 4000, 8000}) {
        std::string text = transcript(turns);
        double parseBest = 1e18, fitBest = 1e18;
        size_t promptSize = 0;
        for (int rep = 0; rep < kRepetitions; ++rep) {
            auto start = std::chrono::steady_clock::now();
            ChatLog log = parseTranscript(text);
            parseBest = std::min(parseBest, millisecondsSince(start));
            start = std::chrono::steady_clock::now();
            FitOutcome fit = fitPrompt(log, int64_t{1} << 40, count);
            fitBest = std::min(fitBest, millisecondsSince(start));
            if (auto* f = std::get_if<Fitted>(&fit)) promptSize = f->prompt.size();
        }
        double mib = static_cast<double>(text.size()) / (1 << 20);
        std::printf("%8zu %8.2f %10.2f %10.2f %12.2f   (prompt %zu bytes)\n", turns, mib, parseBest,
                    fitBest, (parseBest + fitBest) * 1e6 / text.size(), promptSize);
    }
    return 0;
}
