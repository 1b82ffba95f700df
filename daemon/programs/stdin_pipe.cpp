// A program's standard input fed without blocking the session: the pipe is non-blocking,
// what it cannot take at once waits in a queue that one writer thread per pipe empties.
#include "daemon/programs/stdin_pipe.h"

#include <poll.h>

#include <cerrno>

#include "core/base/log.h"
#include "core/base/thread.h"

namespace {

// How long a stuck writer waits for room before it looks again whether it was abandoned.
constexpr int ABANDON_CHECK_MS = 100;

}  // namespace

std::shared_ptr<Stdin_Pipe> Stdin_Pipe::make(Fd fd) {
    return std::make_shared<Stdin_Pipe>(std::move(fd));
}

Stdin_Pipe::Stdin_Pipe(Fd fd) : fd_(std::move(fd)) {
    int flags = ::fcntl(fd_.get(), F_GETFL);
    if (flags >= 0) ::fcntl(fd_.get(), F_SETFL, flags | O_NONBLOCK);
}

// fd_ is used under mu_ while the writer holds no chunk (writing_ false), and without
// the lock by whoever set writing_.
void Stdin_Pipe::write(std::string_view data) {
    if (data.empty()) return;
    std::unique_lock lk(mu_);
    if (close_asked_ || failed_ || abandoned_) return;
    if (!writing_ && queue_.empty()) {
        while (!data.empty()) {
            ssize_t n = ::write(fd_.get(), data.data(), data.size());
            if (n > 0) {
                data.remove_prefix(static_cast<size_t>(n));
            } else if (n < 0 && errno == EINTR) {
                continue;
            } else if (n < 0 && errno == EAGAIN) {
                break;
            } else {
                failed_ = true;
                fd_.reset();
                return;
            }
        }
        if (data.empty()) return;
    }
    queue_.emplace_back(data);
    queued_bytes_ += data.size();
    if (writer_started_) {
        cv_.notify_one();
        return;
    }
    if (_start_writer()) return;
    // No thread to be had: write on the caller's thread after all, which blocks it until
    // the program reads, but loses nothing.
    log_line("cannot start a standard input writer; writing in the session thread");
    std::string chunk = std::move(queue_.front());
    queue_.pop_front();
    queued_bytes_ -= chunk.size();
    writing_ = true;
    lk.unlock();
    bool ok = _write_all(chunk);
    lk.lock();
    writing_ = false;
    if (!ok || abandoned_) {
        failed_ = failed_ || !ok;
        fd_.reset();
    }
}

void Stdin_Pipe::close() {
    std::lock_guard lk(mu_);
    if (close_asked_ || abandoned_) return;
    close_asked_ = true;
    if (writer_started_)
        cv_.notify_one();
    else
        fd_.reset();
}

void Stdin_Pipe::abandon() {
    std::lock_guard lk(mu_);
    abandoned_ = true;
    queue_.clear();
    queued_bytes_ = 0;
    if (!writer_started_ && !writing_) fd_.reset();
    cv_.notify_one();
}

size_t Stdin_Pipe::queued() const {
    std::lock_guard lk(mu_);
    return queued_bytes_;
}

bool Stdin_Pipe::accepting() const {
    std::lock_guard lk(mu_);
    return !close_asked_ && !failed_ && !abandoned_;
}

bool Stdin_Pipe::_start_writer() {
    std::shared_ptr<Stdin_Pipe> self = shared_from_this();
    writer_started_ = start_detached([self] { self->_run(); });
    return writer_started_;
}

void Stdin_Pipe::_run() {
    std::unique_lock lk(mu_);
    while (true) {
        cv_.wait(lk, [&] { return abandoned_ || failed_ || close_asked_ || !queue_.empty(); });
        if (abandoned_ || failed_ || queue_.empty()) break;
        std::string chunk = std::move(queue_.front());
        queue_.pop_front();
        writing_ = true;
        lk.unlock();
        bool ok = _write_all(chunk);
        lk.lock();
        writing_ = false;
        queued_bytes_ = queue_.empty() ? 0 : queued_bytes_ - chunk.size();
        if (!ok && !abandoned_) failed_ = true;
    }
    queue_.clear();
    queued_bytes_ = 0;
    fd_.reset();
}

bool Stdin_Pipe::_write_all(std::string_view data) {
    while (!data.empty()) {
        if (abandoned_) return false;
        ssize_t n = ::write(fd_.get(), data.data(), data.size());
        if (n > 0) {
            data.remove_prefix(static_cast<size_t>(n));
        } else if (n < 0 && (errno == EINTR || errno == EAGAIN)) {
            if (errno == EAGAIN) {
                struct pollfd p = {fd_.get(), POLLOUT, 0};
                ::poll(&p, 1, ABANDON_CHECK_MS);
            }
        } else {
            return false;  // the reader is gone (EPIPE) or the pipe broke
        }
    }
    return true;
}
