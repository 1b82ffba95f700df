// The WebSocket message reader fed through a socket pair: client frames of any shape,
// fragmented messages, control frames between fragments, and streams cut anywhere.
// The first input byte chooses how control answers are written.
#include <cstdint>
#include <string>

#include "core/netproto/ws.h"
#include "fuzz_support.h"

namespace {

constexpr size_t WS_CONTROL_MAX = 125;
constexpr int MESSAGES_PER_INPUT = 1024;

void _check_header(std::string_view in) {
    WS_Frame_Header h;
    size_t n = ws_parse_frame_header(in, h);
    if (n == 0) return;
    size_t key_bytes = h.masked ? 4 : 0;
    FUZZ_CHECK(n <= in.size());
    FUZZ_CHECK(n == 2 + key_bytes || n == 4 + key_bytes || n == 10 + key_bytes);
    FUZZ_CHECK(n != 4 + key_bytes || h.length < 65536);
    FUZZ_CHECK(h.opcode < 16 && h.rsv < 8);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    bool direct_writes = data[0] & 1;
    std::string_view in = fuzz_bytes(data + 1, size - 1);
    _check_header(in);

    Fd reader, writer;
    if (!fuzz_socket_with(in, reader, writer)) return 0;
    WS_Conn conn;
    conn.sock = reader.get();
    bool closed = false;
    if (!direct_writes) {
        conn.send_control = [&closed](WS_Op op, std::string_view payload) {
            FUZZ_CHECK(op == WS_Op::Pong || op == WS_Op::Close);
            FUZZ_CHECK(payload.size() <= WS_CONTROL_MAX);
            FUZZ_CHECK(!closed);
            closed = op == WS_Op::Close;
            return true;
        };
    }
    std::string msg;
    WS_Op op;
    uint64_t total = 0;
    for (int i = 0; i < MESSAGES_PER_INPUT && ws_read_message(conn, msg, op); ++i) {
        FUZZ_CHECK(op == WS_Op::Text || op == WS_Op::Binary);
        FUZZ_CHECK(msg.size() <= WS_MAX_MESSAGE);
        total += msg.size();
        FUZZ_CHECK(total <= in.size());
    }
    return 0;
}
