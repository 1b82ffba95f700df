// The permission helper run as a program against a hook socket of the test: what it
// sends, how each answer becomes a decision, and that every failure is still one deny line.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>

#include <csignal>
#include <nlohmann/json.hpp>
#include <thread>

#include "core/base/fd.h"
#include "tests/support/daemon_process.h"

extern char** environ;

namespace {

constexpr int WAIT_MS = 10000;

std::string line(const std::string& decision, const std::string& escaped_reason) {
    return "{\"hookSpecificOutput\":{\"hookEventName\":\"PreToolUse\",\"permissionDecision\":\"" +
           decision + "\",\"permissionDecisionReason\":\"" + escaped_reason + "\"}}\n";
}

std::string deny(const std::string& reason) {
    return line("deny", reason);
}

enum class Server_Mode { Answer, Close_At_Once };

// One hook connection: reads the request to its end, answers with chosen bytes, closes.
class Hook_Server {
  public:
    Hook_Server(std::string path, std::string answer, Server_Mode mode = Server_Mode::Answer)
        : path_(std::move(path)) {
        listen_.reset(socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
        sockaddr_un a{};
        a.sun_family = AF_UNIX;
        path_.copy(a.sun_path, sizeof a.sun_path - 1);
        if (bind(listen_.get(), reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
            listen(listen_.get(), 1) != 0)
            return;
        ok_ = true;
        thread_ = std::thread([this, answer = std::move(answer), mode] { _serve(answer, mode); });
    }
    ~Hook_Server() {
        if (thread_.joinable()) thread_.join();
    }
    bool ok() const { return ok_; }
    // What the client sent; waits for the exchange to end.
    std::string received() {
        if (thread_.joinable()) thread_.join();
        return got_;
    }

  private:
    static bool _ready(int fd) {
        pollfd p{fd, POLLIN, 0};
        return poll(&p, 1, WAIT_MS) == 1;
    }
    void _serve(const std::string& answer, Server_Mode mode) {
        if (!_ready(listen_.get())) return;
        Fd conn(accept4(listen_.get(), nullptr, nullptr, SOCK_CLOEXEC));
        if (!conn || mode == Server_Mode::Close_At_Once) return;
        char buf[65536];
        while (_ready(conn.get())) {
            ssize_t n = recv(conn.get(), buf, sizeof buf, 0);
            if (n <= 0) break;
            got_.append(buf, static_cast<size_t>(n));
        }
        send(conn.get(), answer.data(), answer.size(), MSG_NOSIGNAL);
    }

    std::string path_;
    Fd listen_;
    bool ok_ = false;
    std::thread thread_;
    std::string got_;
};

struct Outcome {
    std::optional<int> status;
    std::string out, err;
};

// Runs dravik with stdin, stdout and stderr on files, so everything it wrote is there once
// it has exited. env: NAME=VALUE entries added to (or replacing) the test's environment.
Outcome run_dravik(const std::string& input, const std::vector<std::string>& env) {
    Outcome r;
    Temp_Dir io;
    write_file(io.file("in"), input);
    std::vector<std::string> entries;
    for (char** e = environ; *e; ++e) {
        std::string entry = *e;
        std::string name = entry.substr(0, entry.find('='));
        bool replaced = false;
        for (const std::string& x : env) replaced |= x.substr(0, x.find('=')) == name;
        if (!replaced) entries.push_back(entry);
    }
    entries.insert(entries.end(), env.begin(), env.end());
    std::vector<char*> envp;
    for (std::string& e : entries) envp.push_back(e.data());
    envp.push_back(nullptr);
    char* argv[] = {const_cast<char*>(DRAVIK_BIN), nullptr};

    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_addopen(&fa, 0, io.file("in").c_str(), O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&fa, 1, io.file("out").c_str(), O_WRONLY | O_CREAT, 0666);
    posix_spawn_file_actions_addopen(&fa, 2, io.file("err").c_str(), O_WRONLY | O_CREAT, 0666);
    // dravik starts as an agent starts it, with SIGPIPE at its default (this process ignores it).
    posix_spawnattr_t attr;
    posix_spawnattr_init(&attr);
    sigset_t defaults;
    sigemptyset(&defaults);
    sigaddset(&defaults, SIGPIPE);
    posix_spawnattr_setsigdefault(&attr, &defaults);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGDEF);
    pid_t pid = -1;
    int rc = posix_spawn(&pid, DRAVIK_BIN, &fa, &attr, argv, envp.data());
    posix_spawnattr_destroy(&attr);
    posix_spawn_file_actions_destroy(&fa);
    if (rc != 0) return r;
    for (int waited = 0;; waited += 5) {
        int st = 0;
        if (waitpid(pid, &st, WNOHANG) == pid) {
            r.status = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
            break;
        }
        if (waited >= WAIT_MS) {
            kill(pid, SIGKILL);
            waitpid(pid, &st, 0);
            break;
        }
        usleep(5000);
    }
    r.out = read_file(io.file("out"));
    r.err = read_file(io.file("err"));
    return r;
}

class Dravik : public ::testing::Test {
  protected:
    void SetUp() override { unsetenv("EDITOR_HOOK_SOCK"); }
    std::string sock_path() const { return dir_.file("h.sock"); }
    std::string env() const { return "EDITOR_HOOK_SOCK=" + sock_path(); }

