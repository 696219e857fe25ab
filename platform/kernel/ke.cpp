// IRQL, thread identity, the platform clock and KeDelayExecutionThread.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>
#include <thread>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "sim/kernel.h"
#include "sim/sched.h"

namespace {

thread_local KIRQL current_irql = PASSIVE_LEVEL;
std::atomic<bool (*)()> busy_probe{nullptr};
// Set once each, while the process starts; read on every move of the clock.
constexpr size_t kClockObservers = 4;
std::atomic<void (*)()> clock_observers[kClockObservers];
// The spin locks a thread holds, in acquisition order: a fixed table, so
// neither the first acquisition on a new thread nor any later one allocates.
class held_lock_list {
 public:
    static constexpr size_t capacity = 64;
    const void* const* begin() const { return locks_; }
    const void* const* end() const { return locks_ + size_; }
    const void** begin() { return locks_; }
    const void** end() { return locks_ + size_; }
    bool empty() const { return size_ == 0; }
    size_t size() const { return size_; }
    const void* back() const { return locks_[size_ - 1]; }
    bool push_back(const void* lock) {
        if (size_ == capacity) return false;
        locks_[size_++] = lock;
        return true;
    }
    void erase(const void** at) {
        std::copy(at + 1, end(), at);
        size_--;
    }

 private:
    const void* locks_[capacity];
    size_t size_;
};
thread_local held_lock_list held_spin_locks;
thread_local char thread_identity;

// 2024-01-01 00:00:00 UTC in 100 ns units since 1601, so virtual runs print
// the same system time every time.
constexpr int64_t kVirtualSystemBase = 133485408000000000LL;
// Seconds between 1601-01-01 and 1970-01-01.
constexpr int64_t kUnixToWindowsSeconds = 11644473600LL;

int64_t steady_100ns() {
    using namespace std::chrono;
    return duration_cast<nanoseconds>(steady_clock::now().time_since_epoch()).count() / 100;
}

int64_t wall_system_time() {
    using namespace std::chrono;
    const int64_t unix_100ns = duration_cast<nanoseconds>(system_clock::now().time_since_epoch()).count() / 100;
    return unix_100ns + kUnixToWindowsSeconds * 10000000LL;
}

// Adds a non-negative amount, stopping at the largest time instead of wrapping.
void saturating_add(std::atomic<int64_t>& target, int64_t amount) {
    int64_t cur = target.load();
    int64_t next;
    do {
        next = cur > INT64_MAX - amount ? INT64_MAX : cur + amount;
    } while (!target.compare_exchange_weak(cur, next));
}

// Every field is atomic: delays on many threads advance and read it at once.
// Mode switches are serialized by mode_lock.
struct platform_clock {
    std::atomic<bool> is_virtual{true};
    std::atomic<int64_t> virtual_now{0};
    std::atomic<int64_t> real_offset{0};  // clock value when real_start was taken
    std::atomic<int64_t> real_start{0};   // steady clock reading, 100 ns
    std::atomic<int64_t> system_base{kVirtualSystemBase};
    std::atomic<uint64_t> delays{0};
    std::atomic<int64_t> delay_total{0};
    std::mutex mode_lock;
};

platform_clock& clock_state() {
    static auto* c = new platform_clock;
    return *c;
}

int64_t system_time() { return clock_state().system_base.load() + sim::clock_now(); }

void check_level(KIRQL level, const char* caller) {
    if (level > HIGH_LEVEL) sim::bug_check(IRQL_NOT_LESS_OR_EQUAL, "IRQL above HIGH_LEVEL requested", nullptr, caller);
}

void raise_to(KIRQL level, const char* caller) {
    check_level(level, caller);
    if (level < current_irql)
        sim::bug_check(IRQL_NOT_GREATER_OR_EQUAL, "raising the IRQL to a level below the current one", nullptr, caller);
    current_irql = level;
}

void lower_to(KIRQL level, const char* caller) {
    check_level(level, caller);
    if (level > current_irql)
        sim::bug_check(IRQL_NOT_LESS_OR_EQUAL, "lowering the IRQL to a level above the current one", nullptr, caller);
    current_irql = level;
}

}  // namespace

EXTERN_C KIRQL KeGetCurrentIrql(VOID) { return current_irql; }

EXTERN_C VOID KeRaiseIrql(KIRQL NewIrql, PKIRQL OldIrql) {
    if (OldIrql == nullptr)
        sim::bug_check(DRIVER_VERIFIER_DETECTED_VIOLATION, "KeRaiseIrql OldIrql is NULL", nullptr, "KeRaiseIrql");
    const KIRQL old = current_irql;
    raise_to(NewIrql, "KeRaiseIrql");
    *OldIrql = old;
}

EXTERN_C VOID KeLowerIrql(KIRQL NewIrql) { lower_to(NewIrql, "KeLowerIrql"); }

