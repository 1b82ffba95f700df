// The records of file requests and replies, their JSON, and the envelope that carries
// them: a u32 little-endian JSON length, the JSON, then raw data.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

struct Fs_Request {
    std::string op;
    std::string path;
    std::string to;                  // "rename" only
    std::vector<std::string> paths;  // "stat_many" only
};

struct Fs_Entry {
    std::string n;   // name, no directory part
    bool d = false;  // a directory itself (links are not followed)
    int64_t s = 0;   // size in bytes
    int64_t m = 0;   // modification time, ns since the Unix epoch
};

struct Fs_Reply {
    bool ok = false;
    std::string err;
    std::string kind;
    int64_t size = 0;
    int64_t mtime = 0;
    std::vector<Fs_Entry> entries;
    std::string kinds;
};

constexpr size_t FS_ENVELOPE_HEAD = 4;  // the u32 JSON length

// Compact JSON, members in declaration order, every member present.
std::string marshal(const Fs_Request& r);
std::string marshal(const Fs_Entry& e);
std::string marshal(const Fs_Reply& r);

// Members by exact name; unknown ones skipped, missing or null ones left at zero. A payload
// that is not an object, or a member of the wrong type, fails as a whole.
bool unmarshal(std::string_view json, Fs_Request& out);
bool unmarshal(std::string_view json, Fs_Reply& out);

// An envelope split into its JSON and its data; false when shorter than 4 bytes or when the
// JSON length runs past the end.
bool split_fs_envelope(std::string_view envelope, std::string_view& json, std::string_view& data);

// The JSON length and the JSON: what precedes the data in an envelope.
std::string fs_envelope_head(std::string_view json);
// A whole envelope in one string.
std::string fs_envelope(std::string_view json, std::string_view data);
