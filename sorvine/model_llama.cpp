// The language model layer over a local llama.cpp server's HTTP interface: health for
// availability, properties for the context size, tokenize for counts, and the
// OpenAI-compatible chat endpoint, streamed, for answers.
#include "sorvine/model_llama.h"

#include <cstdlib>
#include <nlohmann/json.hpp>

#include "sorvine/messages.h"
#include "sorvine/model_stream.h"

namespace sorvine {

namespace {

using nlohmann::json;

constexpr long _healthTimeoutSeconds = 5;
constexpr long _propsTimeoutSeconds = 10;
// Tokenizing a long transcript is quick, but the server may be busy with another request.
constexpr long _tokenizeTimeoutSeconds = 60;
// Contexts beyond this are not a real model's answer.
constexpr int64_t _contextSizeLimit = int64_t{1} << 40;

const json* _member(const json& j, const char* key) {
    if (!j.is_object()) return nullptr;
    auto it = j.find(key);
    return it == j.end() ? nullptr : &*it;
}

std::string _dump(const json& j) {
    return j.dump(-1, ' ', false, json::error_handler_t::replace);
}

ModelError _unreached(const HttpClient& http, const HttpReply& reply) {
    return {std::nullopt,
            "cannot reach the model server at " + http.baseUrl() + ": " + reply.error};
}

// A failed request: not reached at all, or answered with an error status or body.
ModelError _requestError(const HttpClient& http, const HttpReply& reply, bool generating) {
    if (!reply.reached) return _unreached(http, reply);
    if (reply.status == 200 && !reply.error.empty())
        return {std::nullopt, "the model server's answer broke off: " + reply.error};
    return serverError(reply.status, reply.body, generating);
}

class _Session : public LanguageModelSession {
  public:
    _Session(std::shared_ptr<HttpClient> http, std::string instructions)
        : http_(std::move(http)), instructions_(std::move(instructions)) {}

    Status streamResponse(std::string_view prompt, const GenerationOptions& options,
                          const SnapshotSink& sink) override {
        json body = {
            {"messages", json::array({{{"role", "system"}, {"content", instructions_}},
                                      {{"role", "user"}, {"content", std::string(prompt)}}})},
            {"stream", true},
            {"max_tokens", options.maximumResponseTokens}};
        std::string content;
        auto onDelta = [&](std::string_view delta) {
            content += delta;
            sink(Snapshot{content});
        };
        ChatStreamDecoder decoder;
        Status streamError;
        HttpReply reply =
            http_->postStreaming("/v1/chat/completions", _dump(body), [&](std::string_view bytes) {
                streamError = decoder.feed(bytes, onDelta);
                return !streamError;
            });
        if (streamError) return streamError;
        if (!reply.error.empty() || reply.status != 200) return _requestError(*http_, reply, true);
        return decoder.finish(onDelta);
    }

  private:
    std::shared_ptr<HttpClient> http_;
    std::string instructions_;
};

}  // namespace

LlamaServerModel::LlamaServerModel(std::string baseUrl)
    : http_(std::make_shared<HttpClient>(std::move(baseUrl))) {}

Availability LlamaServerModel::availability() {
    HttpReply reply = http_->get("/health", _healthTimeoutSeconds);
    if (reply.status == 200 && reply.error.empty()) return {true, UnavailableReason::other, ""};
    if (!reply.reached)
        return {false, UnavailableReason::modelNotReady, noServerMessage(http_->baseUrl())};
    // Listening while the model is still loading.
    if (reply.status == 503)
        return {false, UnavailableReason::modelNotReady, serverLoadingMessage(http_->baseUrl())};
    return {false, UnavailableReason::other, ""};
}

Result<int64_t> LlamaServerModel::contextSize() {
    HttpReply reply = http_->get("/props", _propsTimeoutSeconds);
    if (reply.status != 200 || !reply.error.empty()) return _requestError(*http_, reply, false);
    json props = json::parse(reply.body, nullptr, false);
    const json* n = nullptr;
    if (const json* settings = _member(props, "default_generation_settings"))
        n = _member(*settings, "n_ctx");
    if (!n) n = _member(props, "n_ctx");
    if (!n || !n->is_number_integer())
        return ModelError{std::nullopt, "the model server did not say its context size"};
    auto size = n->get_ref<const json::number_integer_t&>();
    if (size < 0 || size > _contextSizeLimit)
        return ModelError{std::nullopt, "the model server gave an impossible context size"};
    return static_cast<int64_t>(size);
}

Result<int64_t> LlamaServerModel::tokenCount(Instructions instructions) {
    return _tokenize(instructions.text);
}

Result<int64_t> LlamaServerModel::tokenCount(Prompt prompt) {
    return _tokenize(prompt.text);
}

Result<int64_t> LlamaServerModel::_tokenize(std::string_view text) {
    json body = {{"content", std::string(text)}, {"add_special", false}};
    HttpReply reply = http_->post("/tokenize", _dump(body), _tokenizeTimeoutSeconds);
    if (reply.status != 200 || !reply.error.empty()) return _requestError(*http_, reply, false);
    json answer = json::parse(reply.body, nullptr, false);
    const json* tokens = _member(answer, "tokens");
    if (!tokens || !tokens->is_array())
        return ModelError{std::nullopt, "the model server did not count the tokens"};
    return static_cast<int64_t>(tokens->size());
}

std::unique_ptr<LanguageModelSession> LlamaServerModel::makeSession(std::string instructions) {
    return std::make_unique<_Session>(http_, std::move(instructions));
}

std::unique_ptr<SystemLanguageModel> defaultModel() {
    const char* url = std::getenv(kModelUrlVariable);
    return std::make_unique<LlamaServerModel>(url && *url ? url : kDefaultModelUrl);
}

}  // namespace sorvine