EXTERN_C PKTHREAD KeGetCurrentThread(VOID) { return reinterpret_cast<PKTHREAD>(&thread_identity); }

EXTERN_C PETHREAD PsGetCurrentThread(VOID) { return reinterpret_cast<PETHREAD>(&thread_identity); }

void sim::set_platform_busy_probe(bool (*probe)()) { busy_probe.store(probe); }

bool sim::platform_busy() {
    bool (*probe)() = busy_probe.load();
    return probe != nullptr && probe();
}

namespace {
std::atomic<sim::wait_grace> grace{sim::wait_grace::real_time};
}

void sim::set_wait_grace(wait_grace g) { grace.store(g); }
sim::wait_grace sim::current_wait_grace() { return grace.load(); }

EXTERN_C NTSTATUS KeDelayExecutionThread(KPROCESSOR_MODE WaitMode, BOOLEAN Alertable, PLARGE_INTEGER Interval) {
    UNREFERENCED_PARAMETER(WaitMode);
    // Nothing in the simulation delivers alerts or APCs, so an alertable wait
    // simply runs to its end.
    UNREFERENCED_PARAMETER(Alertable);
    if (current_irql > APC_LEVEL)
        sim::bug_check(DRIVER_IRQL_NOT_LESS_OR_EQUAL, "KeDelayExecutionThread called above APC_LEVEL", Interval,
                       "KeDelayExecutionThread");
    if (Interval == nullptr)
        sim::bug_check(DRIVER_VERIFIER_DETECTED_VIOLATION, "KeDelayExecutionThread Interval is NULL", nullptr,
                       "KeDelayExecutionThread");
    sim::io_release_late();
    const int64_t wait = sim::interval_span(*Interval);
    platform_clock& c = clock_state();
    c.delays.fetch_add(1);
    saturating_add(c.delay_total, wait);
    if (sim::sched::active()) {
        // Other threads run meanwhile; time moves when none of them can.
        sim::sched::wait(
            "KeDelayExecutionThread", [] { return false; },
            sim::clock_now() > INT64_MAX - wait ? INT64_MAX : sim::clock_now() + wait);
    } else if (c.is_virtual.load()) {
        // Bounded: a delay inside the work it waits for must not wait forever.
        if (bool (*probe)() = busy_probe.load()) {
            const auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(2);
            while (probe() && std::chrono::steady_clock::now() < give_up) {
                std::this_thread::sleep_for(std::chrono::microseconds(50));
            }
        }
        // A delay gives the processor up, as on Windows, whatever the virtual
        // clock says: a thread preempted inside the work a caller polls for
        // runs meanwhile, rather than the caller's whole bound passing first.
        std::this_thread::sleep_for(std::chrono::microseconds(1));
        sim::clock_advance(wait);
    } else if (wait == 0) {
        std::this_thread::yield();
    } else {
        constexpr int64_t kMaxSleep = INT64_MAX / 100;
        std::this_thread::sleep_for(std::chrono::nanoseconds((wait < kMaxSleep ? wait : kMaxSleep) * 100));
    }
    return STATUS_SUCCESS;
}

EXTERN_C VOID KeQuerySystemTime(PLARGE_INTEGER CurrentTime) {
    if (CurrentTime == nullptr)
        sim::bug_check(DRIVER_VERIFIER_DETECTED_VIOLATION, "KeQuerySystemTime CurrentTime is NULL", nullptr,
                       "KeQuerySystemTime");
    CurrentTime->QuadPart = system_time();
}

EXTERN_C ULONGLONG KeQueryInterruptTime(VOID) { return static_cast<ULONGLONG>(sim::clock_now()); }

