// A small WebSocket client for the tests: masked client frames (also malformed ones on
// purpose), reading the server's frames, and opening a session on a listening daemon.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

// A client frame: first byte as given (FIN, RSV, opcode), then the length in the shortest
// form unless len_form forces 126 or 127, then the key and the masked payload.
std::string client_frame(uint8_t first_byte, std::string_view payload, bool masked = true,
                         int len_form = 0);
// A final, masked frame of this opcode.
std::string client_msg(uint8_t opcode, std::string_view payload);
// A Binary session message: kind, id (u32 little-endian), payload.
std::string session_msg(uint8_t kind, uint32_t id, std::string_view payload);

struct Server_Frame {
    uint8_t first = 0;  // FIN, RSV and opcode as sent
    bool masked = false;
    std::string payload;
    uint8_t opcode() const { return first & 0x0f; }
};
// Reads one frame; buf keeps bytes already received. False on close, error or time-out:
// the socket's own receive time-out, and timeout_ms for the whole frame unless negative.
bool read_server_frame(int fd, std::string& buf, Server_Frame& out, int timeout_ms = -1);

// Connects to 127.0.0.1:port and sends a GET of target with a Host of this port and the
// given extra header lines; head gets the answer head (with its terminator), buf what
// followed it. Returns the socket (caller closes) or -1.
int http_upgrade(int port, const std::string& target, const std::string& extra_headers,
                 std::string& head, std::string& buf, const std::string& first_bytes = "");

// Opens /ws?t=token and checks the 101; -1 when refused.
int open_session(int port, const std::string& token, std::string& buf,
                 const std::string& first_bytes = "");

// True when the peer closes (or has closed) the connection within timeout_ms without
// sending another byte; bytes that did arrive go to extra.
bool closes_silently(int fd, std::string& extra, int timeout_ms = 10000);
