// Writing JSON the way every payload of the daemon is written.
#include "core/base/json_write.h"

#include "core/base/utf8.h"

namespace {

// RFC 8259's two-character escapes, \u00XX for the other control bytes and DEL, and
// U+FFFD for each byte that is not valid UTF-8.
constexpr Escape_Rules JSON_STRING = {true, "btnfr", "\\u00", false};

}  // namespace

std::string json_string(std::string_view s) {
    return escape_text(s, JSON_STRING);
}

void Json_Writer::_separate() {
    if (after_key_) {
        after_key_ = false;
        return;
    }
    if (!need_comma_.empty()) {
        if (need_comma_.back()) out_.push_back(',');
        need_comma_.back() = true;
    }
}

Json_Writer& Json_Writer::begin_object() {
    _separate();
    out_.push_back('{');
    need_comma_.push_back(false);
    return *this;
}

Json_Writer& Json_Writer::end_object() {
    out_.push_back('}');
    need_comma_.pop_back();
    return *this;
}

Json_Writer& Json_Writer::begin_array() {
    _separate();
    out_.push_back('[');
    need_comma_.push_back(false);
    return *this;
}

Json_Writer& Json_Writer::end_array() {
    out_.push_back(']');
    need_comma_.pop_back();
    return *this;
}

Json_Writer& Json_Writer::key(std::string_view name) {
    _separate();
    out_ += json_string(name);
    out_.push_back(':');
    after_key_ = true;
    return *this;
}

Json_Writer& Json_Writer::value(std::string_view s) {
    _separate();
    out_ += json_string(s);
    return *this;
}

Json_Writer& Json_Writer::value(int64_t n) {
    _separate();
    out_ += std::to_string(n);
    return *this;
}

Json_Writer& Json_Writer::value(bool b) {
    _separate();
    out_ += b ? "true" : "false";
    return *this;
}

Json_Writer& Json_Writer::string_array(const std::vector<std::string>& items) {
    begin_array();
    for (const auto& s : items) value(s);
    return end_array();
}
