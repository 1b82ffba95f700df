// Listening sockets on 127.0.0.1 (IPv4 only), for the loopback and the tunnel listeners.
#pragma once

#include <string>

#include "core/base/fd.h"

// Queue of connections the system completes before they are accepted.
constexpr int LISTEN_BACKLOG = 1000;

struct Listen_Result {
    Fd fd;              // listening, close-on-exec; invalid on failure
    int port = 0;       // the port bound (the system's choice when 0 was asked for)
    std::string error;  // on failure: the failed call and the system's words
};

Listen_Result listen_loopback(int port);
