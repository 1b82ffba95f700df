// Runs the built sorvine as a child with piped streams and collects all it writes.
#include "tests/sorvine/sorvine_process.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <vector>

extern char** environ;

SorvineProcess::SorvineProcess(const std::string& modelUrl) {
    // A child that exits without reading its input must fail our writes, not kill us.
    signal(SIGPIPE, SIG_IGN);
    std::string urlEntry = "SORVINE_MODEL_URL=" + modelUrl;
    std::vector<char*> env;
    for (char** e = environ; *e; ++e)
        if (std::strncmp(*e, "SORVINE_MODEL_URL=", 18) != 0) env.push_back(*e);
    env.push_back(urlEntry.data());
    env.push_back(nullptr);
    std::string path = SORVINE_BIN;
    char* argv[] = {path.data(), nullptr};

    int in[2], out[2], err[2];
    if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0)
        return;
    pid_ = fork();
    if (pid_ == 0) {
        dup2(in[0], 0);
        dup2(out[1], 1);
        dup2(err[1], 2);
        execve(argv[0], argv, env.data());
        _exit(127);
    }
    close(in[0]);
    close(out[1]);
    close(err[1]);
    in_ = in[1];
    outThread_ = std::thread([this, fd = out[0]] { _read(fd, &out_); });
    errThread_ = std::thread([this, fd = err[0]] { _read(fd, &err_); });
}

SorvineProcess::~SorvineProcess() {
    finish(0);
}

void SorvineProcess::_read(int fd, std::string* sink) {
    char buf[4096];
    for (;;) {
        ssize_t n = read(fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        std::lock_guard lock(mu_);
        sink->append(buf, static_cast<size_t>(n));
        cv_.notify_all();
    }
    close(fd);
}

void SorvineProcess::write(const std::string& bytes) {
    size_t off = 0;
    while (in_ >= 0 && off < bytes.size()) {
        ssize_t n = ::write(in_, bytes.data() + off, bytes.size() - off);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return;
        off += static_cast<size_t>(n);
    }
}

void SorvineProcess::closeInput() {
    if (in_ >= 0) close(in_);
    in_ = -1;
}

bool SorvineProcess::waitOutput(const std::string& text, int timeoutMs) {
    std::unique_lock lock(mu_);
    return cv_.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                        [&] { return out_.find(text) != std::string::npos; });
}

SorvineProcess::Outcome SorvineProcess::finish(int timeoutMs) {
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (pid_ > 0 && !status_) {
        int st = 0;
        if (waitpid(pid_, &st, WNOHANG) == pid_) {
            status_ = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
            break;
        }
        if (std::chrono::steady_clock::now() >= end) {
            kill(pid_, SIGKILL);
            waitpid(pid_, &st, 0);
            pid_ = -1;
            break;
        }
        usleep(5000);
    }
    closeInput();
    if (outThread_.joinable()) outThread_.join();
    if (errThread_.joinable()) errThread_.join();
    std::lock_guard lock(mu_);
    return {status_, out_, err_};
}

SorvineProcess::Outcome runSorvine(const std::string& modelUrl, const std::string& transcript) {
    SorvineProcess p(modelUrl);
    p.write(transcript);
    p.closeInput();
    return p.finish();
}
