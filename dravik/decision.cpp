// Judging the editor's answer and writing the hook's decision JSON.
#include "decision.h"

#include <unistd.h>

#include <cerrno>

#include "core/base/utf8.h"

namespace {

constexpr std::string_view LINE_START =
    "{\"hookSpecificOutput\":{\"hookEventName\":\"PreToolUse\",\"permissionDecision\":\"";
constexpr std::string_view REASON_KEY = "\",\"permissionDecisionReason\":\"";
constexpr std::string_view LINE_END = "\"}}\n";

// Control bytes escaped for JSON; every other byte passes as is. The reason is valid UTF-8
// by then (see decision_line).
void _append_escaped(std::string& out, std::string_view reason) {
    static const char hex[] = "0123456789abcdef";
    for (char ch : reason) {
        unsigned char c = static_cast<unsigned char>(ch);
        switch (c) {
            case '\t':
                out += "\\t";
                break;
            case '\n':
                out += "\\n";
                break;
            case '\r':
                out += "\\r";
                break;
            case '"':
                out += "\\\"";
                break;
            case '\\':
                out += "\\\\";
                break;
            default:
                if (c < 32) {
                    out += "\\u00";
                    out.push_back(hex[c >> 4]);
                    out.push_back(hex[c & 0xf]);
                } else {
                    out.push_back(ch);
                }
        }
    }
}

}  // namespace

Decision judge_answer(std::string_view answer) {
    if (answer == "allow") return {"allow", "approved in editor"};
    if (answer.substr(0, 4) == "deny") {
        std::string_view rest = answer.substr(4);
        while (!rest.empty() && (rest.front() == ' ' || rest.front() == '\t'))
            rest.remove_prefix(1);
        if (rest.empty()) return {"deny", "denied in editor"};
        return {"deny", std::string(rest)};
    }
    return {"deny", "perm-helper: bad response"};
}

std::string decision_line(std::string_view decision, std::string_view reason) {
    std::string out;
    out.reserve(LINE_START.size() + decision.size() + REASON_KEY.size() + reason.size() +
                LINE_END.size());
    out += LINE_START;
    out += decision;
    out += REASON_KEY;
    // The tab's answer may carry any bytes; a JSON reader accepts only valid UTF-8.
    _append_escaped(out, utf8_sanitize(reason));
    out += LINE_END;
    return out;
}

void emit(std::string_view decision, std::string_view reason) {
    std::string line = decision_line(decision, reason);
    std::string_view rest = line;
    while (!rest.empty()) {
        ssize_t n = write(STDOUT_FILENO, rest.data(), rest.size());
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return;
        rest.remove_prefix(static_cast<size_t>(n));
    }
}
