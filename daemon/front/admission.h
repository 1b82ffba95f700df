// Every accepted connection: one request head, admission (Host, then Origin, then token),
// routing by method and path, and the handler of the chosen route.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "daemon/config/config.h"

// Runs one connection to its end on the calling thread; sock stays open.
void serve_connection(int sock, Listener listener);
// The same, and then closes sock.
void handle_connection(int sock, Listener listener);

// Answers outside sessions and relays end once the client has taken no byte for this long.
constexpr int64_t ANSWER_DEADLINE_NS = 30'000'000'000;
// Replaces that deadline, before the first connection (for tests that cannot wait 30 s).
void set_answer_deadline(int64_t ns);

// Reports a refused Origin: once per distinct value and at most REFUSED_ORIGINS_MAX per run.
constexpr size_t REFUSED_ORIGINS_MAX = 32;
void log_refused_origin(std::string_view origin);
// How many distinct refused Origins have been reported so far.
size_t refused_origin_count();

// The loopback routes, by method and path (both compared byte for byte).
enum class Route { Tab, Vm, Fs_Post, Fs_Preflight, Static, Not_Allowed };
Route route_of(std::string_view method, std::string_view path);

// The daemon's own page (http:// and a local Host with our port) or the trusted site origin.
bool origin_allowed(std::string_view origin);

// The access token: exactly as long as g_cfg.token, never empty, compared in constant time.
bool token_ok(std::string_view presented);
