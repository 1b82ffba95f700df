// A stand-in model server for the end-to-end tests: the health, properties, tokenize and
// streamed chat endpoints on 127.0.0.1, answering from a plan and recording the requests.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "core/base/fd.h"
#include "core/base/thread.h"

struct StubPlan {
    int healthStatus = 200;
    int64_t contextSize = 4096;
    int chatStatus = 200;  // any other status is answered with chatBody
    std::string chatBody;
    // The event stream's bytes, each piece sent as its own chunk after a short pause.
    std::vector<std::string> streamPieces;
    bool breakStream = false;  // drop the connection instead of ending the body
    // Called before each piece is sent, with its index (lets a test hold the stream).
    std::function<void(size_t)> beforePiece;
};

class StubModelServer {
  public:
    explicit StubModelServer(StubPlan plan);
    ~StubModelServer();

    std::string url() const { return "http://127.0.0.1:" + std::to_string(port_); }
    std::vector<std::string> chatBodies();  // request bodies received on the chat endpoint
    int requestCount();

  private:
    void _serve();
    void _connection(int fd);

    StubPlan plan_;
    Fd listener_;
    int port_ = 0;
    std::atomic<bool> stop_{false};
    std::mutex mu_;
    std::vector<std::string> chatBodies_;
    int requests_ = 0;
    Joinable_Thread thread_;
};

// Tokens as the stub counts them: one per word separated by white space.
int64_t stubTokens(std::string_view text);

// One event of a streamed chat answer carrying a content delta given as a JSON string.
std::string sseDelta(std::string_view contentJson);
// The events that end a streamed answer.
std::string sseEnd();
