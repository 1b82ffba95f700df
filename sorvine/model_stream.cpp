// Reading the model server's answers: its streamed chat events and its error bodies.
#include "sorvine/model_stream.h"

#include <nlohmann/json.hpp>

#include "sorvine/utf8.h"

namespace sorvine {

namespace {

using nlohmann::json;

constexpr std::string_view _doneData = "[DONE]";

// Phrases with which servers report a prompt larger than their context window.
constexpr std::string_view _overflowType = "exceed_context_size_error";
constexpr std::string_view _overflowPhrases[] = {"exceeds the available context", "context size",
                                                 "context length", "context window"};

const json* _member(const json& j, const char* key) {
    if (!j.is_object()) return nullptr;
    auto it = j.find(key);
    return it == j.end() ? nullptr : &*it;
}

std::string _stringMember(const json& j, const char* key) {
    const json* m = _member(j, key);
    return m && m->is_string() ? m->get_ref<const std::string&>() : std::string();
}

json _parse(std::string_view text) {
    return json::parse(decodeUtf8(text), nullptr, false);
}

bool _isOverflow(const std::string& type, const std::string& message) {
    if (type == _overflowType) return true;
    for (auto phrase : _overflowPhrases)
        if (message.find(phrase) != std::string::npos) return true;
    return false;
}

ModelError _fromErrorJson(long httpStatus, const json& body, bool generating) {
    const json* inner = _member(body, "error");
    const json& err = inner && inner->is_object() ? *inner : body;
    std::string message = _stringMember(err, "message");
    if (message.empty() && inner && inner->is_string())
        message = inner->get_ref<const std::string&>();
    std::string type = _stringMember(err, "type");
    long status = httpStatus;
    // An error event in a stream carries the status the server would have answered with.
    if (const json* code = _member(err, "code"); code && code->is_number_integer())
        if (auto n = code->get_ref<const json::number_integer_t&>(); n != 0)
            status = static_cast<long>(n);
    if (_isOverflow(type, message)) return {GenerationError::exceededContextWindowSize, message};
    if (generating && (status == 429 || status == 503))
        return {GenerationError::rateLimited, message};
    if (message.empty())
        message = "the model server answered with HTTP status " + std::to_string(status);
    return {std::nullopt, message};
}

ModelError _malformed() {
    return {std::nullopt, "the model server sent an unreadable answer"};
}

}  // namespace

ModelError serverError(long httpStatus, std::string_view body, bool generating) {
    return _fromErrorJson(httpStatus, _parse(body), generating);
}

Status ChatStreamDecoder::feed(std::string_view bytes, const DeltaSink& sink) {
    while (!bytes.empty()) {
        size_t nl = bytes.find('\n');
        if (nl == std::string_view::npos) {
            pending_ += bytes;
            break;
        }
        Status st;
        if (pending_.empty()) {
            st = _line(bytes.substr(0, nl), sink);
        } else {
            pending_ += bytes.substr(0, nl);
            std::string line = std::move(pending_);
            pending_.clear();
            st = _line(line, sink);
        }
        if (st) return st;
        bytes.remove_prefix(nl + 1);
    }
    return std::nullopt;
}

Status ChatStreamDecoder::finish(const DeltaSink& sink) {
    if (!pending_.empty()) {
        std::string line = std::move(pending_);
        pending_.clear();
        if (Status st = _line(line, sink)) return st;
    }
    if (Status st = _dispatch(sink)) return st;
    if (!ended_) return ModelError{std::nullopt, "the model's answer broke off before its end"};
    return std::nullopt;
}

Status ChatStreamDecoder::_line(std::string_view line, const DeltaSink& sink) {
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    if (line.empty()) return _dispatch(sink);
    size_t colon = line.find(':');
    std::string_view field = line.substr(0, colon);
    std::string_view value = colon == std::string_view::npos ? "" : line.substr(colon + 1);
    if (value.starts_with(' ')) value.remove_prefix(1);
    if (field == "data" || field == "error") {
        if (hasData_) data_ += '\n';
        data_ += value;
        hasData_ = true;
        if (field == "error") errorEvent_ = true;
    }
    return std::nullopt;  // comments, event names and ids carry nothing we use
}

Status ChatStreamDecoder::_dispatch(const DeltaSink& sink) {
    if (!hasData_) return std::nullopt;
    std::string data = std::move(data_);
    bool error = errorEvent_;
    data_.clear();
    hasData_ = errorEvent_ = false;
    if (ended_) return std::nullopt;
    if (!error && data == _doneData) {
        ended_ = true;
        return std::nullopt;
    }
    json chunk = _parse(data);
    if (!chunk.is_object()) return error ? ModelError{std::nullopt, data} : _malformed();
    if (error || _member(chunk, "error")) return _fromErrorJson(0, chunk, true);
    const json* choices = _member(chunk, "choices");
    if (!choices || !choices->is_array()) return _malformed();
    if (choices->empty()) return std::nullopt;  // usage and timing chunks
    const json& choice = (*choices)[0];
    if (const json* d = _member(choice, "delta")) {
        std::string content = _stringMember(*d, "content");
        if (!content.empty()) sink(content);
    }
    if (const json* reason = _member(choice, "finish_reason"); reason && reason->is_string())
        ended_ = true;
    return std::nullopt;
}

}  // namespace sorvine
