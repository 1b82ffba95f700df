// The file service: one file request envelope in, one reply and its data out. Shared by
// the Fs session message and POST /fs; holds no state and no lock.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "core/base/fd.h"
#include "daemon/files/records.h"

constexpr int64_t FS_READ_MAX = 268435456;  // 256 MiB: the largest file "read" returns
constexpr size_t FS_STAT_MANY_MAX = 4096;   // paths in one "stat_many"
// A regular file larger than this is not read into memory: its bytes go from the open file
// straight to the socket. Up to it, one read and one send cost less than a second call.
constexpr int64_t FS_READ_INLINE_MAX = 65536;

// A reply's data part left in its file: the first size bytes of fd. The file's own length
// may change until they are sent; the transports check that all size bytes went out.
struct Fs_File_Part {
    Fd fd;
    uint64_t size = 0;
    std::string path;  // for the log line of a file that shrank
};

struct Fs_Result {
    Fs_Reply reply;
    std::string data;   // NUL-separated paths for "walk"; the content of a small "read"
    Fs_File_Part file;  // the content of a larger "read" (data is then empty)
};

// Carries out the request in envelope. Never fails as a call: every failure is a reply
// with ok false ("bad request" for an envelope, JSON or path that cannot be used).
Fs_Result fs_execute(std::string_view envelope);

// Logs a "read" whose file ended before all its bytes were sent (it shrank meanwhile); the
// reply was cut short, so its connection or session (closing) is being closed.
void fs_log_cut_read(const Fs_File_Part& file, uint64_t sent, std::string_view closing);
