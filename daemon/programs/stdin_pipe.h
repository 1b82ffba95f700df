// The daemon's end of a program's standard input: writes and the close keep their order
// and never block the caller, however little of its input the program reads.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>

#include "core/base/fd.h"

// Shared by the channel and, while it runs, the pipe's writer thread, so a channel that
// is freed while a write is stuck does not pull the pipe from under the writer.
class Stdin_Pipe : public std::enable_shared_from_this<Stdin_Pipe> {
  public:
    // fd is the write end; it is made non-blocking.
    static std::shared_ptr<Stdin_Pipe> make(Fd fd);

    // Writes what the pipe takes at once and queues the rest for the writer thread,
    // after everything queued before. Ignored once closed, abandoned or failed.
    void write(std::string_view data);
    // Closes the pipe after everything queued before it has been written.
    void close();
    // Drops what is still queued and closes the pipe; a stuck writer gives up soon.
    void abandon();

    // Bytes queued and not yet taken by the pipe.
    size_t queued() const;
    // False once a close was asked for, or a write failed, or the pipe was abandoned.
    bool accepting() const;

    explicit Stdin_Pipe(Fd fd);

  private:
    // Runs on the writer thread: empties the queue, then ends with the pipe closed.
    void _run();
    // Writes every byte unless the pipe fails or the pipe is abandoned; false then.
    bool _write_all(std::string_view data);
    // Starts the writer thread; false when no thread could be made.
    bool _start_writer();

    mutable std::mutex mu_;
    std::condition_variable cv_;
    Fd fd_;  // touched only by the writer thread once it has started
    std::deque<std::string> queue_;
    size_t queued_bytes_ = 0;
    bool writer_started_ = false;
    bool writing_ = false;  // the writer holds a chunk taken off the queue
    bool close_asked_ = false;
    bool failed_ = false;
    std::atomic<bool> abandoned_{false};
};
