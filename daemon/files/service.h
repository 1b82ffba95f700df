// The file service: one file request envelope in, one reply and its data out. Shared by
// the Fs session message and POST /fs; holds no state and no lock.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "daemon/files/records.h"

constexpr int64_t FS_READ_MAX = 268435456;  // 256 MiB: the largest file "read" returns
constexpr size_t FS_STAT_MANY_MAX = 4096;   // paths in one "stat_many"

struct Fs_Result {
    Fs_Reply reply;
    std::string data;  // file content for "read", NUL-separated paths for "walk"
};

// Carries out the request in envelope. Never fails as a call: every failure is a reply
// with ok false ("bad request" for an envelope, JSON or path that cannot be used).
Fs_Result fs_execute(std::string_view envelope);

// The reply as an envelope, JSON length first, data appended.
std::string fs_reply_envelope(const Fs_Result& result);
