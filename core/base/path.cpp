// Slash-path rules.
#include "core/base/path.h"

#include <vector>

std::string clean_path(std::string_view path) {
    if (path.empty()) return ".";
    bool rooted = path.front() == '/';
    std::vector<std::string_view> parts;
    size_t i = 0;
    while (i <= path.size()) {
        size_t j = path.find('/', i);
        if (j == std::string_view::npos) j = path.size();
        std::string_view seg = path.substr(i, j - i);
        if (seg.empty() || seg == ".") {
        } else if (seg == "..") {
            if (!parts.empty() && parts.back() != "..") {
                parts.pop_back();
            } else if (!rooted) {
                parts.push_back(seg);
            }
        } else {
            parts.push_back(seg);
        }
        i = j + 1;
    }
    std::string out = rooted ? "/" : "";
    for (size_t k = 0; k < parts.size(); ++k) {
        if (k > 0) out.push_back('/');
        out.append(parts[k]);
    }
    if (out.empty()) return ".";
    return out;
}
