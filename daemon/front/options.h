// quelmar's command line: every option with its check and message, the combination
// rules, and the usage text. Pure: nothing here touches the process or the system.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "daemon/config/config.h"

// The hosted copy of the editor that --site trusts, and its origin.
constexpr std::string_view DEFAULT_SITE_PAGE = "https://quelmar.dev/editor/";
constexpr std::string_view DEFAULT_SITE_ORIGIN = "https://quelmar.dev";

constexpr int DEFAULT_PORT = 8737;

struct Options {
    // port, site_page, site_origin and the tunnel fields as the command line sets them;
    // web and root exactly as given (empty: the defaults, which start-up settles).
    Config cfg;
    bool help = false;  // -h / --help was reached: print the usage, exit 0
    std::string error;  // the first refusal; empty when the command line is good
};

// args: the arguments after the program name.
Options parse_options(const std::vector<std::string>& args);

// The --help text, lines joined by "\n", without a final newline.
std::string usage_text();

// Whether a named tunnel's public host name is acceptable exactly as browsers send it.
bool tunnel_host_ok(std::string_view host);
