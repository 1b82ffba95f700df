// One accepted connection from its first byte to its close.
#pragma once

#include "daemon/config.h"

// Reads and answers one request on sock, which it owns and always closes.
void handle_connection(int sock, Listener listener);
