// Fitting a parsed chat into the model's token budget: one prompt, and a note of what was cut.
#include "sorvine/fit.h"

#include <algorithm>
#include <limits>
#include <vector>

#include "sorvine/grapheme.h"

namespace sorvine {

namespace {

constexpr std::string_view _userLabel = "User: ";
constexpr std::string_view _assistantLabel = "Assistant: ";
constexpr std::string_view _contextHeader = "Context:\n";
constexpr std::string_view _earlierHeader = "Earlier conversation:\n";
constexpr std::string_view _latestHeader = "Latest message:\n";
constexpr std::string_view _separator = "\n\n";
constexpr int _cutAttempts = 6;

// a * b / c in integer division, clamped to the 64-bit range instead of overflowing.
int64_t _mulDiv(int64_t a, int64_t b, int64_t c) {
    __int128 q = static_cast<__int128>(a) * b / c;
    q = std::clamp<__int128>(q, std::numeric_limits<int64_t>::min(),
                             std::numeric_limits<int64_t>::max());
    return static_cast<int64_t>(q);
}

std::string _turnLine(const Turn& turn) {
    std::string line(turn.role == Role::user ? _userLabel : _assistantLabel);
    line += turn.text;
    return line;
}

std::string _joined(const std::vector<std::string>& parts, std::string_view sep) {
    std::string out;
    for (size_t i = 0; i < parts.size(); ++i) {
        if (i > 0) out += sep;
        out += parts[i];
    }
    return out;
}

struct _Earlier {
    std::vector<std::string> kept;  // oldest first
    int64_t dropped = 0;
};

// Earlier turns from the newest backwards, while each fits in what is left.
Result<_Earlier> _fitEarlier(const ChatLog& log, int64_t& left, const TokenCounter& count) {
    _Earlier earlier;
    size_t n = log.turns.size() - 1;
    for (size_t i = n; i-- > 0;) {
        std::string line = _turnLine(log.turns[i]);
        line += _separator;
        Result<int64_t> cost = count(line);
        if (!cost) return cost.error();
        if (cost.value() > left) {
            earlier.dropped = static_cast<int64_t>(i) + 1;
            break;
        }
        left -= cost.value();
        line.resize(line.size() - _separator.size());
        earlier.kept.push_back(std::move(line));
    }
    std::reverse(earlier.kept.begin(), earlier.kept.end());
    return earlier;
}

// The sections in order, built in one buffer: prompts can be megabytes long.
std::string _prompt(const std::string& context, const std::vector<std::string>& kept,
                    const std::string& latest) {
    if (context.empty() && kept.empty()) return latest;
    size_t size = _contextHeader.size() + context.size() + _earlierHeader.size() +
                  _latestHeader.size() + latest.size() + 2 * _separator.size();
    for (const auto& line : kept) size += line.size() + _separator.size();
    std::string prompt;
    prompt.reserve(size);
    if (!context.empty()) {
        prompt += _contextHeader;
        prompt += context;
        prompt += _separator;
    }
    if (!kept.empty()) {
        prompt += _earlierHeader;
        for (size_t i = 0; i < kept.size(); ++i) {
            if (i > 0) prompt += _separator;
            prompt += kept[i];
        }
        prompt += _separator;
    }
    prompt += _latestHeader;
    prompt += latest;
    return prompt;
}

}  // namespace

FitOutcome fitPrompt(const ChatLog& log, int64_t budget, const TokenCounter& count) {
    if (log.turns.empty() || log.turns.back().role != Role::user) return FitError::emptyMessage();
    const std::string& latest = log.turns.back().text;
    Result<int64_t> latestTokens = count(latest);
    if (!latestTokens) return latestTokens.error();
    if (latestTokens.value() > budget)
        return FitError::messageTooLong(latestTokens.value(), budget);
    int64_t left = budget - latestTokens.value();

    std::string context = log.context;
    bool contextCut = false;
    if (!context.empty()) {
        Result<int64_t> contextTokens = count(context);
        if (!contextTokens) return contextTokens.error();
        if (contextTokens.value() <= left) {
            left -= contextTokens.value();
        } else {
            Result<CutText> cut = cutToFit(context, contextTokens.value(), left, count);
            if (!cut) return cut.error();
            context = std::move(cut.value().text);
            left = cut.value().left;
            contextCut = true;
        }
    }

    Result<_Earlier> earlier = _fitEarlier(log, left, count);
    if (!earlier) return earlier.error();
    return Fitted{_prompt(context, earlier.value().kept, latest),
                  trimNote(contextCut, earlier.value().dropped)};
}

Result<CutText> cutToFit(std::string_view text, int64_t tokens, int64_t left,
                         const TokenCounter& count) {
    int64_t keep = _mulDiv(left, graphemeCount(text), std::max<int64_t>(tokens, 1));
    for (int attempt = 0; attempt < _cutAttempts; ++attempt) {
        if (keep < 1) break;
        std::string candidate(graphemePrefix(text, keep));
        candidate += cutMarker;
        Result<int64_t> t = count(candidate);
        if (!t) return t.error();
        if (t.value() <= left) return CutText{std::move(candidate), left - t.value()};
        keep = _mulDiv(_mulDiv(keep, left, std::max<int64_t>(t.value(), 1)), 9, 10);
    }
    return CutText{"", left};
}

std::optional<std::string> trimNote(bool contextCut, int64_t droppedTurns) {
    std::vector<std::string> parts;
    if (contextCut) parts.push_back("the seeded context was cut");
    if (droppedTurns > 0) {
        parts.push_back(std::to_string(droppedTurns) + " earlier message" +
                        (droppedTurns == 1 ? " was" : "s were") + " dropped");
    }
    if (parts.empty()) return std::nullopt;
    return std::string(noteMarker) + "To fit the on-device model, " + _joined(parts, " and ") + ".";
}

}  // namespace sorvine
