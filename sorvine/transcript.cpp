// The chat transcript: its format, and its parsing into context and turns.
#include "sorvine/transcript.h"

#include "sorvine/blank.h"

namespace sorvine {

namespace {

constexpr std::string_view _userMarker = "### User";
constexpr std::string_view _assistantMarker = "### Assistant";
constexpr size_t _fenceMinimum = 3;  // backticks or tildes that open a code fence

struct _Fence {
    char mark;
    size_t length;
};

struct _TurnLines {
    Role role;
    std::vector<std::string_view> lines;
};

std::vector<std::string_view> _splitLines(std::string_view text) {
    std::vector<std::string_view> lines;
    size_t start = 0;
    for (;;) {
        size_t nl = text.find('\n', start);
        if (nl == std::string_view::npos) break;
        lines.push_back(text.substr(start, nl - start));
        start = nl + 1;
    }
    lines.push_back(text.substr(start));
    return lines;
}

std::string_view _rightTrimmed(std::string_view line) {
    size_t end = line.find_last_not_of(" \t\r");
    return end == std::string_view::npos ? line.substr(0, 0) : line.substr(0, end + 1);
}

std::string_view _leftTrimmed(std::string_view line) {
    size_t start = line.find_first_not_of(" \t");
    return start == std::string_view::npos ? line.substr(line.size()) : line.substr(start);
}

size_t _runOf(std::string_view s, char c) {
    size_t n = 0;
    while (n < s.size() && s[n] == c) ++n;
    return n;
}

bool _closesFence(std::string_view stripped, const _Fence& fence) {
    return stripped.size() >= fence.length && _runOf(stripped, fence.mark) == stripped.size();
}

std::optional<_Fence> _opensFence(std::string_view stripped) {
    if (stripped.empty() || (stripped[0] != '`' && stripped[0] != '~')) return std::nullopt;
    size_t run = _runOf(stripped, stripped[0]);
    if (run < _fenceMinimum) return std::nullopt;
    return _Fence{stripped[0], run};
}

std::string _joinTrimmed(const std::vector<std::string_view>& lines) {
    size_t size = lines.size();
    for (auto line : lines) size += line.size();
    std::string joined;
    joined.reserve(size);
    for (size_t i = 0; i < lines.size(); ++i) {
        if (i > 0) joined += '\n';
        joined += lines[i];
    }
    return std::string(trimBlank(joined));
}

}  // namespace

std::optional<ChatLog> parse(const std::vector<std::string_view>& lines, bool honorFences) {
    std::vector<std::string_view> context;
    std::vector<_TurnLines> turns;
    std::optional<_Fence> fence;
    for (std::string_view line : lines) {
        std::string_view trimmed = _rightTrimmed(line);
        std::string_view stripped = _leftTrimmed(trimmed);
        bool content = false;
        if (honorFences && fence) {
            if (_closesFence(stripped, *fence)) fence.reset();
            content = true;
        } else if (honorFences && (fence = _opensFence(stripped))) {
            content = true;
        } else if (trimmed == _userMarker) {
            turns.push_back({Role::user, {}});
        } else if (trimmed == _assistantMarker) {
            turns.push_back({Role::assistant, {}});
        } else if (!line.starts_with(noteMarker)) {
            content = true;
        }
        if (content) (turns.empty() ? context : turns.back().lines).push_back(line);
    }
    if (honorFences && fence) return std::nullopt;

    ChatLog log;
    log.context = _joinTrimmed(context);
    for (const auto& turn : turns) {
        std::string text = _joinTrimmed(turn.lines);
        if (!text.empty()) log.turns.push_back({turn.role, std::move(text)});
    }
    return log;
}

ChatLog parseTranscript(std::string_view text) {
    std::vector<std::string_view> lines = _splitLines(text);
    std::optional<ChatLog> fenced = parse(lines, true);
    if (fenced && (fenced->turns.empty() || fenced->turns.back().role == Role::user))
        return std::move(*fenced);
    return std::move(*parse(lines, false));
}

}  // namespace sorvine
