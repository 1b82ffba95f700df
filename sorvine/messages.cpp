// The helper's fixed texts: the model's instructions and every message shown to the user.
#include "sorvine/messages.h"

namespace sorvine {

std::string fitMessage(const FitError& error) {
    if (error.kind == FitError::Kind::emptyMessage) return "There is no message to send.";
    return "This message is too long for the on-device model (" + std::to_string(error.tokens) +
           " tokens, limit " + std::to_string(error.budget) + ").";
}

std::string generationMessage(const ModelError& error) {
    switch (error.generation.value_or(GenerationError::other)) {
        case GenerationError::exceededContextWindowSize:
            return "This chat is too long for the on-device model. Start a new chat or shorten "
                   "the message.";
        case GenerationError::guardrailViolation:
            return "Apple's safety guardrails blocked this request.";
        case GenerationError::unsupportedLanguageOrLocale:
            return "The on-device model does not support this language.";
        case GenerationError::rateLimited:
            return "The on-device model is busy. Try again in a moment.";
        case GenerationError::refusal:
            return "The on-device model declined to answer.";
        case GenerationError::other:
            break;
    }
    return "The on-device model failed: " + error.description;
}

std::string unavailableMessage(UnavailableReason reason) {
    switch (reason) {
        case UnavailableReason::deviceNotEligible:
            return "Apple Intelligence is not supported on this Mac.";
        case UnavailableReason::appleIntelligenceNotEnabled:
            return "Apple Intelligence is turned off. Turn it on in System Settings > Apple "
                   "Intelligence & Siri.";
        case UnavailableReason::modelNotReady:
            return "The Apple Intelligence model is not ready yet. It may still be downloading, "
                   "so try again later.";
        case UnavailableReason::other:
            break;
    }
    return "The Apple Intelligence model is unavailable.";
}

std::string unavailableMessage(const Availability& availability) {
    if (!availability.message.empty()) return availability.message;
    return unavailableMessage(availability.reason);
}

std::string noServerMessage(std::string_view url) {
    return "No language model server answers at " + std::string(url) +
           ". Start llama-server there, or set SORVINE_MODEL_URL.";
}

std::string serverLoadingMessage(std::string_view url) {
    return "The language model server at " + std::string(url) +
           " is still loading its model. Try again in a moment.";
}

}  // namespace sorvine
