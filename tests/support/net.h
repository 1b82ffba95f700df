// Small blocking socket helpers for the tests: listen, connect, send, read until close.
#pragma once

#include <cstddef>
#include <string>

#include "core/base/fd.h"

// A listening socket on address (127.0.0.1 or ::1), port 0, whose port goes to port;
// invalid if it cannot be bound.
Fd listen_on(const char* address, int& port, int backlog = 16);
bool ipv6_loopback_available();

// A connected TCP socket to 127.0.0.1:port with a 10 s receive time-out, or -1.
int connect_tcp(int port, const char* address = "127.0.0.1");
bool send_bytes(int fd, const std::string& bytes);
// Everything until the peer closes (or the time-out passes).
std::string read_until_close(int fd);
// Sends a raw request on a new connection and returns the whole answer.
std::string http_exchange(int port, const std::string& request);
// Reads until buf holds "\r\n\r\n"; returns the head (with the terminator), leftover in buf.
std::string read_head(int fd, std::string& buf);
// Reads exactly n bytes, starting with what buf already holds (fewer when the peer stops).
std::string read_exact(int fd, std::string& buf, size_t n);
