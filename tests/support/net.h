// Small blocking client helpers for the tests: connect, send, read until close.
#pragma once

#include <string>

// A connected TCP socket to 127.0.0.1:port with a 10 s receive time-out, or -1.
int connect_tcp(int port, const char* address = "127.0.0.1");
bool send_bytes(int fd, const std::string& bytes);
// Everything until the peer closes (or the time-out passes).
std::string read_until_close(int fd);
// Sends a raw request on a new connection and returns the whole answer.
std::string http_exchange(int port, const std::string& request);
// Reads until buf holds "\r\n\r\n"; returns the head (with the terminator), leftover in buf.
std::string read_head(int fd, std::string& buf);