    // The decision line for one answer, checking the exchange's invariants on the way.
    std::string decide(const std::string& answer, const std::string& input = "{}") {
        Hook_Server server(sock_path(), answer);
        EXPECT_TRUE(server.ok());
        Outcome r = run_dravik(input, {env()});
        last_request_ = server.received();
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.err, "");
        unlink(sock_path().c_str());
        return r.out;
    }

    Temp_Dir dir_;
    std::string last_request_;
};

}  // namespace

TEST_F(Dravik, AllowOnlyForTheExactWord) {
    const std::string approved = line("allow", "approved in editor");
    for (const char* a : {"allow", "allow\n", "allow\r\n", "allow\r\n\n\r\r"})
        EXPECT_EQ(decide(a), approved) << a;
    const std::string bad = deny("perm-helper: bad response");
    for (const char* a : {"allow more", "allowed", "Allow", "DENY", " allow", "\n", "\r\n", "ok"})
        EXPECT_EQ(decide(a), bad) << a;
}

TEST_F(Dravik, DenyWithAndWithoutAReason) {
    EXPECT_EQ(decide("deny"), deny("denied in editor"));
    EXPECT_EQ(decide("deny \t \n"), deny("denied in editor"));
    EXPECT_EQ(decide("deny  not this file\n"), deny("not this file"));
    EXPECT_EQ(decide("denyfoo"), deny("foo"));
    EXPECT_EQ(decide("deny session closed\n"), deny("session closed"));
    EXPECT_EQ(decide("deny first\nsecond\r\n"), deny("first\\nsecond"));
}

// Bytes that are not UTF-8 become U+FFFD: the line must stay readable as JSON.
TEST_F(Dravik, ReasonIsEscapedByteByByte) {
    EXPECT_EQ(decide("deny a\"b\\c\x01"
                     "d\te\rf\x1b"
                     "g\x7f\xc3\xa9\xff"),
              deny("a\\\"b\\\\c\\u0001d\\te\\rf\\u001bg\x7f\xc3\xa9\xef\xbf\xbd"));
    // Valid UTF-8 in a reason comes out as the same text through a JSON parser.
    std::string out = decide("deny \"quoted\" caf\xc3\xa9 \\ path\x02");
    nlohmann::json j = nlohmann::json::parse(out, nullptr, false);
    ASSERT_FALSE(j.is_discarded()) << out;
    EXPECT_EQ(j["hookSpecificOutput"]["permissionDecisionReason"],
              "\"quoted\" caf\xc3\xa9 \\ path\x02");
}