namespace sim {

KIRQL irql_raise(KIRQL level) {
    const KIRQL old = current_irql;
    raise_to(level, "sim::irql_raise");
    return old;
}

void irql_lower(KIRQL level) { lower_to(level, "sim::irql_lower"); }

namespace {

// The order spin locks have been taken in, across all threads, as Driver
// Verifier's deadlock detection records it: an edge from each lock held to
// each lock acquired while it was held. A lock that becomes reachable from
// itself is an inversion, reported at once, whether or not two threads ever
// met in it.
struct lock_order {
    std::mutex lock;
    std::unordered_map<const void*, std::vector<const void*>> after;  // guarded by lock
};

lock_order& order() {
    static auto* o = new lock_order();  // outlives every static destructor
    return *o;
}

// Under the order's lock: whether `to` was ever taken after `from`, directly or through others.
bool reaches(const lock_order& o, const void* from, const void* to) {
    std::vector<const void*> stack{from};
    std::unordered_set<const void*> seen{from};
    while (!stack.empty()) {
        const void* at = stack.back();
        stack.pop_back();
        auto it = o.after.find(at);
        if (it == o.after.end()) continue;
        for (const void* next : it->second) {
            if (next == to) return true;
            if (seen.insert(next).second) stack.push_back(next);
        }
    }
    return false;
}

}  // namespace

void spin_lock_note_acquire(const void* lock, const char* caller) {
    if (std::find(held_spin_locks.begin(), held_spin_locks.end(), lock) != held_spin_locks.end()) {
        bug_check(SPIN_LOCK_ALREADY_OWNED, "spin lock acquired by the thread that already holds it", lock, caller);
    }
    const void* inverted = nullptr;
    if (!held_spin_locks.empty()) {
        lock_order& o = order();
        std::lock_guard<std::mutex> guard(o.lock);
        for (const void* held : held_spin_locks) {
            std::vector<const void*>& known = o.after[held];
            if (std::find(known.begin(), known.end(), lock) != known.end()) continue;
            if (reaches(o, lock, held)) {
                inverted = held;
                break;
            }
            known.push_back(lock);
        }
    }
    if (inverted != nullptr) {
        char rule[160];
        snprintf(rule, sizeof(rule),
                 "lock order inversion: spin lock %p acquired while holding %p, which was taken after it before", lock,
                 inverted);
        bug_check(DRIVER_VERIFIER_DETECTED_VIOLATION, rule, lock, caller);
    }
    if (!held_spin_locks.push_back(lock)) {
        bug_check(SPIN_LOCK_ALREADY_OWNED, "more spin locks held at once than the verifier tracks", lock, caller);
    }
}

void spin_lock_forget(const void* lock) {
    lock_order& o = order();
    std::lock_guard<std::mutex> guard(o.lock);
    o.after.erase(lock);
    for (auto& entry : o.after) {
        std::vector<const void*>& v = entry.second;
        v.erase(std::remove(v.begin(), v.end(), lock), v.end());
    }
}

void spin_lock_note_release(const void* lock, const char* caller) {
    auto it = std::find(held_spin_locks.begin(), held_spin_locks.end(), lock);
    if (it == held_spin_locks.end()) {
        bug_check(SPIN_LOCK_NOT_OWNED, "spin lock released by a thread that does not hold it", lock, caller);
    }
    held_spin_locks.erase(it);
}

size_t spin_locks_held() { return held_spin_locks.size(); }

void check_spin_locks_released(size_t held_on_entry, const char* callback) {
    if (held_spin_locks.size() > held_on_entry) {
        const std::string rule = std::string("spin lock still held when ") + callback + " returned";
        bug_check(SPIN_LOCK_NOT_OWNED, rule.c_str(), held_spin_locks.back(), callback);
    }
}

void clock_use_virtual(bool virtual_clock) {
    platform_clock& c = clock_state();
    std::lock_guard<std::mutex> guard(c.mode_lock);
    if (c.is_virtual.load() == virtual_clock) return;
    // Time continues from where the other clock stood, so it never runs back.
    const int64_t now = clock_now();
    if (virtual_clock) {
        c.virtual_now.store(now);
        c.system_base.store(kVirtualSystemBase);
    } else {
        c.real_offset.store(now);
        c.real_start.store(steady_100ns());
        c.system_base.store(wall_system_time() - now);
    }
    c.is_virtual.store(virtual_clock);
}

bool clock_is_virtual() { return clock_state().is_virtual.load(); }

int64_t clock_now() {
    platform_clock& c = clock_state();
    if (c.is_virtual.load()) return c.virtual_now.load();
    return c.real_offset.load() + (steady_100ns() - c.real_start.load());
}

void clock_advance(int64_t interval_100ns) {
    if (interval_100ns <= 0) return;
    platform_clock& c = clock_state();
    saturating_add(c.is_virtual.load() ? c.virtual_now : c.real_offset, interval_100ns);
    for (auto& slot : clock_observers) {
        if (void (*observer)() = slot.load()) observer();
    }
}

void add_clock_observer(void (*observer)()) {
    for (auto& slot : clock_observers) {
        void (*empty)() = nullptr;
        if (slot.compare_exchange_strong(empty, observer)) return;
    }
    fprintf(stderr, "more clock observers than the platform keeps\n");
    abort();
}

int64_t interval_span(const LARGE_INTEGER& interval) {
    const int64_t q = interval.QuadPart;
    if (q < 0) return q == INT64_MIN ? INT64_MAX : -q;
    const int64_t now = system_time();
    return q > now ? q - now : 0;
}

uint64_t delay_count() { return clock_state().delays.load(); }

int64_t delay_total() { return clock_state().delay_total.load(); }

void clock_reset() {
    platform_clock& c = clock_state();
    std::lock_guard<std::mutex> guard(c.mode_lock);
    c.virtual_now.store(0);
    c.real_offset.store(0);
    c.real_start.store(steady_100ns());
    c.system_base.store(c.is_virtual.load() ? kVirtualSystemBase : wall_system_time());
    c.delays.store(0);
    c.delay_total.store(0);
}

}  // namespace sim
