// Helpers of the file service and walk tests.
#include "tests/files/fs_test_util.h"

#include <dirent.h>

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
