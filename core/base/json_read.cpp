// Reading typed members of JSON records without exceptions.
#include "core/base/json_read.h"

#include <nlohmann/json.hpp>

using nlohmann::json;

namespace {

// The member, or nullptr when it is missing or null.
const json* _member(const json& obj, const char* name) {
    auto it = obj.find(name);
    return it == obj.end() || it->is_null() ? nullptr : &*it;
}

}  // namespace

bool json_read_string(const json& obj, const char* name, std::string& out) {
    const json* v = _member(obj, name);
    if (!v) return true;
    if (!v->is_string()) return false;
    out = v->get_ref<const std::string&>();
    return true;
}

bool json_read_bool(const json& obj, const char* name, bool& out) {
    const json* v = _member(obj, name);
    if (!v) return true;
    if (!v->is_boolean()) return false;
    out = v->get<bool>();
    return true;
}

bool json_read_i64(const json& obj, const char* name, int64_t& out) {
    const json* v = _member(obj, name);
    if (!v) return true;
    if (!v->is_number_integer()) return false;
    out = v->get<int64_t>();
    return true;
}

bool json_read_strings(const json& obj, const char* name, std::vector<std::string>& out) {
    const json* v = _member(obj, name);
    if (!v) return true;
    if (!v->is_array()) return false;
    std::vector<std::string> items;
    items.reserve(v->size());
    for (const json& item : *v) {
        if (!item.is_string()) return false;
        items.push_back(item.get_ref<const std::string&>());
    }
    out = std::move(items);
    return true;
}

bool json_read_string_map(const json& obj, const char* name,
                          std::map<std::string, std::string>& out) {
    const json* v = _member(obj, name);
    if (!v) return true;
    if (!v->is_object()) return false;
    std::map<std::string, std::string> items;
    for (const auto& [key, value] : v->items()) {
        if (!value.is_string()) return false;
        items[key] = value.get_ref<const std::string&>();
    }
    out = std::move(items);
    return true;
}
