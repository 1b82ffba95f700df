// Short connections of one listener, served by reused threads that take turns accepting.
// The connections not yet admitted are capped: at the cap, the oldest one still waiting for
// its head, or stalled in its answer, is shut down to make room, so a flood churns only its
// own connections and a client that sends its head at once always gets in.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <list>
#include <mutex>

#include "core/base/fd.h"

struct Conn_Pool_Limits {
    size_t cap = 0;        // connections not yet admitted, at once (at least 1)
    int64_t stall_ns = 0;  // an answer still running after this long counts as stalled
};

// One connection not yet admitted, as eviction sees it.
struct Pool_Slot {
    int fd = -1;
    int64_t accepted_ns = 0;
    bool answering = false;  // its head is in; answering_ns is when that happened
    int64_t answering_ns = 0;
    bool evicted = false;  // shut down to make room; its thread closes it
};

// The slot to shut down to make room: the oldest (slots are in accept order) that is not
// evicted yet and either waits for its head or has been answering for stall_ns or more,
// other than spare (the connection being made room for); nullptr when none qualifies. Pure.
Pool_Slot* pick_victim(std::list<Pool_Slot>& slots, int64_t now_ns, int64_t stall_ns,
                       const Pool_Slot* spare);

class Conn_Pool {
  public:
    // serve runs one connection on a pool thread and leaves closing it to the pool.
    using Serve = std::function<void(int sock)>;
    // The pool takes no ownership of listener, which must outlive it.
    Conn_Pool(int listener, Conn_Pool_Limits limits, Serve serve);
    Conn_Pool(const Conn_Pool&) = delete;
    Conn_Pool& operator=(const Conn_Pool&) = delete;

    // Starts the first thread; false when it cannot be made. The pool's threads run for the
    // life of the process, so the pool must too.
    bool start();

    // For the serving thread (no effect on threads of no pool): the head is in and the
    // answer begins; the connection passed admission (no longer counted or evicted, still
    // served on this thread); the connection becomes long-lived (a tab session, a relay):
    // it leaves the pool with this thread, which ends once it is done.
    static void answering();
    static void admitted();
    static void detach();

  private:
    void _work();
    // Waits for the turn to accept; false when this thread is a spare no longer needed.
    bool _wait_to_lead();
    Fd _accept_as_leader();
    // Under mu_.
    void _evict_one(int64_t now_ns, const Pool_Slot* spare);
    bool _claim_thread();
    void _drop_slot();
    void _spawn();

    int listener_;
    Conn_Pool_Limits limits_;
    Serve serve_;
    std::mutex mu_;
    std::list<Pool_Slot> slots_;  // in accept order
    size_t live_ = 0;             // slots not evicted
    size_t threads_ = 0;          // threads of the pool, detached ones not counted
    size_t idle_ = 0;             // threads waiting to accept, the leader among them
    bool leader_busy_ = false;    // one thread is in accept
    std::condition_variable leader_cv_;
    size_t admitted_ = 0;  // threads serving an admitted connection
};
