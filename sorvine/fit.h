// Fitting a parsed chat into the model's token budget: one prompt, and a note of what was cut.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <variant>

#include "sorvine/result.h"
#include "sorvine/transcript.h"

namespace sorvine {

struct Fitted {
    std::string prompt;
    std::optional<std::string> note;  // absent when nothing was cut or dropped
};

struct FitError {
    enum class Kind { messageTooLong, emptyMessage };
    Kind kind;
    int64_t tokens = 0;  // messageTooLong: what the latest message needs
    int64_t budget = 0;  // messageTooLong: what there is

    static FitError messageTooLong(int64_t tokens, int64_t budget) {
        return {Kind::messageTooLong, tokens, budget};
    }
    static FitError emptyMessage() { return {Kind::emptyMessage}; }
};

// Token count of a text; its errors pass through fitting unchanged.
using TokenCounter = std::function<Result<int64_t>(std::string_view)>;

// A fitted prompt, a fitting error, or the counter's error.
using FitOutcome = std::variant<Fitted, FitError, ModelError>;

inline constexpr std::string_view cutMarker = "\n... [trimmed]";

FitOutcome fitPrompt(const ChatLog& log, int64_t budget, const TokenCounter& count);

struct CutText {
    std::string text;  // empty when no cut fits
    int64_t left;      // tokens still free
};

// text (whose count is tokens) cut to fit in left tokens, measured in characters.
Result<CutText> cutToFit(std::string_view text, int64_t tokens, int64_t left,
                         const TokenCounter& count);

std::optional<std::string> trimNote(bool contextCut, int64_t droppedTurns);

}  // namespace sorvine
