// The language model layer over a local llama.cpp server's HTTP interface.
#pragma once

#include <memory>
#include <string>

#include "sorvine/model.h"
#include "sorvine/model_http.h"

namespace sorvine {

// Where the server listens unless SORVINE_MODEL_URL names another base URL.
inline constexpr const char* kDefaultModelUrl = "http://127.0.0.1:8080";
inline constexpr const char* kModelUrlVariable = "SORVINE_MODEL_URL";

class LlamaServerModel : public SystemLanguageModel {
  public:
    explicit LlamaServerModel(std::string baseUrl);

    Availability availability() override;
    Result<int64_t> contextSize() override;
    Result<int64_t> tokenCount(Instructions instructions) override;
    Result<int64_t> tokenCount(Prompt prompt) override;
    std::unique_ptr<LanguageModelSession> makeSession(std::string instructions) override;

  private:
    Result<int64_t> _tokenize(std::string_view text);

    std::shared_ptr<HttpClient> http_;  // shared with the sessions
};

}  // namespace sorvine
