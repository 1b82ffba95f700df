// Ends start-up: "quelmar: " and the message on stderr, exit status 2.
#pragma once

#include <string_view>

[[noreturn]] void fatal(std::string_view message);
