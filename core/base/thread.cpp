// Threads that report a failed start as a value instead of throwing.
#include "core/base/thread.h"

#include <memory>
#include <utility>

namespace {

// Thread stacks: the default 8 MiB reserve is far more than any of our threads uses,
// and sessions start several threads each.
constexpr size_t STACK_SIZE = 512 * 1024;

void* _run(void* arg) {
    std::unique_ptr<std::function<void()>> body(static_cast<std::function<void()>*>(arg));
    (*body)();
    return nullptr;
}

bool _create(pthread_t& tid, std::function<void()> body, bool detached) {
    auto* heap = new std::function<void()>(std::move(body));
    pthread_attr_t attr;
    pthread_attr_init(&attr);
    pthread_attr_setstacksize(&attr, STACK_SIZE);
    if (detached) pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
    int rc = pthread_create(&tid, &attr, _run, heap);
    pthread_attr_destroy(&attr);
    if (rc != 0) {
        delete heap;
        return false;
    }
    return true;
}

}  // namespace

bool start_detached(std::function<void()> body) {
    pthread_t tid;
    return _create(tid, std::move(body), true);
}

Joinable_Thread::Joinable_Thread(Joinable_Thread&& other) noexcept
    : tid_(other.tid_), started_(std::exchange(other.started_, false)) {}

Joinable_Thread& Joinable_Thread::operator=(Joinable_Thread&& other) noexcept {
    if (this != &other) {
        join();
        tid_ = other.tid_;
        started_ = std::exchange(other.started_, false);
    }
    return *this;
}

bool Joinable_Thread::start(std::function<void()> body) {
    join();
    started_ = _create(tid_, std::move(body), false);
    return started_;
}

void Joinable_Thread::join() {
    if (!started_) return;
    pthread_join(tid_, nullptr);
    started_ = false;
}
