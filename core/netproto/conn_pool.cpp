// Short connections of one listener on reused threads, with a cap on those not yet admitted.
#include "core/netproto/conn_pool.h"

#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <utility>

#include "core/base/clock.h"
#include "core/base/fd.h"
#include "core/base/thread.h"
#include "core/platform/platform.h"

namespace {

constexpr int64_t ACCEPT_BACKOFF_FIRST_NS = 10 * NS_PER_MS;
constexpr int64_t ACCEPT_BACKOFF_MAX_NS = 1 * NS_PER_SEC;
// Threads kept waiting for connections (the one in accept included) when nothing comes, and
// how long a thread beyond them waits for a turn before it ends.
constexpr size_t SPARES_KEPT = 2;
constexpr int64_t SPARE_RETIRE_NS = 100 * NS_PER_MS;

// What the serving thread knows of its connection's place in its pool.
struct Thread_Conn {
    Conn_Pool* pool = nullptr;
    std::list<Pool_Slot>::iterator slot;
    bool in_slot = false;  // the slot is still in the pool's list
    bool admitted = false;
    bool detached = false;
};
thread_local Thread_Conn t_conn;

}  // namespace

Pool_Slot* pick_victim(std::list<Pool_Slot>& slots, int64_t now_ns, int64_t stall_ns,
                       const Pool_Slot* spare) {
    for (Pool_Slot& s : slots)
        if (&s != spare && !s.evicted && (!s.answering || now_ns - s.answering_ns >= stall_ns))
            return &s;
    return nullptr;
}

Conn_Pool::Conn_Pool(int listener, Conn_Pool_Limits limits, Serve serve)
    : listener_(listener), limits_(limits), serve_(std::move(serve)) {
    limits_.cap = std::max<size_t>(limits_.cap, 1);
}

bool Conn_Pool::start() {
    {
        std::lock_guard lock(mu_);
        ++threads_;
    }
    if (start_detached([this] { _work(); })) return true;
    std::lock_guard lock(mu_);
    --threads_;
    return false;
}

// Shutting the socket down wakes its thread from any receive or send; the thread closes the
// descriptor after it has dropped the slot, so the number shut down is never a reused one.
void Conn_Pool::_evict_one(int64_t now_ns, const Pool_Slot* spare) {
    Pool_Slot* victim = pick_victim(slots_, now_ns, limits_.stall_ns, spare);
    if (!victim) return;
    victim->evicted = true;
    --live_;
    ::shutdown(victim->fd, SHUT_RDWR);
}

// Whether another thread may be made: one per connection not yet admitted, up to the cap,
// plus those busy with admitted ones.
bool Conn_Pool::_claim_thread() {
    if (threads_ >= limits_.cap + admitted_) return false;
    ++threads_;
    return true;
}

void Conn_Pool::_drop_slot() {
    if (!t_conn.in_slot) return;
    if (!t_conn.slot->evicted) --live_;
    slots_.erase(t_conn.slot);
    t_conn.in_slot = false;
}

void Conn_Pool::_spawn() {
    if (start_detached([this] { _work(); })) return;
    std::lock_guard lock(mu_);
    --threads_;
}

// One thread at a time waits in accept: Linux reserves a descriptor for every blocked
// accept, so idle threads all in accept would hold as many descriptors as there are threads.
Fd Conn_Pool::_accept_as_leader() {
    int64_t backoff = ACCEPT_BACKOFF_FIRST_NS;
    for (;;) {
        Fd sock = accept_cloexec(listener_);
        if (sock) return sock;
        int err = errno;
        if (err == EINTR || err == ECONNABORTED) continue;
        // Out of descriptors: the oldest waiting connection gives its own back.
        if (err == EMFILE || err == ENFILE) {
            std::lock_guard lock(mu_);
            _evict_one(mono_ns(), nullptr);
        }
        sleep_ns(backoff);
        backoff = std::min(backoff * 2, ACCEPT_BACKOFF_MAX_NS);
    }
}

// A burst leaves threads behind; those that find no turn soon go, down to a few that wait.
bool Conn_Pool::_wait_to_lead() {
    std::unique_lock lock(mu_);
    ++idle_;
    while (leader_busy_) {
        bool turn = leader_cv_.wait_for(lock, std::chrono::nanoseconds(SPARE_RETIRE_NS),
                                        [this] { return !leader_busy_; });
        if (!turn && idle_ > SPARES_KEPT) {
            --idle_;
            --threads_;
            return false;
        }
    }
    leader_busy_ = true;
    return true;
}

void Conn_Pool::_work() {
    for (;;) {
        if (!_wait_to_lead()) return;
        Fd sock = _accept_as_leader();
        bool spawn = false;
        {
            std::lock_guard lock(mu_);
            leader_busy_ = false;
            --idle_;
            int64_t now = mono_ns();
            t_conn = {this, slots_.insert(slots_.end(), {sock.get(), now}), true};
            ++live_;
            bool over_cap = live_ > limits_.cap;
            // Someone must stay ready to accept: a new thread, or one freed by an eviction.
            if (idle_ == 0) spawn = _claim_thread();
            if (over_cap || (idle_ == 0 && !spawn)) _evict_one(now, &*t_conn.slot);
        }
        leader_cv_.notify_one();
        if (spawn) _spawn();
        serve_(sock.get());
        bool detached;
        {
            std::lock_guard lock(mu_);
            _drop_slot();
            if (t_conn.admitted && !t_conn.detached) --admitted_;
            detached = t_conn.detached;
            t_conn = {};
        }
        sock.reset();
        if (detached) return;
    }
}

void Conn_Pool::answering() {
    Conn_Pool* pool = t_conn.pool;
    if (!pool) return;
    std::lock_guard lock(pool->mu_);
    if (!t_conn.in_slot) return;
    t_conn.slot->answering = true;
    t_conn.slot->answering_ns = mono_ns();
}

void Conn_Pool::admitted() {
    Conn_Pool* pool = t_conn.pool;
    if (!pool || t_conn.admitted || t_conn.detached) return;
    std::lock_guard lock(pool->mu_);
    pool->_drop_slot();
    ++pool->admitted_;
    t_conn.admitted = true;
}

void Conn_Pool::detach() {
    Conn_Pool* pool = t_conn.pool;
    if (!pool || t_conn.detached) return;
    bool spawn = false;
    {
        std::lock_guard lock(pool->mu_);
        pool->_drop_slot();
        if (t_conn.admitted) --pool->admitted_;
        --pool->threads_;
        t_conn.detached = true;
        // A thread of the same number takes this one's place: the pool keeps its size
        // however many sessions come and go.
        spawn = pool->_claim_thread();
    }
    if (spawn) pool->_spawn();
}
