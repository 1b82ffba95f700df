// What the fault tests share beyond the tab and the counts of tests/support.
#pragma once

#include <string>

// A round trip of a small "stat" through a fresh tab: the daemon still serves tabs.
bool serves_a_tab(int port, const std::string& token);
