// The helper's fixed texts: the model's instructions and every message shown to the user.
#pragma once

#include <string>
#include <string_view>

#include "sorvine/fit.h"
#include "sorvine/model.h"

namespace sorvine {

inline constexpr std::string_view kInstructions =
    "You are a coding assistant inside a text editor. Answer the latest message. Use the "
    "context and earlier conversation only when they help. Be concise and use Markdown.";

inline constexpr std::string_view kOldSystemMessage =
    "Apple Intelligence chat needs macOS 26.4 or later.";

std::string fitMessage(const FitError& error);
std::string generationMessage(const ModelError& error);
std::string unavailableMessage(UnavailableReason reason);
// What is shown when the model is not available: the model layer's own words, if any.
std::string unavailableMessage(const Availability& availability);

// The local model server's failures, with the base URL asked.
std::string noServerMessage(std::string_view url);
std::string serverLoadingMessage(std::string_view url);

}  // namespace sorvine
