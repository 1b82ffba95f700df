// Threads that report a failed start as a value instead of throwing.
#pragma once

#include <pthread.h>

#include <functional>

// Starts a self-cleaning thread that nobody joins. False when it could not be created;
// the function is then not run.
bool start_detached(std::function<void()> body);

// A thread that must be waited for: join() waits, the destructor joins if still running.
class Joinable_Thread {
  public:
    Joinable_Thread() = default;
    Joinable_Thread(const Joinable_Thread&) = delete;
    Joinable_Thread& operator=(const Joinable_Thread&) = delete;
    Joinable_Thread(Joinable_Thread&& other) noexcept;
    Joinable_Thread& operator=(Joinable_Thread&& other) noexcept;
    ~Joinable_Thread() { join(); }

    // False when the thread could not be created.
    bool start(std::function<void()> body);
    void join();
    bool running() const { return started_; }

  private:
    pthread_t tid_{};
    bool started_ = false;
};
