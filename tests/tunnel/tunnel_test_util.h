// Shared pieces of the tunnel tests: a fake cloudflared written as a shell script, and
// guards that put the process-wide configuration, tunnel state and environment back.
#pragma once

#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "daemon/config/config.h"
#include "daemon/tunnel/lines.h"
#include "daemon/tunnel/state.h"
#include "tests/support/counts.h"
#include "tests/support/daemon_process.h"

// A cloudflared of our own: a /bin/sh script whose body the test chooses. $DIR in the body
// is the script's directory, where it may record what it was given.
class Fake_Cloudflared {
  public:
    explicit Fake_Cloudflared(const std::string& body, const std::string& name = "cloudflared") {
        path_ = dir_.file(name);
        std::string script = "#!/bin/sh\nDIR='" + dir_.path() + "'\n" + body + "\n";
        write_file(path_, script);
        ::chmod(path_.c_str(), 0755);
    }
    const std::string& path() const { return path_; }
    std::string file(const std::string& name) const { return dir_.file(name); }

    // The pid the script recorded with `echo $$ > "$DIR/pid"`, or 0.
    pid_t recorded_pid() const {
        std::string text = read_file(dir_.file("pid"));
        return text.empty() ? 0 : static_cast<pid_t>(std::atol(text.c_str()));
    }

  private:
    Temp_Dir dir_;
    std::string path_;
};

// The script lines that record the argument vector, environment and pid.
inline const char* FAKE_RECORD =
    "printf '%s\\n' \"$0\" \"$@\" > \"$DIR/argv\"\n"
    "env > \"$DIR/env\"\n"
    "echo $$ > \"$DIR/pid\"";

// Puts g_cfg back when the test ends.
class Cfg_Guard {
  public:
    Cfg_Guard() : saved_(g_cfg) {}
    ~Cfg_Guard() { g_cfg = saved_; }

  private:
    Config saved_;
};

// Empties the mutable parts of g_tunnel, before and after a test.
inline void reset_tunnel_state() {
    std::lock_guard lock(g_tunnel.mu);
    g_tunnel.host.clear();
    g_tunnel.token.clear();
    g_tunnel.tabs = 0;
    g_tunnel.last_use = 0;
    g_tunnel.idle_clock = false;
    g_tunnel.peers.clear();
    g_tunnel.peers_token.clear();
    g_tunnel.peers_full = false;
    g_tunnel.named_token.clear();
    g_tunnel.static_files.clear();
    g_child_pid.store(0);
}

class Tunnel_State_Guard {
  public:
    Tunnel_State_Guard() { reset_tunnel_state(); }
    ~Tunnel_State_Guard() { reset_tunnel_state(); }
};

// Sets (or, with nullptr, unsets) an environment variable for the test's duration.
class Env_Guard {
  public:
    Env_Guard(const char* name, const char* value) : name_(name) {
        if (const char* old = std::getenv(name)) old_ = old;
        if (value)
            ::setenv(name, value, 1);
        else
            ::unsetenv(name);
    }
    ~Env_Guard() {
        if (old_)
            ::setenv(name_.c_str(), old_->c_str(), 1);
        else
            ::unsetenv(name_.c_str());
    }

  private:
    std::string name_;
    std::optional<std::string> old_;
};

// Collects what the supervisor writes, from any thread.
class Captured_Out {
  public:
    Tunnel_Out out() {
        return {[this](std::string_view line) {
                    std::lock_guard lock(mu_);
                    logs_.emplace_back(line);
                },
                [this](std::string_view bytes) {
                    std::lock_guard lock(mu_);
                    links_.append(bytes);
                }};
    }
    std::vector<std::string> logs() {
        std::lock_guard lock(mu_);
        return logs_;
    }
    std::string links() {
        std::lock_guard lock(mu_);
        return links_;
    }
    int count_containing(std::string_view text) {
        std::lock_guard lock(mu_);
        int n = 0;
        for (const auto& l : logs_)
            if (l.find(text) != std::string::npos) ++n;
        return n;
    }
    void clear() {
        std::lock_guard lock(mu_);
        logs_.clear();
        links_.clear();
    }

  private:
    std::mutex mu_;
    std::vector<std::string> logs_;
    std::string links_;
};
