// Building small trees and file requests for the file service and walk tests.
#pragma once

#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "daemon/files/records.h"
#include "daemon/files/service.h"
#include "tests/support/daemon_process.h"

// Creates the file with its missing parent directories.
inline void put_file(const std::string& path, const std::string& bytes = "") {
    for (size_t i = 1; i < path.size(); ++i)
        if (path[i] == '/') mkdir(path.substr(0, i).c_str(), 0777);
    write_file(path, bytes);
}

inline bool exists(const std::string& path) {
    struct stat st;
    return lstat(path.c_str(), &st) == 0;
}

inline Fs_Result run_fs(const Fs_Request& req, const std::string& data = "") {
    return fs_execute(fs_envelope(marshal(req), data));
}

inline Fs_Result run_fs(const std::string& op, const std::string& path,
                        const std::string& data = "") {
    Fs_Request req;
    req.op = op;
    req.path = path;
    return run_fs(req, data);
}

// The data part as the transports send it: the bytes in memory, or those of the file part.
std::string data_part(const Fs_Result& r);

// The names in dir (not "." or ".."), sorted.
std::vector<std::string> names_in(const std::string& dir);
