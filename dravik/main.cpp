// dravik: a coding agent's PreToolUse hook. Forwards the hook's input to the editor tab
// over the session's hook socket and prints the tab's allow or deny; every failure is a
// deny whose reason names it. Always exits 0 and never writes to standard error.
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "core/base/utf8.h"
#include "decision.h"

namespace {

constexpr size_t INPUT_MAX = 1048576;  // bytes of standard input forwarded
constexpr size_t ANSWER_MAX = 1023;    // bytes of answer read
// The path room of the macOS socket address, kept on every system so a path behaves alike.
constexpr size_t SOCK_PATH_MAX = 104;

// Reads fd until end of file or cap bytes; interrupted reads are repeated. -1 on error.
ssize_t read_all(int fd, char* buf, size_t cap) {
    size_t len = 0;
    while (len < cap) {
        ssize_t n = read(fd, buf + len, cap - len);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return -1;
        if (n == 0) break;
        len += static_cast<size_t>(n);
    }
    return static_cast<ssize_t>(len);
}

// Partial writes are continued; a write of nothing or an error (even EINTR) ends it.
bool _write_payload(int sock, const char* p, size_t len) {
    while (len > 0) {
        ssize_t n = write(sock, p, len);
        if (n <= 0) return false;
        p += n;
        len -= static_cast<size_t>(n);
    }
    return true;
}

// Sends the payload and returns what the socket's daemon answers; the reason of a deny
// when something fails. The input buffer is freed once it has been sent.
const char* _exchange(int sock, const char* path, char*& input, size_t len, char* answer,
                      ssize_t& got) {
    if (std::strlen(path) >= SOCK_PATH_MAX) return "perm-helper: socket path too long";
    struct sockaddr_un addr;
    std::memset(&addr, 0, sizeof addr);
    addr.sun_family = AF_UNIX;
    std::memcpy(addr.sun_path, path, std::strlen(path));
    if (connect(sock, reinterpret_cast<struct sockaddr*>(&addr), sizeof addr) != 0)
        return "perm-helper: connect() failed";
    if (write(sock, "REQ ", 4) != 4) return "perm-helper: write prefix";
    if (!_write_payload(sock, input, len)) return "perm-helper: write payload";
    if (input[len - 1] != '\n' && write(sock, "\n", 1) != 1)
        return "perm-helper: write trailing newline";
    shutdown(sock, SHUT_WR);
    std::free(input);
    input = nullptr;
    got = read_all(sock, answer, ANSWER_MAX);
    if (got <= 0) return "perm-helper: no response";
    return nullptr;
}

int _deny(const char* reason, char* input, int sock) {
    emit("deny", reason);
    std::free(input);
    if (sock >= 0) close(sock);
    return 0;
}

}  // namespace

int main() {
    // A daemon that goes away mid-exchange must give a deny line, not a silent death.
    signal(SIGPIPE, SIG_IGN);
    char* input = static_cast<char*>(std::malloc(INPUT_MAX));
    if (!input) return _deny("perm-helper: out of memory", nullptr, -1);
    ssize_t len = read_all(STDIN_FILENO, input, INPUT_MAX);
    if (len <= 0) return _deny("perm-helper: empty stdin", input, -1);
    const char* path = std::getenv("EDITOR_HOOK_SOCK");
    if (!path || !*path) return _deny("perm-helper: EDITOR_HOOK_SOCK unset", input, -1);
    int sock = socket(AF_UNIX, SOCK_STREAM, 0);
    if (sock < 0) return _deny("perm-helper: socket() failed", input, -1);

    char answer[ANSWER_MAX + 1];
    ssize_t got = 0;
    if (const char* failure = _exchange(sock, path, input, static_cast<size_t>(len), answer, got))
        return _deny(failure, input, sock);
    close(sock);
    answer[got] = '\0';
    std::string_view text(answer, static_cast<size_t>(got));
    // A full buffer may have cut the answer inside a character: the reason ends before it.
    if (static_cast<size_t>(got) == ANSWER_MAX) text = utf8_drop_cut_character(text);
    while (!text.empty() && (text.back() == '\r' || text.back() == '\n')) text.remove_suffix(1);
    Decision d = judge_answer(text);
    emit(d.decision, d.reason);
    return 0;
}
