// Test peers of the relay: the tab-side front that runs handle_vm on an accepted
// connection, raw TCP services that misbehave on purpose, and the node `ws` processes.
#pragma once

#include "tests/support/net.h"

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include "core/base/fd.h"
#include "core/base/thread.h"
#include "daemon/vm/target.h"
#include "tests/support/daemon_process.h"

// Accepts one tab connection, reads its head and runs handle_vm on it with the target,
// then closes it. done() is true once handle_vm has returned.
class Relay_Front {
  public:
    Relay_Front(VM_Target target, bool tunnel, int64_t tab_recv_timeout_ms = 0);
    ~Relay_Front();
    int port() const { return port_; }
    bool wait_done(int timeout_ms);

  private:
    Fd listener_;
    int port_ = 0;
    std::atomic<bool> done_{false};
    Joinable_Thread thread_;
};

// One connection's behaviour on the service side: given the accepted socket.
using Service_Behaviour = std::function<void(int sock)>;

// Accepts at most one connection within 30 s and runs the behaviour on it.
class Raw_Service {
  public:
    explicit Raw_Service(Service_Behaviour behaviour, const char* address = "127.0.0.1");
    ~Raw_Service() { finish(); }
    // Waits for the behaviour to end (a service never reached stops waiting at once).
    void finish();
    bool ok() const { return listener_.valid(); }
    int port() const { return port_; }
    bool accepted() const { return accepted_; }
    VM_Target target(const std::string& path = "/") const;

  private:
    Fd listener_;
    int port_ = 0;
    std::atomic<bool> accepted_{false};
    Joinable_Thread thread_;
};

// The node `ws` echo service of tests/js, listening on the address given.
class Node_Service {
  public:
    explicit Node_Service(const std::string& address);
    bool ok() const { return port_ > 0; }
    int port() const { return port_; }
    std::string error() const { return error_; }

  private:
    std::unique_ptr<Child_Process> proc_;
    int port_ = 0;
    std::string error_;
};

// Runs the node `ws` client exchange against url; its output, and its exit status or -1.
struct Node_Run {
    int status = -1;
    std::string output;
};
Node_Run run_node_client(const std::string& url);
// Why the node peers cannot run ("" when they can).
std::string node_peers_missing();

// A tab's upgrade request for the relay.
std::string tab_upgrade_request(const std::string& key, const std::string& extra = "");
