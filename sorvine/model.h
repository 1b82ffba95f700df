// The language model layer: the operations the helper needs of a model, whatever runs it.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "sorvine/result.h"

namespace sorvine {

enum class UnavailableReason {
    deviceNotEligible,
    appleIntelligenceNotEnabled,
    modelNotReady,
    other
};

struct Availability {
    bool available = false;
    UnavailableReason reason = UnavailableReason::other;  // when not available
    // When not available: the model layer's own words for the cause, shown instead of the
    // reason's text when not empty.
    std::string message;
};

// What is counted: the fixed instructions, or a prompt text.
struct Instructions {
    std::string_view text;
};
struct Prompt {
    std::string_view text;
};

struct GenerationOptions {
    int64_t maximumResponseTokens = 0;
};

// The whole answer generated so far.
struct Snapshot {
    std::string_view content;
};

// Called once per snapshot, in order, while the answer is generated.
using SnapshotSink = std::function<void(const Snapshot&)>;

class LanguageModelSession {
  public:
    virtual ~LanguageModelSession() = default;
    // Streams the answer to prompt into sink; the error when the stream fails, even after
    // some snapshots were delivered.
    virtual Status streamResponse(std::string_view prompt, const GenerationOptions& options,
                                  const SnapshotSink& sink) = 0;
};

class SystemLanguageModel {
  public:
    virtual ~SystemLanguageModel() = default;
    virtual Availability availability() = 0;
    virtual Result<int64_t> contextSize() = 0;
    virtual Result<int64_t> tokenCount(Instructions instructions) = 0;
    virtual Result<int64_t> tokenCount(Prompt prompt) = 0;
    // A session with no tools that gives the model these instructions with every prompt.
    virtual std::unique_ptr<LanguageModelSession> makeSession(std::string instructions) = 0;
};

// The model this system uses by default (set up from the environment of the model layer).
std::unique_ptr<SystemLanguageModel> defaultModel();

}  // namespace sorvine
