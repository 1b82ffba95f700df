// A stand-in model server for the end-to-end tests: the health, properties, tokenize and
// streamed chat endpoints on 127.0.0.1, answering from a plan and recording the requests.
#include "tests/sorvine/stub_model_server.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>

#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <nlohmann/json.hpp>
#include <thread>

#include "tests/support/net.h"

namespace {

using nlohmann::json;

constexpr int _pollMs = 50;
constexpr int _receiveTimeoutSeconds = 10;
constexpr auto _piecePause = std::chrono::milliseconds(20);

struct _Request {
    std::string method, path, body;
};

// Reads one request (head and Content-Length body) from buf and the socket.
bool _readRequest(int fd, std::string& buf, _Request& req) {
    char tmp[65536];
    size_t end;
    while ((end = buf.find("\r\n\r\n")) == std::string::npos) {
        ssize_t n = recv(fd, tmp, sizeof tmp, 0);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        buf.append(tmp, static_cast<size_t>(n));
    }
    std::string head = buf.substr(0, end);
    buf.erase(0, end + 4);
    size_t sp1 = head.find(' '), sp2 = head.find(' ', sp1 + 1);
    if (sp1 == std::string::npos || sp2 == std::string::npos) return false;
    req.method = head.substr(0, sp1);
    req.path = head.substr(sp1 + 1, sp2 - sp1 - 1);
    std::string lower = head;
    for (auto& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    size_t length = 0;
    if (size_t at = lower.find("\r\ncontent-length:"); at != std::string::npos)
        length = std::stoul(lower.substr(at + 17));
    while (buf.size() < length) {
        ssize_t n = recv(fd, tmp, sizeof tmp, 0);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        buf.append(tmp, static_cast<size_t>(n));
    }
    req.body = buf.substr(0, length);
    buf.erase(0, length);
    return true;
}

bool _answer(int fd, int status, const std::string& body) {
    return send_bytes(fd, "HTTP/1.1 " + std::to_string(status) +
                              " Stub\r\nContent-Type: application/json\r\nContent-Length: " +
                              std::to_string(body.size()) + "\r\n\r\n" + body);
}

std::string _chunk(const std::string& bytes) {
    char size[32];
    std::snprintf(size, sizeof size, "%zx\r\n", bytes.size());
    return size + bytes + "\r\n";
}

}  // namespace

int64_t stubTokens(std::string_view text) {
    int64_t words = 0;
    bool inWord = false;
    for (char c : text) {
        bool blank = std::isspace(static_cast<unsigned char>(c)) != 0;
        if (!blank && !inWord) ++words;
        inWord = !blank;
    }
    return words;
}

std::string sseDelta(std::string_view contentJson) {
    return "data: {\"choices\":[{\"index\":0,\"delta\":{\"content\":" + std::string(contentJson) +
           "},\"finish_reason\":null}]}\n\n";
}

std::string sseEnd() {
    return "data: {\"choices\":[{\"index\":0,\"delta\":{},\"finish_reason\":\"stop\"}]}\n\n"
           "data: [DONE]\n\n";
}

StubModelServer::StubModelServer(StubPlan plan) : plan_(std::move(plan)) {
    int port = 0;
    listener_ = listen_on("127.0.0.1", port, 8);
    if (!listener_) return;
    port_ = port;
    thread_.start([this] { _serve(); });
}

StubModelServer::~StubModelServer() {
    stop_ = true;
    thread_.join();
}

std::vector<std::string> StubModelServer::chatBodies() {
    std::lock_guard lock(mu_);
    return chatBodies_;
}

int StubModelServer::requestCount() {
    std::lock_guard lock(mu_);
    return requests_;
}

void StubModelServer::_serve() {
    while (!stop_) {
        pollfd p{listener_.get(), POLLIN, 0};
        if (poll(&p, 1, _pollMs) <= 0) continue;
        Fd conn(accept4(listener_.get(), nullptr, nullptr, SOCK_CLOEXEC));
        if (!conn) continue;
        timeval tv{_receiveTimeoutSeconds, 0};
        setsockopt(conn.get(), SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
        _connection(conn.get());
    }
}

void StubModelServer::_connection(int fd) {
    std::string buf;
    _Request req;
    while (!stop_ && _readRequest(fd, buf, req)) {
        {
            std::lock_guard lock(mu_);
            ++requests_;
            if (req.path == "/v1/chat/completions") chatBodies_.push_back(req.body);
        }
        if (req.path == "/health") {
            _answer(fd, plan_.healthStatus,
                    plan_.healthStatus == 200 ? "{\"status\":\"ok\"}" : "{}");
        } else if (req.path == "/props") {
            json props = {{"default_generation_settings", {{"n_ctx", plan_.contextSize}}}};
            _answer(fd, 200, props.dump());
        } else if (req.path == "/tokenize") {
            json in = json::parse(req.body, nullptr, false);
            std::string content;
            if (in.is_object() && in.contains("content") && in["content"].is_string())
                content = in["content"].get<std::string>();
            json tokens = json::array();
            for (int64_t i = 0; i < stubTokens(content); ++i) tokens.push_back(i);
            _answer(fd, 200, json{{"tokens", tokens}}.dump());
        } else if (req.path == "/v1/chat/completions" && plan_.chatStatus != 200) {
            _answer(fd, plan_.chatStatus, plan_.chatBody);
        } else if (req.path == "/v1/chat/completions") {
            send_bytes(fd,
                       "HTTP/1.1 200 OK\r\nContent-Type: text/event-stream\r\n"
                       "Transfer-Encoding: chunked\r\nConnection: close\r\n\r\n");
            for (size_t i = 0; i < plan_.streamPieces.size(); ++i) {
                if (plan_.beforePiece) plan_.beforePiece(i);
                std::this_thread::sleep_for(_piecePause);
                send_bytes(fd, _chunk(plan_.streamPieces[i]));
            }
            if (!plan_.breakStream) send_bytes(fd, "0\r\n\r\n");
            return;
        } else {
            _answer(fd, 404, "{\"error\":{\"message\":\"no such endpoint\"}}");
        }
    }
}
