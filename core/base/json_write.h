// Writing JSON the way every payload of the daemon is written: compact, members in the
// order the caller gives them, strings escaped, invalid UTF-8 as U+FFFD one per byte.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

class Json_Writer {
  public:
    Json_Writer& begin_object();
    Json_Writer& end_object();
    Json_Writer& begin_array();
    Json_Writer& end_array();
    Json_Writer& key(std::string_view name);
    Json_Writer& value(std::string_view s);
    Json_Writer& value(const char* s) { return value(std::string_view(s)); }
    Json_Writer& value(const std::string& s) { return value(std::string_view(s)); }
    Json_Writer& value(int64_t n);
    Json_Writer& value(int n) { return value(static_cast<int64_t>(n)); }
    Json_Writer& value(bool b);
    Json_Writer& string_array(const std::vector<std::string>& items);

    const std::string& str() const { return out_; }
    std::string take() { return std::move(out_); }

  private:
    void _separate();
    std::string out_;
    // One flag per open container: whether the next element needs a comma first.
    std::vector<bool> need_comma_;
    bool after_key_ = false;
};

// s as a JSON string literal, quotes included.
std::string json_string(std::string_view s);
