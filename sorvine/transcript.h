// The chat transcript: its format, and its parsing into context and turns.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace sorvine {

enum class Role { user, assistant };

struct Turn {
    Role role;
    std::string text;  // never empty after parsing
};

struct ChatLog {
    std::string context;
    std::vector<Turn> turns;  // oldest first
};

// Lines beginning with this are notes the helper wrote ahead of an earlier answer.
inline constexpr std::string_view noteMarker = "> [apple] ";

// Never fails: an unclosed fence only makes the parser read the markers without fences.
ChatLog parseTranscript(std::string_view text);

// One pass over the lines; with honorFences, nothing when a fence is still open at the end.
std::optional<ChatLog> parse(const std::vector<std::string_view>& lines, bool honorFences);

}  // namespace sorvine
