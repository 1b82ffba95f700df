// One chat answer: read the transcript, fit it, stream the model's answer to standard output.
#include "sorvine/run.h"

#include <unistd.h>

#include <cerrno>
#include <variant>

#include "sorvine/delta_writer.h"
#include "sorvine/fit.h"
#include "sorvine/messages.h"
#include "sorvine/output.h"
#include "sorvine/transcript.h"
#include "sorvine/utf8.h"

namespace sorvine {

namespace {

// The answer's token limit, kept free in the budget, with a margin for the chat template.
constexpr int64_t _answerTokens = 1500;
constexpr int64_t _templateMargin = 64;
constexpr std::string_view _separator = "\n\n";

// A model failure: after a partial answer, the message goes on a paragraph of its own.
[[noreturn]] void _failGeneration(const DeltaWriter& writer, const ModelError& error) {
    if (writer.written > 0) out(_separator);
    fail(generationMessage(error));
}

}  // namespace

std::string readStandardInput() {
    std::string bytes;
    char buf[65536];
    for (;;) {
        ssize_t n = ::read(STDIN_FILENO, buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return bytes;
        bytes.append(buf, static_cast<size_t>(n));
    }
}

void run(SystemLanguageModel& model) {
    Availability availability = model.availability();
    if (!availability.available) fail(unavailableMessage(availability));

    ChatLog log = parseTranscript(decodeUtf8(readStandardInput()));
    DeltaWriter writer;

    Result<int64_t> instructionTokens = model.tokenCount(Instructions{kInstructions});
    if (!instructionTokens) _failGeneration(writer, instructionTokens.error());
    Result<int64_t> contextSize = model.contextSize();
    if (!contextSize) _failGeneration(writer, contextSize.error());
    int64_t budget =
        contextSize.value() - instructionTokens.value() - _answerTokens - _templateMargin;

    FitOutcome fit = fitPrompt(
        log, budget, [&](std::string_view text) { return model.tokenCount(Prompt{text}); });
    if (auto* error = std::get_if<FitError>(&fit)) fail(fitMessage(*error));
    if (auto* error = std::get_if<ModelError>(&fit)) _failGeneration(writer, *error);
    const Fitted& fitted = std::get<Fitted>(fit);
    if (fitted.note) out(*fitted.note + std::string(_separator));

    std::unique_ptr<LanguageModelSession> session = model.makeSession(std::string(kInstructions));
    Status streamed = session->streamResponse(
        fitted.prompt, GenerationOptions{_answerTokens},
        [&](const Snapshot& snapshot) { out(writer.delta(snapshot.content)); });
    if (streamed) _failGeneration(writer, *streamed);
}

}  // namespace sorvine
