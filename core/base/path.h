// Slash-path rules: collapse repeated slashes, drop "." segments, resolve "..", no
// trailing slash. "" cleans to ".", a rooted path never climbs above "/".
#pragma once

#include <string>
#include <string_view>

std::string clean_path(std::string_view path);
