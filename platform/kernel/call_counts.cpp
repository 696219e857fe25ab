// The per-thread call counters behind sim::call_counts_read. Each thread
// counts in a slot of a static table, claimed on its first count and given
// back by a thread-exit destructor that leaves its counts to the retired
// totals: no heap, so a count never shows as an allocation of the code
// measured.
#include <pthread.h>

#include <atomic>
#include <mutex>

#include "sim/kernel.h"

namespace sim {

namespace {

struct slot {
    // Written by the owning thread only; read by call_counts_read.
    std::atomic<uint64_t> calls{0};
    std::atomic<uint64_t> locks{0};
    bool used = false;  // under registry::lock
};

constexpr size_t slot_count = 1024;

struct registry {
    std::mutex lock;  // guards the slots' used flags, retired and the claiming of overflow
    slot slots[slot_count];
    // Threads beyond the table share one slot, counted atomically.
    slot overflow;
    call_counts retired;
    pthread_key_t key;

    registry() { pthread_key_create(&key, &registry::thread_ended); }

    static void thread_ended(void* value);
};

registry& table() {
    static registry r;
    return r;
}

void registry::thread_ended(void* value) {
    auto* s = static_cast<slot*>(value);
    registry& r = table();
    std::lock_guard<std::mutex> guard(r.lock);
    r.retired.framework_calls += s->calls.exchange(0, std::memory_order_relaxed);
    r.retired.spin_lock_acquisitions += s->locks.exchange(0, std::memory_order_relaxed);
    s->used = false;
}

thread_local slot* mine = nullptr;

slot* claim() {
    registry& r = table();
    slot* s = &r.overflow;
    {
        std::lock_guard<std::mutex> guard(r.lock);
        for (slot& candidate : r.slots) {
            if (!candidate.used) {
                candidate.used = true;
                s = &candidate;
                break;
            }
        }
    }
    if (s != &r.overflow) pthread_setspecific(r.key, s);
    mine = s;
    return s;
}

inline void bump(std::atomic<uint64_t> slot::*counter) {
    slot* s = mine != nullptr ? mine : claim();
    if (s == &table().overflow) {
        (s->*counter).fetch_add(1, std::memory_order_relaxed);
    } else {
        // One writer: a plain increment published for the readers.
        (s->*counter).store((s->*counter).load(std::memory_order_relaxed) + 1, std::memory_order_relaxed);
    }
}

}  // namespace

void count_framework_call() { bump(&slot::calls); }

void count_spin_lock_acquisition() { bump(&slot::locks); }

call_counts call_counts_read() {
    registry& r = table();
    std::lock_guard<std::mutex> guard(r.lock);
    call_counts total = r.retired;
    for (const slot& s : r.slots) {
        total.framework_calls += s.calls.load(std::memory_order_relaxed);
        total.spin_lock_acquisitions += s.locks.load(std::memory_order_relaxed);
    }
    total.framework_calls += r.overflow.calls.load(std::memory_order_relaxed);
    total.spin_lock_acquisitions += r.overflow.locks.load(std::memory_order_relaxed);
    return total;
}

}  // namespace sim
