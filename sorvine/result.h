// Errors of the model layer as values, and the result of a call that may fail.
#pragma once

#include <optional>
#include <string>
#include <utility>
#include <variant>

namespace sorvine {

// The generation failures that get a message of their own; `other` is any further one.
enum class GenerationError {
    exceededContextWindowSize,
    guardrailViolation,
    unsupportedLanguageOrLocale,
    rateLimited,
    refusal,
    other,
};

// A failure of the model layer: a generation error with its case, or an error of any
// other kind (transport, malformed answer), and a description for the user either way.
struct ModelError {
    std::optional<GenerationError> generation;
    std::string description;
};

template <class T>
class Result {
  public:
    Result(T value) : v_(std::move(value)) {}
    Result(ModelError error) : v_(std::move(error)) {}

    bool ok() const { return v_.index() == 0; }
    explicit operator bool() const { return ok(); }
    const T& value() const { return std::get<0>(v_); }
    T& value() { return std::get<0>(v_); }
    const ModelError& error() const { return std::get<1>(v_); }

  private:
    std::variant<T, ModelError> v_;
};

// The outcome of a call that returns nothing: no error means success.
using Status = std::optional<ModelError>;

}  // namespace sorvine
