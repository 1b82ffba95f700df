// The hook's decision line and how the editor's answer maps onto it.
#pragma once

#include <string>
#include <string_view>

struct Decision {
    std::string_view decision;  // "allow" or "deny"
    std::string reason;
};

// The editor's answer, trailing CR and LF already removed from it.
Decision judge_answer(std::string_view answer);

// The whole output line, newline included.
std::string decision_line(std::string_view decision, std::string_view reason);

// Writes the decision line to standard output.
void emit(std::string_view decision, std::string_view reason);
