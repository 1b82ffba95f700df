// Linked into every test program: it runs the daemon's code as the daemon runs, with SIGPIPE
// ignored from the start. The QUELMAR_PORTABLE build has no other guard on a send to a
// vanished peer (Linux has no SO_NOSIGPIPE).
#include <csignal>

namespace {

const bool _sigpipe_ignored = [] { return std::signal(SIGPIPE, SIG_IGN) != SIG_ERR; }();

}  // namespace
