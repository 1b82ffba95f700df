// The daemon killed with SIGKILL while it takes in or writes a 100 MiB file: afterwards the
// file is the old one or the new one, never a mixture, and nothing but at most one
// temporary file beside it is left.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>

#include <atomic>
#include <filesystem>
#include <thread>

#include "core/base/clock.h"
#include "fault_support.h"
#include "tests/support/daemon_process.h"
#include "tests/support/net.h"
#include "tests/support/tab.h"

namespace {

constexpr size_t NEW_SIZE = 100u << 20;
constexpr size_t OLD_SIZE = 3u << 20;
constexpr int64_t WATCH_LIMIT_NS = 60'000'000'000;

enum class Kill_Point {
    Upload,         // half the body sent: the daemon is still reading it
    Temp_Appears,   // the temporary file exists
    Temp_Complete,  // the temporary file has every byte (fsync or rename still to come)
    After_Answer,   // the answer has come back
};

std::string _pattern(size_t size, char seed) {
    std::string s(size, '\0');
    for (size_t i = 0; i < size; ++i) s[i] = static_cast<char>(seed + (i % 251));
    return s;
}

// The one temporary file beside target, or "".
std::string _temp_beside(const std::string& dir, const std::string& name, int& others) {
    std::string temp;
    others = 0;
    for (const auto& e : std::filesystem::directory_iterator(dir)) {
        std::string n = e.path().filename().string();
        if (n == name) continue;
        if (n.rfind(name + ".", 0) == 0 && n.size() > 4 && n.ends_with(".tmp") && temp.empty())
            temp = e.path().string();
        else
            ++others;
    }
    return temp;
}

int64_t _size_of(const std::string& path) {
    struct stat st;
    return ::stat(path.c_str(), &st) == 0 ? st.st_size : -1;
}

struct Outcome {
    bool target_old = false, target_new = false;
    bool temp_left = false;
    int others = 0;
    std::string seen;  // where the kill actually landed
};

Outcome _kill_during_write(Kill_Point point) {
    static const std::string new_data = _pattern(NEW_SIZE, 'n');
    static const std::string old_data = _pattern(OLD_SIZE, 'o');
    Daemon d;
    Outcome out;
    if (!d.ok()) return out;
    const std::string target = d.root() + "/big.bin";
    write_file(target, old_data);

    std::string body = fs_request("write", target, new_data);
    std::string head = "POST /fs HTTP/1.1\r\nHost: " + d.host() +
                       "\r\nx-editor-token: " + d.token() +
                       "\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n";
    int sock = connect_tcp(d.port());
    std::atomic<bool> half_sent{false}, answered{false};
    std::thread client([&] {
        if (sock < 0) return;
        send_bytes(sock, head + body.substr(0, body.size() / 2));
        half_sent = true;
        if (point == Kill_Point::Upload) return;
        send_bytes(sock, body.substr(body.size() / 2));
        std::string answer = read_until_close(sock);
        answered = answer.rfind("HTTP/1.1 200", 0) == 0;
    });

    int64_t end = mono_ns() + WATCH_LIMIT_NS;
    int others = 0;
    while (mono_ns() < end) {
        std::string temp = _temp_beside(d.root(), "big.bin", others);
        if (point == Kill_Point::Upload && half_sent) {
            out.seen = temp.empty() ? "body half sent, no temporary file" : "temporary file";
            break;
        }
        if (point == Kill_Point::Temp_Appears && !temp.empty()) {
            out.seen = "temporary file of " + std::to_string(_size_of(temp)) + " bytes";
            break;
        }
        if (point == Kill_Point::Temp_Complete && !temp.empty() &&
            _size_of(temp) == static_cast<int64_t>(NEW_SIZE)) {
            out.seen = "temporary file complete";
            break;
        }
        if (answered) {
            out.seen = "answer received";
            break;
        }
    }
    d.process().kill_now(SIGKILL);
    d.process().wait_exit(10000);
    if (sock >= 0) ::shutdown(sock, SHUT_RDWR);
    client.join();
    if (sock >= 0) ::close(sock);

    std::string now = read_file(target);
    out.target_old = now == old_data;
    out.target_new = now == new_data;
    out.temp_left = !_temp_beside(d.root(), "big.bin", out.others).empty();
    return out;
}

void _expect_whole(const Outcome& o, const char* point) {
    SCOPED_TRACE(point);
    std::printf("[ kill    ] %-14s landed at: %s; file %s; %s\n", point, o.seen.c_str(),
                o.target_new   ? "new"
                : o.target_old ? "old"
                               : "MIXED",
                o.temp_left ? "one temporary file left" : "no temporary file");
    EXPECT_FALSE(o.seen.empty()) << "the kill point was never reached";
    EXPECT_TRUE(o.target_old || o.target_new) << "the file is neither the old nor the new one";
    EXPECT_EQ(o.others, 0) << "files other than the target and one temporary file were left";
}

}  // namespace

TEST(WriteKilled, DuringTheUploadLeavesTheOldFile) {
    Outcome o = _kill_during_write(Kill_Point::Upload);
    _expect_whole(o, "upload");
    EXPECT_TRUE(o.target_old);
    EXPECT_FALSE(o.temp_left);
}

TEST(WriteKilled, WhileTheTemporaryFileGrowsLeavesAWholeFile) {
    _expect_whole(_kill_during_write(Kill_Point::Temp_Appears), "temp appears");
}

TEST(WriteKilled, BeforeTheRenameLeavesAWholeFile) {
    _expect_whole(_kill_during_write(Kill_Point::Temp_Complete), "temp complete");
}

TEST(WriteKilled, AfterTheAnswerLeavesTheNewFileAlone) {
    Outcome o = _kill_during_write(Kill_Point::After_Answer);
    _expect_whole(o, "after answer");
    EXPECT_TRUE(o.target_new);
    EXPECT_FALSE(o.temp_left);
}
