// RFC 6455 WebSocket on both sides: the accept key, the 101 answer, the frame writer, the
// message reader with its limits and control frames, and the client's view of a 101.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <string_view>

#include "core/netproto/http.h"
#include "core/platform/platform.h"

enum class WS_Op : uint8_t {
    Continuation = 0,
    Text = 1,
    Binary = 2,
    Close = 8,
    Ping = 9,
    Pong = 10
};

// The largest payload of one frame and the largest assembled message.
constexpr uint64_t WS_MAX_MESSAGE = 64ull * 1024 * 1024;
constexpr size_t WS_MESSAGE_BUFFER_CAPACITY = 65536;

std::string ws_accept_key(std::string_view key);

// A request that asks for a WebSocket: a non-empty Sec-WebSocket-Key and an Upgrade header
// naming websocket in any case.
bool is_websocket_request(const Request& req);

std::string ws_upgrade_head(std::string_view key, std::string_view protocol,
                            std::string_view extra_headers);
bool ws_upgrade_response(int sock, std::string_view key, std::string_view protocol,
                         std::string_view extra_headers);

// The 2, 4 or 10 byte header of an unmasked, final frame; returns its length.
size_t ws_frame_header(WS_Op op, uint64_t payload_length, unsigned char out[10]);

// One frame whose payload is the concatenation of parts, written with one gathered send
// (no joining copy). The caller holds the send lock of the socket.
bool ws_write(int sock, WS_Op op, std::span<const std::string_view> parts);

// One frame whose payload is parts followed by the first count bytes of the open file fd,
// sent straight from the file (send_file) after the rest, so the file is never in memory.
// The caller holds the send lock. Stalls are bounded by the socket's send time-out, as for
// ws_write. error ENODATA: the file ended early (it shrank) and the frame is cut short, so the
// connection is unusable; error 0: the whole frame went out.
Send_File_Result ws_write_with_file(int sock, WS_Op op, std::span<const std::string_view> parts,
                                    int fd, uint64_t count);

// One server-side WebSocket as its reader sees it.
struct WS_Conn {
    int sock = -1;
    Conn_Buffer buf;  // received bytes no complete frame has consumed yet
    // Writes a Pong or the Close echo as one whole frame under the session's send lock.
    // Unset: written directly with ws_write.
    std::function<bool(WS_Op, std::string_view)> send_control;
};

// Parsed client frame header. Pure: ws_parse_frame_header returns the header's length,
// 0 when more bytes are needed.
struct WS_Frame_Header {
    bool fin = false;
    uint8_t rsv = 0;
    uint8_t opcode = 0;
    bool masked = false;
    uint64_t length = 0;
    unsigned char mask[4] = {0, 0, 0, 0};
};
size_t ws_parse_frame_header(std::string_view bytes, WS_Frame_Header& out);

// Reads frames until one whole Text or Binary message is in msg; answers Ping and Close
// itself. False: the connection is finished, write nothing more on it.
bool ws_read_message(WS_Conn& conn, std::string& msg, WS_Op& op);

// The client acceptance test of a 101 answer to a request sent with this key.
bool ws_client_accepts(const Response_Head& head, std::string_view key);

// A fresh client key: 16 bytes from the system's cryptographic source, Base64 (24 chars).
std::string ws_client_key();
// The client's upgrade request: no Origin, no subprotocol, no extensions.
std::string ws_client_request(std::string_view path, std::string_view host, std::string_view key);
