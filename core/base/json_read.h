// Members of a JSON record, read without exceptions under one rule: a missing member (or
// null) leaves out untouched, a member of another type fails the whole record.
#pragma once

#include <cstdint>
#include <map>
#include <nlohmann/json_fwd.hpp>
#include <string>
#include <vector>

bool json_read_string(const nlohmann::json& obj, const char* name, std::string& out);
bool json_read_bool(const nlohmann::json& obj, const char* name, bool& out);
bool json_read_i64(const nlohmann::json& obj, const char* name, int64_t& out);
bool json_read_strings(const nlohmann::json& obj, const char* name, std::vector<std::string>& out);
bool json_read_string_map(const nlohmann::json& obj, const char* name,
                          std::map<std::string, std::string>& out);
