// Walks a tree with list_project_files and writes the paths NUL-separated to standard
// output, as the file service's "walk" sends them; the count and time go to stderr.
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <string>

#include "core/grep/project_files.h"

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: bench_walk ROOT\n");
        return 2;
    }
    auto start = std::chrono::steady_clock::now();
    std::vector<std::string> files = list_project_files(argv[1]);
    std::string out;
    for (size_t i = 0; i < files.size(); ++i) {
        if (i > 0) out.push_back('\0');
        out += files[i];
    }
    auto walked = std::chrono::steady_clock::now();
    for (size_t off = 0; off < out.size();) {
        ssize_t n = write(STDOUT_FILENO, out.data() + off, out.size() - off);
        if (n <= 0) return 1;
        off += static_cast<size_t>(n);
    }
    double ms = std::chrono::duration<double, std::milli>(walked - start).count();
    std::fprintf(stderr, "%zu files in %.1f ms\n", files.size(), ms);
    return 0;
}
