// The process-wide configuration: complete before the first other thread starts and
// never written afterwards, so every thread reads it without a lock.
#pragma once

#include <cstdint>
#include <string>

enum class Tunnel_Mode { None = 0, Quick = 1, Named = 2 };

struct Config {
    int port = 8737;
    std::string web;
    std::string root;
    std::string token;
    std::string site_page;
    std::string site_origin;
    Tunnel_Mode tunnel = Tunnel_Mode::None;
    std::string tunnel_host;
    std::string tunnel_creds;
    std::string tunnel_id;
    int64_t tunnel_idle = 0;  // nanoseconds; 0 = never
    std::string cloudflared;
    int tunnel_port = 0;
};

// Never destroyed: detached connection threads may still read it while the process exits.
extern Config& g_cfg;

// Which listening socket a connection came from.
enum class Listener { Loopback, Tunnel };
