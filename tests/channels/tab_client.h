// An in-process daemon front (loopback listener, admission, sessions) and a tab that
// talks the session protocol to it, for the end-to-end channel tests.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "daemon/protocol.h"

// The listener of this test program, started on first use; g_cfg is set before any
// thread starts. root: the project root every session reports and runs programs in.
struct Test_Front {
    int port = 0;
    std::string token;
    std::string root;
};
const Test_Front& test_front();

struct Tab_Msg {
    Msg_Kind kind = Msg_Kind::Hello;
    uint32_t id = 0;
    std::string data;
};

// What one channel sent up to and including its Exit.
struct Channel_Run {
    std::string out, err;
    std::vector<size_t> out_sizes;
    bool exited = false;
    int32_t status = 0;
    std::string exit_text;        // after status -1
    size_t exit_size = 0;         // the whole Exit payload's length
    std::vector<Tab_Msg> others;  // messages of other channels that came in between
};

class Tab {
  public:
    Tab();  // opens a session and takes its Hello
    ~Tab();
    Tab(const Tab&) = delete;
    Tab& operator=(const Tab&) = delete;

    bool ok() const { return fd_ >= 0; }
    bool send(Msg_Kind kind, uint32_t id, std::string_view payload = {});
    bool spawn(uint32_t id, const std::string& request_json) {
        return send(Msg_Kind::Spawn, id, request_json);
    }
    // One message; false when the session ended or nothing came for 10 seconds.
    bool next(Tab_Msg& m);
    // Everything of channel id up to its Exit.
    Channel_Run collect(uint32_t id);
    void close();

  private:
    int fd_ = -1;
    std::string buf_;
};

// {"argv":[...]} plus any further members given as raw JSON ("\"stderr\":\"merge\"").
std::string spawn_json(const std::vector<std::string>& argv, const std::string& more = "");
