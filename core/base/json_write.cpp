// Writing JSON the way every payload of the daemon is written.
#include "core/base/json_write.h"

#include "core/base/utf8.h"

std::string json_string(std::string_view s) {
    static const char hex[] = "0123456789abcdef";
    std::string out;
    out.reserve(s.size() + 2);
    out.push_back('"');
    size_t i = 0;
    while (i < s.size()) {
        unsigned char c = static_cast<unsigned char>(s[i]);
        if (c >= 0x80) {
            size_t len = utf8_sequence_length(s.substr(i));
            if (len == 0) {
                out += "\xEF\xBF\xBD";
                ++i;
            } else {
                out.append(s.substr(i, len));
                i += len;
            }
            continue;
        }
        switch (c) {
            case '"':
                out += "\\\"";
                break;
            case '\\':
                out += "\\\\";
                break;
            case '\n':
                out += "\\n";
                break;
            case '\r':
                out += "\\r";
                break;
            case '\t':
                out += "\\t";
                break;
            case '\b':
                out += "\\b";
                break;
            case '\f':
                out += "\\f";
                break;
            default:
                if (c < 0x20 || c == 0x7f) {
                    out += "\\u00";
                    out.push_back(hex[c >> 4]);
                    out.push_back(hex[c & 15]);
                } else {
                    out.push_back(static_cast<char>(c));
                }
        }
        ++i;
    }
    out.push_back('"');
    return out;
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
