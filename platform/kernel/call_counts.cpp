// The per-thread call counters behind sim::call_counts_read. A slot lives in
// its thread's static TLS block (no heap), joins the list of live slots on
// the thread's first count and, when the thread ends, leaves its counts to
// the retired totals.
#include <atomic>
#include <mutex>

#include "sim/kernel.h"

namespace sim {

namespace {

struct slot;

struct registry {
    std::mutex lock;  // guards live and retired
    slot* live = nullptr;
    call_counts retired;
};

registry& slots() {
    static registry r;
    return r;
}

struct slot {
    // Written by the owning thread only; read by call_counts_read.
    std::atomic<uint64_t> calls{0};
    std::atomic<uint64_t> locks{0};
    slot* next = nullptr;
    slot* prev = nullptr;

    slot() {
        registry& r = slots();
        std::lock_guard<std::mutex> guard(r.lock);
        next = r.live;
        if (next != nullptr) next->prev = this;
        r.live = this;
    }
    ~slot() {
        registry& r = slots();
        std::lock_guard<std::mutex> guard(r.lock);
        r.retired.framework_calls += calls.load(std::memory_order_relaxed);
        r.retired.spin_lock_acquisitions += locks.load(std::memory_order_relaxed);
        if (prev != nullptr) prev->next = next;
        if (next != nullptr) next->prev = prev;
        if (r.live == this) r.live = next;
    }
};

thread_local slot mine;

// One writer per slot: a plain increment published for the readers.
inline void bump(std::atomic<uint64_t>& counter) {
    counter.store(counter.load(std::memory_order_relaxed) + 1, std::memory_order_relaxed);
}

}  // namespace

void count_framework_call() { bump(mine.calls); }

void count_spin_lock_acquisition() { bump(mine.locks); }

call_counts call_counts_read() {
    registry& r = slots();
    std::lock_guard<std::mutex> guard(r.lock);
    call_counts total = r.retired;
    for (slot* s = r.live; s != nullptr; s = s->next) {
        total.framework_calls += s->calls.load(std::memory_order_relaxed);
        total.spin_lock_acquisitions += s->locks.load(std::memory_order_relaxed);
    }
    return total;
}

}  // namespace sim