TEST_F(Dravik, AnswerIsCutAt1023Bytes) {
    std::string reason(2000, 'x');
    EXPECT_EQ(decide("deny " + reason), deny(std::string(1023 - 5, 'x')));
    // Trailing text past the cut is never seen: what is left is "allow" and newlines.
    EXPECT_EQ(decide("allow" + std::string(1018, '\n') + "x"), line("allow", "approved in editor"));
    // A cut inside a two-byte character drops its first byte, so the line stays valid JSON.
    std::string accents;
    for (int i = 0; i < 600; ++i) accents += "\xc3\xa9";
    std::string out = decide("deny" + accents);
    nlohmann::json j = nlohmann::json::parse(out, nullptr, false);
    ASSERT_FALSE(j.is_discarded()) << out;
    EXPECT_EQ(j["hookSpecificOutput"]["permissionDecisionReason"], accents.substr(0, 1018));
}

TEST_F(Dravik, NoAnswerIsNoResponse) {
    EXPECT_EQ(decide(""), deny("perm-helper: no response"));
}

TEST_F(Dravik, SendsThePrefixedPayloadWithOneNewline) {
    decide("allow", "{\"tool\":\"Bash\"}");
    EXPECT_EQ(last_request_, "REQ {\"tool\":\"Bash\"}\n");
    decide("allow", "{\"tool\":\"Bash\"}\n");
    EXPECT_EQ(last_request_, "REQ {\"tool\":\"Bash\"}\n");
    decide("allow", "a\nb\r\nc");
    EXPECT_EQ(last_request_, "REQ a\nb\r\nc\n");
}

TEST_F(Dravik, StdinBeyondOneMebibyteIsCut) {
    std::string input(1048576 + 1000, 'p');
    input[1048575] = 'q';
    decide("allow", input);
    EXPECT_EQ(last_request_, "REQ " + input.substr(0, 1048576) + "\n");
}

// Nothing listens at the path: a connect attempt would say so instead.
TEST_F(Dravik, EmptyStdinIsRefusedBeforeConnecting) {
    Outcome r = run_dravik("", {env()});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, deny("perm-helper: empty stdin"));
    EXPECT_EQ(r.err, "");
}

TEST_F(Dravik, MissingOrEmptyVariable) {
    for (std::vector<std::string> env : {std::vector<std::string>{}, {"EDITOR_HOOK_SOCK="}}) {
        Outcome r = run_dravik("{}", env);
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.out, deny("perm-helper: EDITOR_HOOK_SOCK unset"));
        EXPECT_EQ(r.err, "");
    }
}

TEST_F(Dravik, SocketPathOf104BytesIsTooLong) {
    std::string base = dir_.path() + "/";
    std::string at_limit = base + std::string(104 - base.size(), 'n');
    std::string below = base + std::string(103 - base.size(), 'n');
    ASSERT_EQ(at_limit.size(), 104u);
    Outcome r = run_dravik("{}", {"EDITOR_HOOK_SOCK=" + at_limit});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, deny("perm-helper: socket path too long"));
    // 103 bytes still fit and get as far as connecting (nothing listens there).
    r = run_dravik("{}", {"EDITOR_HOOK_SOCK=" + below});
    EXPECT_EQ(r.out, deny("perm-helper: connect() failed"));
}

TEST_F(Dravik, NothingListeningIsConnectFailed) {
    Outcome r = run_dravik("{}", {env()});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, deny("perm-helper: connect() failed"));
    EXPECT_EQ(r.err, "");
}

// A daemon that hangs up mid-request must still give a deny line, not a death by SIGPIPE.
TEST_F(Dravik, PeerHangingUpWhileWritingStillDenies) {
    Hook_Server server(sock_path(), "", Server_Mode::Close_At_Once);
    Outcome r = run_dravik(std::string(1048576, 'z'), {env()});
    server.received();
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
    EXPECT_TRUE(r.out == deny("perm-helper: write payload") ||
                r.out == deny("perm-helper: write prefix") ||
                r.out == deny("perm-helper: no response"))
        << r.out;
}
