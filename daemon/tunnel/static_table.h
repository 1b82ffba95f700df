// The web build the tunnel serves: the top-level files of the web directory, checked and
// copied into memory once at start-up, index.html marked as a tunnel page.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

constexpr size_t STATIC_FILE_LIMIT = 33'554'432;   // 32 MiB a file, checked on its size
constexpr size_t STATIC_TOTAL_LIMIT = 67'108'864;  // 64 MiB for all bodies, markers included
constexpr size_t STATIC_NAME_MAX = 255;

constexpr std::string_view TUNNEL_PAGE_MARKER = "<meta name=\"quelmar\" content=\"tunnel\">";

struct Static_File {
    std::string path;  // "/" + the file name
    std::string content_type;
    bool is_html = false;  // the name ends with ".html"
    std::string body;
};

using Static_Table = std::vector<Static_File>;

// Reads the table from web into out; one error message on failure (out is then empty).
std::optional<std::string> static_table_read(const std::string& web, Static_Table& out);

// Inserts the tunnel page marker right after the first "<head>" (any ASCII case); false
// when there is none.
bool inject_marker(std::string& body);

// The first entry whose path equals request_path byte for byte, or nullptr.
const Static_File* static_lookup(const Static_Table& table, std::string_view request_path);

// Whether the name may be served: 1 to 255 bytes, not a daemon route, a letter or digit
// first and then only letters, digits, "-", "." and "_".
bool static_name_allowed(std::string_view name);

// "200 OK" with the tunnel head for the entry (the HTML block for pages), then its body;
// false at the first failed write.
bool tunnel_send_file(int sock, const Static_File& file);
