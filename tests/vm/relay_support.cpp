// Test peers of the relay.
#include "tests/vm/relay_support.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <sstream>
#include <thread>

#include "core/netproto/http.h"
#include "daemon/vm/relay.h"

namespace {

constexpr int ACCEPT_WAIT_MS = 30000;

int _accept_within(int listener, int timeout_ms) {
    pollfd p{listener, POLLIN, 0};
    if (poll(&p, 1, timeout_ms) != 1) return -1;
    return accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
}

std::string _find_program(const std::string& name) {
    const char* path = std::getenv("PATH");
    std::stringstream dirs(path ? path : "/usr/local/bin:/usr/bin:/bin");
    std::string dir;
    while (std::getline(dirs, dir, ':')) {
        std::string candidate = dir + "/" + name;
        if (access(candidate.c_str(), X_OK) == 0) return candidate;
    }
    return "";
}

}  // namespace

Relay_Front::Relay_Front(VM_Target target, bool tunnel, int64_t tab_recv_timeout_ms) {
    listener_ = listen_on("127.0.0.1", port_);
    int listener = listener_.get();
    thread_.start([this, listener, target, tunnel, tab_recv_timeout_ms] {
        Fd tab(_accept_within(listener, ACCEPT_WAIT_MS));
        if (tab) {
            if (tab_recv_timeout_ms > 0) {
                // As a connection thread leaves it after reading the head under a deadline.
                timeval tv{tab_recv_timeout_ms / 1000,
                           static_cast<suseconds_t>(tab_recv_timeout_ms % 1000 * 1000)};
                setsockopt(tab.get(), SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
            }
            Conn_Buffer buf;
            std::string head;
            Request req;
            if (read_request_head(tab.get(), buf, 0, head) && parse_request(head, req))
                handle_vm(tab.get(), buf, req, target, tunnel);
        }
        done_ = true;
    });
}

Relay_Front::~Relay_Front() {
    thread_.join();
}

bool Relay_Front::wait_done(int timeout_ms) {
    for (int waited = 0; waited < timeout_ms; waited += 10) {
        if (done_) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return done_;
}

Raw_Service::Raw_Service(Service_Behaviour behaviour, const char* address) {
    listener_ = listen_on(address, port_);
    if (!listener_) return;
    int listener = listener_.get();
    thread_.start([this, listener, behaviour] {
        Fd sock(_accept_within(listener, ACCEPT_WAIT_MS));
        if (!sock) return;
        accepted_ = true;
        timeval tv{20, 0};
        setsockopt(sock.get(), SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
        behaviour(sock.get());
    });
}

void Raw_Service::finish() {
    // A service that was never reached would keep its thread in poll: wake it.
    if (listener_) shutdown(listener_.get(), SHUT_RDWR);
    thread_.join();
}

VM_Target Raw_Service::target(const std::string& path) const {
    VM_Target t;
    t.family = AF_INET;
    t.port = static_cast<uint16_t>(port_);
    t.host = "127.0.0.1:" + std::to_string(port_);
    t.path = path;
    return t;
}

std::string node_peers_missing() {
    if (_find_program("node").empty()) return "node is not installed";
    if (access(TESTS_JS_DIR "/node_modules/ws/package.json", R_OK) != 0)
        return "tests/js/node_modules lacks ws: run `make js-deps`";
    return "";
}

Node_Service::Node_Service(const std::string& address) {
    proc_ = std::make_unique<Child_Process>(
        std::vector<std::string>{_find_program("node"), TESTS_JS_DIR "/vm_server.mjs", address});
    if (!proc_->started() || !proc_->wait_stdout_contains("\n", 15000)) {
        error_ = "service did not start: " + proc_->stderr_text();
        return;
    }
    std::string out = proc_->stdout_text();
    if (out.rfind("port ", 0) != 0) {
        error_ = "service: " + out + proc_->stderr_text();
        return;
    }
    port_ = std::atoi(out.c_str() + 5);
}

Node_Run run_node_client(const std::string& url) {
    Child_Process proc({_find_program("node"), TESTS_JS_DIR "/vm_client.mjs", url});
    Node_Run run;
    auto status = proc.wait_exit(30000);
    if (!status) proc.kill_now();
    run.status = status.value_or(-1);
    run.output = proc.stdout_text() + proc.stderr_text();
    return run;
}

std::string tab_upgrade_request(const std::string& key, const std::string& extra) {
    return "GET /vm?t=x&to=y HTTP/1.1\r\nHost: 127.0.0.1:8737\r\nUpgrade: websocket\r\n"
           "Connection: Upgrade\r\nSec-WebSocket-Key: " +
           key + "\r\nSec-WebSocket-Version: 13\r\n" + extra + "\r\n";
}
