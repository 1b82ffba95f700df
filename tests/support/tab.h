// A tab on the session protocol over a real WebSocket: messages either way, a channel's
// run up to its Exit, and the hook messages; plus the pieces a tab end of any socket needs.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/base/fd.h"
#include "daemon/messages/protocol.h"
#include "tests/support/ws_peer.h"

struct Front;

struct Tab_Msg {
    Msg_Kind kind = Msg_Kind::Hello;
    uint32_t id = 0;
    std::string payload;
};

// The next session message on fd (buf keeps bytes already received); other frames are
// skipped. Nothing on a Close, a malformed message, the end of the connection or after
// timeout_ms.
std::optional<Tab_Msg> read_tab_msg(int fd, std::string& buf, int timeout_ms = 10000);

// What one channel sent up to and including its Exit.
struct Channel_Run {
    std::string out, err;
    std::vector<size_t> out_sizes;
    bool exited = false;
    int32_t status = 0;
    std::string exit_text;        // after status -1
    size_t exit_size = 0;         // the whole Exit payload's length
    std::vector<Tab_Msg> others;  // messages of other channels that came in between
};

class Tab {
  public:
    // Opens /ws?t=token on 127.0.0.1:port, sending first_bytes right after the head. When
    // greet, takes the Hello too: ok() is false without one.
    Tab(int port, const std::string& token, bool greet = true, const std::string& first_bytes = "");
    explicit Tab(const Front& f, bool greet = true);
    Tab();  // a greeted tab of test_front()
    // Takes over a connection already upgraded; buf holds what came after the head.
    Tab(Fd fd, std::string buf);
    Tab(Tab&&) = default;
    Tab& operator=(Tab&&) = default;

    bool ok() const { return fd_.valid(); }
    int fd() const { return fd_.get(); }
    std::string& buffer() { return buf_; }
    const std::string& hello() const { return hello_; }  // the Hello's payload, when greeted

    bool send(Msg_Kind kind, uint32_t id, std::string_view payload = {});
    bool spawn(uint32_t id, const std::string& request_json) {
        return send(Msg_Kind::Spawn, id, request_json);
    }
    bool send_raw(std::string_view bytes);
    // The next frame as it came (for tests of the framing itself).
    bool next_frame(Server_Frame& f, int timeout_ms = 10000) {
        return read_server_frame(fd_.get(), buf_, f, timeout_ms);
    }
    std::optional<Tab_Msg> next(int timeout_ms = 10000) {
        return read_tab_msg(fd_.get(), buf_, timeout_ms);
    }
    // The next message of this kind (and id, when given), skipping others; each message
    // waited for at most 10 s.
    std::optional<Tab_Msg> next_of(Msg_Kind kind);
    std::optional<Tab_Msg> next_of(Msg_Kind kind, uint32_t id);
    // Everything of channel id up to its Exit.
    Channel_Run collect(uint32_t id);

    // Hook_Listen and its Hook_Ready: {path, err}.
    Hook_Ready_Body listen(uint32_t hook_id);
    void reply(uint32_t hook_id, uint32_t request_id, std::string_view answer);
    // Closes the socket at once, whatever is still unread or unsent.
    void close() { fd_.reset(); }

  private:
    Fd fd_;
    std::string buf_;
    std::string hello_;
};

// {"argv":[...]} plus any further members given as raw JSON ("\"stderr\":\"merge\"").
std::string spawn_json(const std::vector<std::string>& argv, const std::string& more = "");
// {"argv":[...]} for a shell command line.
std::string sh_spawn(std::string_view script);
// A file request envelope: u32le JSON length, JSON ({"op","path"}), data.
std::string fs_request(std::string_view op, std::string_view path, std::string_view data = {});
// The JSON reply and data of an Fs_Reply payload.
bool split_reply(std::string_view payload, std::string& json, std::string& data);
// A Hook_Reply body: the request id, then the answer.
std::string hook_reply_body(uint32_t request_id, std::string_view answer);
// Parses a Hook_Ready payload {"path":...,"err":...}.
Hook_Ready_Body parse_ready(const std::string& json);
