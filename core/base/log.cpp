// Log lines on stderr, and the %q quoting used in messages.
#include "core/base/log.h"

#include <unistd.h>

#include <cerrno>

#include "core/base/utf8.h"
#include "core/base/write_all.h"

void write_stderr(std::string_view bytes) {
    write_all(STDERR_FILENO, bytes);
}

void log_line(std::string_view line) {
    std::string out;
    out.reserve(line.size() + 10);
    out.append("quelmar: ").append(line).push_back('\n');
    write_stderr(out);
}

std::string quote(std::string_view value) {
    static const char hex[] = "0123456789abcdef";
    std::string out;
    out.reserve(value.size() + 2);
    out.push_back('"');
    size_t i = 0;
    while (i < value.size()) {
        unsigned char c = static_cast<unsigned char>(value[i]);
        if (c >= 0x80) {
            size_t len = utf8_sequence_length(value.substr(i));
            if (len > 0) {
                out.append(value.substr(i, len));
                i += len;
                continue;
            }
        }
        switch (c) {
            case '"':
                out += "\\\"";
                break;
            case '\\':
                out += "\\\\";
                break;
            case '\a':
                out += "\\a";
                break;
            case '\b':
                out += "\\b";
                break;
            case '\f':
                out += "\\f";
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
            case '\v':
                out += "\\v";
                break;
            default:
                if (c < 0x20 || c >= 0x7f) {
                    out += "\\x";
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
