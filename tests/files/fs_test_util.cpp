// Helpers of the file service and walk tests.
#include "tests/files/fs_test_util.h"

#include <dirent.h>
#include <unistd.h>

#include <algorithm>

std::vector<std::string> names_in(const std::string& dir) {
    std::vector<std::string> out;
    DIR* d = opendir(dir.c_str());
    if (!d) return out;
    while (const dirent* e = readdir(d)) {
        std::string n = e->d_name;
        if (n != "." && n != "..") out.push_back(n);
    }
    closedir(d);
    std::sort(out.begin(), out.end());
    return out;
}

std::string data_part(const Fs_Result& r) {
    if (!r.file.fd) return r.data;
    std::string out(r.file.size, '\0');
    size_t got = 0;
    while (got < out.size()) {
        ssize_t n =
            pread(r.file.fd.get(), out.data() + got, out.size() - got, static_cast<off_t>(got));
        if (n <= 0) break;
        got += static_cast<size_t>(n);
    }
    out.resize(got);
    return r.data + out;
}
