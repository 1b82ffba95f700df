// Starts a built program as a child with piped streams, for the tests.
#include "tests/support/daemon_process.h"

#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>

extern char** environ;

Child_Process::Child_Process(std::vector<std::string> argv, std::vector<std::string> env,
                             std::string cwd) {
    // A child that exits without reading its input must fail our writes, not end the tests.
    signal(SIGPIPE, SIG_IGN);
    int in[2], out[2], err[2];
    if (pipe2(in, O_CLOEXEC) || pipe2(out, O_CLOEXEC) || pipe2(err, O_CLOEXEC)) return;
    std::vector<std::string> envs;
    for (char** e = environ; *e; ++e) {
        std::string entry = *e;
        std::string name = entry.substr(0, entry.find('='));
        bool replaced = false;
        for (auto& x : env)
            if (x.substr(0, x.find('=')) == name) replaced = true;
        if (!replaced) envs.push_back(entry);
    }
    for (auto& x : env) envs.push_back(x);
    std::vector<char*> av, ev;
    for (auto& a : argv) av.push_back(a.data());
    av.push_back(nullptr);
    for (auto& e : envs) ev.push_back(e.data());
    ev.push_back(nullptr);
    pid_ = fork();
    if (pid_ == 0) {
        signal(SIGPIPE, SIG_DFL);  // the program starts with the usual disposition
        dup2(in[0], 0);
        dup2(out[1], 1);
        dup2(err[1], 2);
        if (!cwd.empty() && chdir(cwd.c_str()) != 0) _exit(127);
        execve(av[0], av.data(), ev.data());
        _exit(127);
    }
    close(in[0]);
    close(out[1]);
    close(err[1]);
    in_ = in[1];
    out_thread_ = std::thread([this, fd = out[0]] { _reader(fd, &out_); });
    err_thread_ = std::thread([this, fd = err[0]] { _reader(fd, &err_); });
}

void Child_Process::_reader(int fd, std::string* sink) {
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
    std::lock_guard lock(mu_);
    --open_readers_;
    cv_.notify_all();
}

Child_Process::~Child_Process() {
    if (pid_ > 0 && !status_) {
        kill(pid_, SIGKILL);
        wait_exit(10000);
    }
    close_stdin();
    if (out_thread_.joinable()) out_thread_.join();
    if (err_thread_.joinable()) err_thread_.join();
}

void Child_Process::write_stdin(const std::string& bytes) {
    size_t off = 0;
    while (in_ >= 0 && off < bytes.size()) {
        ssize_t n = write(in_, bytes.data() + off, bytes.size() - off);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return;
        off += static_cast<size_t>(n);
    }
}

void Child_Process::close_stdin() {
    if (in_ >= 0) close(in_);
    in_ = -1;
}

bool Child_Process::wait_stdout_contains(const std::string& text, int timeout_ms) {
    std::unique_lock lock(mu_);
    return cv_.wait_for(lock, std::chrono::milliseconds(timeout_ms),
                        [&] { return out_.find(text) != std::string::npos; });
}

bool Child_Process::wait_stderr_contains(const std::string& text, int timeout_ms) {
    std::unique_lock lock(mu_);
    return cv_.wait_for(lock, std::chrono::milliseconds(timeout_ms),
                        [&] { return err_.find(text) != std::string::npos; });
}

std::string Child_Process::stdout_text() {
    std::lock_guard lock(mu_);
    return out_;
}

std::string Child_Process::stderr_text() {
    std::lock_guard lock(mu_);
    return err_;
}

std::optional<int> Child_Process::wait_exit(int timeout_ms) {
    if (status_) return status_;
    if (pid_ <= 0) return std::nullopt;
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    for (;;) {
        int st = 0;
        pid_t r = waitpid(pid_, &st, WNOHANG);
        if (r == pid_) {
            status_ = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
            std::unique_lock lock(mu_);
            cv_.wait_for(lock, std::chrono::seconds(2), [&] { return open_readers_ == 0; });
            return status_;
        }
        if (std::chrono::steady_clock::now() >= end) return std::nullopt;
        usleep(5000);
    }
}

void Child_Process::kill_now(int sig) {
    if (pid_ > 0 && !status_) kill(pid_, sig);
}

Temp_Dir::Temp_Dir() {
    std::string tmpl = std::filesystem::temp_directory_path().string() + "/quelmar-test-XXXXXX";
    if (mkdtemp(tmpl.data())) path_ = tmpl;
}

Temp_Dir::~Temp_Dir() {
    if (path_.empty()) return;
    std::error_code ec;
    // Tests may leave directories without permissions behind; give them back first.
    for (auto it = std::filesystem::recursive_directory_iterator(
             path_, std::filesystem::directory_options::skip_permission_denied, ec);
         !ec && it != std::filesystem::recursive_directory_iterator(); it.increment(ec)) {
        if (it->is_directory(ec) && !it->is_symlink(ec))
            std::filesystem::permissions(it->path(), std::filesystem::perms::owner_all,
                                         std::filesystem::perm_options::add, ec);
    }
    std::filesystem::permissions(path_, std::filesystem::perms::owner_all,
                                 std::filesystem::perm_options::add, ec);
    std::filesystem::remove_all(path_, ec);
}

void write_file(const std::string& path, const std::string& bytes) {
    std::ofstream f(path, std::ios::binary | std::ios::trunc);
    f.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

std::string read_file(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    std::stringstream ss;
    ss << f.rdbuf();
    return ss.str();
}

namespace {
std::string _make_temp_dir() {
    std::string tmpl = std::filesystem::temp_directory_path().string() + "/quelmar-daemon-XXXXXX";
    return mkdtemp(tmpl.data()) ? tmpl : "";
}
}  // namespace

Daemon::Daemon(std::vector<std::string> extra, std::vector<std::string> env,
               std::vector<std::string> launcher) {
    root_ = _make_temp_dir();
    web_ = _make_temp_dir();
    std::vector<std::string> argv = {QUELMAR_BIN, "--port", "0", "--root", root_, "--web", web_};
    for (auto& a : extra) argv.push_back(a);
    argv.insert(argv.begin(), launcher.begin(), launcher.end());
    proc_ = std::make_unique<Child_Process>(argv, env);
    if (!proc_->wait_stdout_contains("\n", 10000)) return;
    std::smatch m;
    std::string out = proc_->stdout_text();
    static const std::regex link(R"(http://127\.0\.0\.1:(\d+)/\?t=([0-9a-f]{32})\n)");
    if (std::regex_search(out, m, link)) {
        port_ = std::stoi(m[1]);
        token_ = m[2];
    }
}

Daemon::~Daemon() {
    proc_.reset();
    std::error_code ec;
    if (!root_.empty()) std::filesystem::remove_all(root_, ec);
    if (!web_.empty()) std::filesystem::remove_all(web_, ec);
}
