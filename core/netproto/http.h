// HTTP/1.1 heads: reading one under a size limit and an optional deadline, parsing a
// request and a response head, query parameters, the local Host test, and draining an
// unread body. Parsing is pure; only the readers touch sockets.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <string_view>

#include "core/base/ascii.h"

// Bytes received on a connection but not consumed yet. After the head has been read it
// holds exactly the bytes that followed the blank line; every later reader takes them first.
using Conn_Buffer = std::string;

constexpr size_t HEAD_LIMIT = 16384;     // bytes buffered without a terminator
constexpr size_t HEAD_READ_SIZE = 4096;  // bytes per receive while reading a head
constexpr size_t CONN_BUFFER_CAPACITY = 4096;

// Lower-cased, trimmed names to trimmed values; a later header replaces an earlier one.
using Header_Map = std::map<std::string, std::string, std::less<>>;

struct Request {
    std::string method;
    std::string target;
    std::string path;   // target up to the first "?"
    std::string query;  // after the first "?", or empty
    Header_Map headers;

    // The value of a header by its lower-case name, or nullptr.
    const std::string* header(std::string_view name) const;
};

// Where the head terminator "\r\n\r\n" is in buf: its offset, or npos.
size_t find_head_end(std::string_view buf);

// What the bytes received so far say about the head: complete (end is the offset of the
// terminator), more needed, or too large to ever complete. Pure.
enum class Head_State { Complete, Need_More, Too_Large };
struct Head_Scan {
    Head_State state;
    size_t end = 0;
};
Head_Scan scan_head(std::string_view buf);

// Moves the head (the bytes before the terminator) out of buf into head; buf keeps only
// what followed the blank line. end comes from a Complete scan_head.
void take_head(Conn_Buffer& buf, size_t end, std::string& head);

// Reads until the buffer holds a whole head; on success head is the text before the blank
// line and buf keeps only what followed it. deadline_ns is absolute on the monotonic
// clock, 0 for none; signals interrupt neither the wait nor the deadline. Fails silently on
// size limit, deadline, receive error or end of stream.
bool read_request_head(int sock, Conn_Buffer& buf, int64_t deadline_ns, std::string& head);

bool parse_request(std::string_view head, Request& out);

// The answer head a server sends, as its client sees it (the VM relay's service).
struct Response_Head {
    int status = 0;
    Header_Map headers;
};
// "HTTP/1." and one digit, a space, a three-digit status, then the same header fields as
// a request.
bool parse_response_head(std::string_view head, Response_Head& out);

// The raw value of the first parameter named key, or "" (absent, empty query, empty value).
std::string_view query_param(std::string_view query, std::string_view key);

// True when value is exactly "127.0.0.1:<port>" or "localhost:<port>".
bool host_is_local(std::string_view value, int port);

// After a refusal: drains a request body still on its way, for at most 2 s, so the peer
// can read the answer before the connection is torn down.
void linger_unread_body(int sock, const Request& req, size_t buffered_body_bytes);

// How many body bytes linger_unread_body would still wait for (0: none). Pure.
int64_t body_bytes_to_drain(const Request& req, size_t buffered_body_bytes);
