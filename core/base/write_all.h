// Writing every byte to a descriptor or a socket, under one rule for both: a call
// interrupted by a signal is made again, any other failure ends the write with false.
#pragma once

#include <string_view>

// write(2) until every byte is out; false at the first failure (or a write of nothing).
bool write_all(int fd, std::string_view bytes);

// send(2) without SIGPIPE until every byte is out, at most 2^31-1 bytes per call; false at
// the first failure.
bool send_all(int sock, std::string_view bytes);
