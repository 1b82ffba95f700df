// Session messages: the kinds, the header layout and the JSON records they carry.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

enum class Msg_Kind : uint8_t {
    Hello = 0,
    Spawn = 1,
    Stdin = 2,
    Stdin_Close = 3,
    Kill = 4,
    Fs = 5,
    Hook_Listen = 6,
    Hook_Reply = 7,
    Hook_Close = 8,
    Stdout = 10,
    Stderr = 11,
    Exit = 12,
    Fs_Reply = 13,
    Hook_Ready = 14,
    Hook_Req = 15,
    Notice = 16,
    Resize = 17,
};

constexpr size_t MSG_HEADER_SIZE = 5;

// The 5-byte header: kind, then the id as u32 little-endian.
std::string msg_header(Msg_Kind kind, uint32_t id);

// What a tab may ask of this daemon beyond the first version of the protocol.
inline const std::vector<std::string> DAEMON_FEATURES = {"pty"};

struct Hello {
    int64_t version = 1;
    std::string root;
    std::string home;
    std::string platform;
    std::string perm_helper;
    bool has_anthropic_key = false;
    bool vm_relay = true;
    std::vector<std::string> features = DAEMON_FEATURES;
};

// A terminal's size, {"cols": C, "rows": R}: the pty member of a Spawn and the payload of
// Resize.
constexpr int64_t TERMINAL_SIZE_MIN = 1;
constexpr int64_t TERMINAL_SIZE_MAX = 1000;
struct Terminal_Size {
    int cols = 0;
    int rows = 0;
};

struct Spawn_Request {
    std::vector<std::string> argv;
    std::string cwd;
    std::map<std::string, std::string> env;
    std::string stderr_mode;  // JSON member "stderr"
    std::vector<std::string> unset;
    std::optional<Terminal_Size> pty;  // missing or null: pipes, no terminal
};

struct Hook_Ready_Body {
    std::string path;
    std::string err;
};

std::string marshal(const Hello& h);
std::string marshal(const Hook_Ready_Body& h);
// Fails as a whole when the payload is not an object of the right shape (a pty member
// included).
bool unmarshal(std::string_view json, Spawn_Request& out);
// Both members present, integers from 1 to 1000.
bool unmarshal(std::string_view json, Terminal_Size& out);

