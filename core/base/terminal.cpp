// Pseudo-terminals for programs: opening a pair, its size, its end-of-file character.
#include "core/base/terminal.h"

#include <fcntl.h>
#include <sys/ioctl.h>
#include <termios.h>

#include <cerrno>
#include <cstdlib>
#include <mutex>
#include <string>

namespace {

// Typed when the terminal will not say its own: Ctrl+D, the default everywhere.
constexpr char DEFAULT_EOF_CHAR = '\x04';

// ptsname's answer lives in a static buffer shared by every thread.
std::mutex _ptsname_mu;

// O_CLOEXEC at birth where posix_openpt takes it; else marked at once.
Fd _open_master() {
    Fd master(::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC));
    if (!master && errno == EINVAL) {
        master.reset(::posix_openpt(O_RDWR | O_NOCTTY));
        if (master && !set_cloexec(master.get())) master.reset();
    }
    return master;
}

std::string _slave_name(int master) {
    std::lock_guard lock(_ptsname_mu);
    const char* name = ::ptsname(master);
    return name ? std::string(name) : std::string();
}

// Backspace then removes a whole UTF-8 character from the line being edited.
void _utf8_input(int slave) {
    struct termios t;
    if (::tcgetattr(slave, &t) != 0) return;
    t.c_iflag |= IUTF8;
    ::tcsetattr(slave, TCSANOW, &t);
}

}  // namespace

int open_terminal(int cols, int rows, Terminal_Pair& out) {
    Fd master = _open_master();
    if (!master) return errno;
    if (::grantpt(master.get()) != 0 || ::unlockpt(master.get()) != 0) return errno;
    std::string name = _slave_name(master.get());
    if (name.empty()) return errno != 0 ? errno : ENOENT;
    Fd slave(::open(name.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC));
    if (!slave) return errno;
    _utf8_input(slave.get());
    if (!set_terminal_size(master.get(), cols, rows)) return errno;
    out.master = std::move(master);
    out.slave = std::move(slave);
    return 0;
}

bool set_terminal_size(int master, int cols, int rows) {
    struct winsize ws {};
    ws.ws_col = static_cast<unsigned short>(cols);
    ws.ws_row = static_cast<unsigned short>(rows);
    return ::ioctl(master, TIOCSWINSZ, &ws) == 0;
}

char terminal_eof_char(int master) {
    struct termios t;
    if (::tcgetattr(master, &t) != 0 || t.c_cc[VEOF] == _POSIX_VDISABLE) return DEFAULT_EOF_CHAR;
    return static_cast<char>(t.c_cc[VEOF]);
}
