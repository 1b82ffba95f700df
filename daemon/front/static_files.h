// Static files of the loopback listener: the web build on disk, one file per GET.
#pragma once

#include <optional>
#include <string>
#include <string_view>

// The file under g_cfg.web for a loopback GET of this path, or nothing.
std::optional<std::string> static_path(std::string_view request_path);

// 200 with the file, or 404 "not found" for anything that is not a regular file there.
void serve_static(int sock, std::string_view request_path);
