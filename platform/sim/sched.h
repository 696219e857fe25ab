// The controlled mode of the platform: one of its threads runs at a time and
// control passes only at scheduling points (spin locks, interlocked
// operations, sends, completions, cancels, delays and waits, deletions,
// driver callbacks, thread start and end). Which thread runs next is the
// strategy's choice: seeded random, or PCT with a bug depth. A run is a
// function of (scenario, strategy, seed) and replays step for step.
//
// With the mode off every hook is one relaxed load and a not-taken branch.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

namespace sim {
namespace sched {

enum class strategy { random, pct };

struct config {
    strategy kind = strategy::random;
    uint64_t seed = 0;
    unsigned depth = 3;              // PCT: bug depth d (d - 1 priority change points)
    uint64_t expected_steps = 2000;  // PCT: the run length the change points are spread over
    uint64_t max_steps = 200000;     // beyond this the run is a livelock
    bool trace = false;              // print every decision on stderr
};

struct outcome {
    uint64_t steps = 0;      // scheduling decisions made
    uint64_t signature = 0;  // hash of the sequence of decisions: equal runs, equal signature
};

extern std::atomic<bool> g_active;
inline bool active() { return g_active.load(std::memory_order_relaxed); }

void point_slow(const char* what);
// A scheduling point: the strategy may hand control to another thread here.
inline void point(const char* what) {
    if (active()) point_slow(what);
}

// Blocks the calling thread until `ready` holds or the platform clock
// reaches `deadline` (INT64_MAX: never). `ready` is evaluated by whichever
// thread makes the next decision, with the scheduler's lock held: it may
// only read. The clock moves to the earliest deadline once no thread can
// run. True when `ready` held, false on the deadline. Controlled mode only.
bool wait(const char* what, const std::function<bool()>& ready, int64_t deadline = INT64_MAX);

// Holds the named thread at its next scheduling point named `what` as a
// blocked thread until `until` holds or the clock reaches `deadline`, as a
// CPU interrupted there would stand: a scenario steers a schedule into a
// window this way. `until` may only read, as for wait(). One hold per call;
// nothing in uncontrolled mode.
void hold(const std::string& thread, const char* what, std::function<bool()> until, int64_t deadline = INT64_MAX);

// A framework call's entry. No scheduling point (the strategy decides
// nothing here, so schedules stay as they were), but a hold() on
// kCallEntry + the call's name ("entry:WdfRequestCancelSentRequest") stops
// the thread here, as a CPU interrupted between the caller's last read and
// the call: the window a scenario steers into.
constexpr const char* kCallEntry = "entry:";
void call_entry_slow(const char* call);
inline void call_entry(const char* call) {
    if (active()) call_entry_slow(call);
}

// A thread the platform or a scenario starts. In controlled mode it is
// registered at once and runs when the strategy first picks it; otherwise a
// plain thread. join() waits for it as a scheduling point, then joins.
std::thread* spawn(const char* name, std::function<void()> body);
void join(std::thread* thread);

// A choice the platform leaves open (a completion inline or on a thread):
// in controlled mode the strategy's random source decides, in [0, n).
uint64_t choose(uint64_t n);

// Runs `scenario` on the calling thread as the first controlled thread and
// returns once it has returned. A deadlock (every thread blocked) or a
// livelock (max_steps exceeded) prints "*** DEADLOCK" or "*** LIVELOCK" with
// each thread's position and ends the process with status 3.
outcome run(const config& cfg, const std::function<void()>& scenario);

// A recursive mutex the scheduler sees: in controlled mode a thread finding
// it held blocks as the scheduler knows it, so the holder may be parked at a
// scheduling point. Otherwise a plain recursive mutex.
class controlled_recursive_mutex {
 public:
    void lock();
    bool try_lock();
    void unlock();

 private:
    std::recursive_mutex mutex_;
    std::atomic<std::thread::id> owner_{};
    unsigned depth_ = 0;  // guarded by mutex_
};

// The calling thread's name in controlled mode ("" outside it).
std::string current_thread_name();

}  // namespace sched
}  // namespace sim
