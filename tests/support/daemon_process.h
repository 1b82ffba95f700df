// Starts a built program (usually quelmar) as a child with piped streams, reads its
// output in the background, and kills it when the test is done.
#pragma once

#include <sys/types.h>

#include <condition_variable>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

class Child_Process {
  public:
    // argv[0] is the program path. env: extra NAME=VALUE entries (replacing inherited ones).
    // From then on this process ignores SIGPIPE, so writes to a child gone fail instead.
    Child_Process(std::vector<std::string> argv, std::vector<std::string> env = {},
                  std::string cwd = "");
    ~Child_Process();
    Child_Process(const Child_Process&) = delete;
    Child_Process& operator=(const Child_Process&) = delete;

    bool started() const { return pid_ > 0; }
    pid_t pid() const { return pid_; }

    void write_stdin(const std::string& bytes);
    void close_stdin();

    // Waits (bounded) until stdout holds a line containing text / stderr does.
    bool wait_stdout_contains(const std::string& text, int timeout_ms = 10000);
    bool wait_stderr_contains(const std::string& text, int timeout_ms = 10000);
    std::string stdout_text();
    std::string stderr_text();

    // Waits (bounded) for the exit and then, for at most 2 s more, for both output pipes to
    // reach end of file, so stdout_text() is complete afterwards. The exit status,
    // 128+signal, or nothing on time-out.
    std::optional<int> wait_exit(int timeout_ms = 10000);
    void kill_now(int sig = 9);

  private:
    void _reader(int fd, std::string* sink);
    pid_t pid_ = -1;
    int in_ = -1;
    std::mutex mu_;
    std::condition_variable cv_;
    std::string out_, err_;
    std::thread out_thread_, err_thread_;
    std::optional<int> status_;
    int open_readers_ = 2;  // under mu_: readers that have not reached end of file
};

// A quelmar started with --port 0 on temporary directories; port and token are read from
// the printed link.
class Daemon {
  public:
    // extra: further arguments; root/web default to fresh temporary directories. launcher:
    // a command that runs quelmar (prlimit ... --), or none.
    explicit Daemon(std::vector<std::string> extra = {}, std::vector<std::string> env = {},
                    std::vector<std::string> launcher = {});
    ~Daemon();

    bool ok() const { return port_ > 0; }
    int port() const { return port_; }
    const std::string& token() const { return token_; }
    const std::string& root() const { return root_; }
    const std::string& web() const { return web_; }
    Child_Process& process() { return *proc_; }
    std::string host() const { return "127.0.0.1:" + std::to_string(port_); }

  private:
    std::string root_, web_;
    int port_ = 0;
    std::string token_;
    std::unique_ptr<Child_Process> proc_;
};

// A fresh directory under the system's temporary directory, removed with its contents
// when the object goes.
class Temp_Dir {
  public:
    Temp_Dir();
    ~Temp_Dir();
    const std::string& path() const { return path_; }
    std::string file(const std::string& name) const { return path_ + "/" + name; }

  private:
    std::string path_;
};

void write_file(const std::string& path, const std::string& bytes);
std::string read_file(const std::string& path);
