// The controlled scheduler. Every controlled thread has a record; the one
// whose id is `current` runs, the others wait on their own condition
// variable. At a scheduling point the running thread picks the next one
// (possibly itself) among those that can run, hands over and waits for its
// turn. Blocked threads carry a predicate the deciding thread evaluates; a
// thread waiting for time carries a deadline, and the virtual clock jumps to
// the earliest deadline only when nothing else can run.
#include "sim/sched.h"

#include <unistd.h>

#include <climits>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <vector>

#include "sim/kernel.h"

namespace sim {
namespace sched {

std::atomic<bool> g_active{false};

namespace {

enum class run_state { runnable, blocked, finished };

const char* state_text(run_state s) {
    switch (s) {
        case run_state::runnable:
            return "runnable";
        case run_state::blocked:
            return "blocked";
        default:
            return "finished";
    }
}

struct thread_record {
    unsigned id = 0;
    std::string name;
    run_state state = run_state::runnable;  // the rest guarded by the scheduler's lock, too
    std::function<bool()> ready;
    int64_t deadline = INT64_MAX;
    bool timed_out = false;
    const char* at = "thread start";
    uint64_t priority = 0;
    std::thread* handle = nullptr;
    std::condition_variable turn;
};

constexpr unsigned kNobody = UINT_MAX;

// A scenario's hold on one thread at its next scheduling point of a kind.
struct hold_request {
    std::string thread;
    std::string what;
    std::function<bool()> until;
    int64_t deadline = INT64_MAX;
};

struct scheduler {
    std::mutex lock;
    std::vector<std::unique_ptr<thread_record>> threads;  // guarded by lock; ids are indices
    unsigned current = kNobody;                           // guarded by lock
    config cfg;
    uint64_t random = 0;  // guarded by lock
    uint64_t steps = 0;   // guarded by lock
    uint64_t signature = 0;
    std::vector<uint64_t> change_points;  // PCT: steps at which the running thread drops low
    std::vector<hold_request> holds;      // guarded by lock
};

scheduler& state() {
    static auto* s = new scheduler;  // outlives every static destructor
    return *s;
}

thread_local thread_record* t_self = nullptr;

uint64_t next_random(scheduler& s) {
    uint64_t x = (s.random += 0x9e3779b97f4a7c15ull);
    x = (x ^ (x >> 30)) * 0xbf58476d1ce4e5b9ull;
    x = (x ^ (x >> 27)) * 0x94d049bb133111ebull;
    return x ^ (x >> 31);
}

void note(scheduler& s, uint64_t value) { s.signature = (s.signature ^ (value + 1)) * 0x100000001b3ull; }

[[noreturn]] void finding(scheduler& s, const char* kind, const char* why) {
    fprintf(stderr, "*** %s: %s, after %llu steps\n", kind, why, static_cast<unsigned long long>(s.steps));
    for (const auto& t : s.threads) {
        fprintf(stderr, "    thread %u %s: %s at %s\n", t->id, t->name.c_str(), state_text(t->state), t->at);
    }
    fflush(stderr);
    fflush(stdout);
    _exit(3);
}

// With the lock held, by the thread that reached a scheduling point (`me`,
// whose state says whether it can go on). Sets `current`.
void decide(scheduler& s, thread_record* me) {
    if (++s.steps > s.cfg.max_steps) finding(s, "LIVELOCK", "the step bound was exceeded");
    if (s.cfg.kind == strategy::pct) {
        for (size_t i = 0; i < s.change_points.size(); ++i) {
            if (s.change_points[i] == s.steps) me->priority = i;
        }
    }
    thread_record* pick = nullptr;
    for (;;) {
        // A blocked thread can go on while its condition holds (or its
        // deadline passed) at this decision; it leaves the blocked state
        // only when picked, as the condition may not hold at the next one.
        std::vector<thread_record*> enabled;
        std::vector<bool> timed_out;
        const int64_t now = clock_now();
        int64_t earliest = INT64_MAX;
        bool alive = false;
        for (const auto& t : s.threads) {
            if (t->state == run_state::blocked) {
                if (t->ready && t->ready()) {
                    enabled.push_back(t.get());
                    timed_out.push_back(false);
                } else if (t->deadline <= now) {
                    enabled.push_back(t.get());
                    timed_out.push_back(true);
                } else if (t->deadline < earliest) {
                    earliest = t->deadline;
                }
            } else if (t->state == run_state::runnable) {
                enabled.push_back(t.get());
                timed_out.push_back(false);
            }
            if (t->state != run_state::finished) alive = true;
        }
        if (!enabled.empty()) {
            size_t chosen = 0;
            if (s.cfg.kind == strategy::random) {
                chosen = next_random(s) % enabled.size();
            } else {
                for (size_t i = 1; i < enabled.size(); i++) {
                    if (enabled[i]->priority > enabled[chosen]->priority) chosen = i;
                }
            }
            pick = enabled[chosen];
            if (pick->state == run_state::blocked) {
                pick->state = run_state::runnable;
                pick->timed_out = timed_out[chosen];
                pick->ready = nullptr;
            }
            break;
        }
        if (earliest != INT64_MAX) {
            clock_advance(earliest - now);
            continue;
        }
        if (!alive) {
            s.current = kNobody;
            return;
        }
        finding(s, "DEADLOCK", "every thread is blocked");
    }
    note(s, pick->id);
    if (s.cfg.trace) {
        fprintf(stderr, "[sched %llu] %s at %s\n", static_cast<unsigned long long>(s.steps), pick->name.c_str(),
                pick->at);
    }
    s.current = pick->id;
    if (pick != me) pick->turn.notify_one();
}

void wait_turn(scheduler& s, std::unique_lock<std::mutex>& lk, thread_record* me) {
    while (s.current != me->id) me->turn.wait(lk);
}

thread_record* add_thread(scheduler& s, const char* name) {
    auto rec = std::make_unique<thread_record>();
    rec->id = static_cast<unsigned>(s.threads.size());
    rec->name = name;
    // Above every change-point priority (0 .. depth-2), distinct with
    // overwhelming likelihood.
    rec->priority = s.cfg.depth + (next_random(s) >> 8);
    thread_record* raw = rec.get();
    s.threads.push_back(std::move(rec));
    return raw;
}

void finish(scheduler& s, thread_record* me) {
    std::unique_lock<std::mutex> lk(s.lock);
    me->state = run_state::finished;
    me->at = "thread end";
    decide(s, me);
}

}  // namespace

// With the lock held: blocks `me` on a hold the scenario put on it at this
// point, if any (the caller then decides and waits for its turn).
static bool take_hold(scheduler& s, thread_record* me, const char* what, const char* prefix = "") {
    const size_t prefix_length = strlen(prefix);
    for (auto it = s.holds.begin(); it != s.holds.end(); ++it) {
        if (it->thread == me->name && it->what.compare(0, prefix_length, prefix) == 0 &&
            it->what.compare(prefix_length, std::string::npos, what) == 0) {
            me->state = run_state::blocked;
            me->ready = std::move(it->until);
            me->deadline = it->deadline;
            me->timed_out = false;
            s.holds.erase(it);
            return true;
        }
    }
    return false;
}

void point_slow(const char* what) {
    thread_record* me = t_self;
    if (me == nullptr) return;
    scheduler& s = state();
    std::unique_lock<std::mutex> lk(s.lock);
    me->at = what;
    take_hold(s, me, what);
    decide(s, me);
    wait_turn(s, lk, me);
}

void call_entry_slow(const char* call) {
    thread_record* me = t_self;
    if (me == nullptr) return;
    scheduler& s = state();
    std::unique_lock<std::mutex> lk(s.lock);
    if (!take_hold(s, me, call, kCallEntry)) return;
    me->at = call;
    decide(s, me);
    wait_turn(s, lk, me);
}

void hold(const std::string& thread, const char* what, std::function<bool()> until, int64_t deadline) {
    if (!active()) return;
    scheduler& s = state();
    std::lock_guard<std::mutex> guard(s.lock);
    s.holds.push_back({thread, what, std::move(until), deadline});
}

bool wait(const char* what, const std::function<bool()>& ready, int64_t deadline) {
    thread_record* me = t_self;
    if (me == nullptr) {
        fprintf(stderr, "*** controlled wait \"%s\" on a thread the scheduler does not know\n", what);
        fflush(stderr);
        _exit(3);
    }
    scheduler& s = state();
    std::unique_lock<std::mutex> lk(s.lock);
    me->at = what;
    if (take_hold(s, me, what)) {
        decide(s, me);
        wait_turn(s, lk, me);
    }
    me->state = run_state::blocked;
    me->ready = ready;
    me->deadline = deadline;
    me->timed_out = false;
    decide(s, me);
    wait_turn(s, lk, me);
    return !me->timed_out;
}

std::thread* spawn(const char* name, std::function<void()> body) {
    if (!active()) return new std::thread(std::move(body));
    scheduler& s = state();
    std::lock_guard<std::mutex> guard(s.lock);
    thread_record* rec = add_thread(s, name);
    rec->handle = new std::thread([rec, body = std::move(body)] {
        scheduler& st = state();
        {
            std::unique_lock<std::mutex> lk(st.lock);
            wait_turn(st, lk, rec);
        }
        t_self = rec;
        body();
        t_self = nullptr;
        finish(st, rec);
    });
    return rec->handle;
}

void join(std::thread* thread) {
    if (active() && t_self != nullptr) {
        thread_record* rec = nullptr;
        {
            scheduler& s = state();
            std::lock_guard<std::mutex> guard(s.lock);
            for (const auto& t : s.threads) {
                if (t->handle == thread) rec = t.get();
            }
        }
        if (rec != nullptr) wait("thread join", [rec] { return rec->state == run_state::finished; });
    }
    thread->join();
}

uint64_t choose(uint64_t n) {
    scheduler& s = state();
    std::lock_guard<std::mutex> guard(s.lock);
    const uint64_t choice = next_random(s) % n;
    note(s, 1000 + choice);
    return choice;
}

outcome run(const config& cfg, const std::function<void()>& scenario) {
    scheduler& s = state();
    {
        std::lock_guard<std::mutex> guard(s.lock);
        s.cfg = cfg;
        s.random = cfg.seed * 0x2545f4914f6cdd1dull + static_cast<uint64_t>(cfg.kind);
        s.steps = 0;
        s.signature = 0xcbf29ce484222325ull;
        s.threads.clear();
        s.change_points.clear();
        s.holds.clear();
        if (cfg.kind == strategy::pct) {
            for (unsigned i = 0; i + 1 < cfg.depth; ++i) {
                s.change_points.push_back(1 + next_random(s) % (cfg.expected_steps != 0 ? cfg.expected_steps : 1));
            }
        }
        thread_record* main = add_thread(s, "scenario");
        s.current = main->id;
        t_self = main;
        g_active.store(true);
    }
    scenario();
    outcome out;
    std::lock_guard<std::mutex> guard(s.lock);
    for (const auto& t : s.threads) {
        if (t.get() != t_self && t->state != run_state::finished) {
            finding(s, "DEADLOCK", "threads still running when the scenario ended");
        }
    }
    t_self->state = run_state::finished;
    t_self = nullptr;
    s.current = kNobody;
    g_active.store(false);
    out.steps = s.steps;
    out.signature = s.signature;
    return out;
}

void controlled_recursive_mutex::lock() {
    const std::thread::id me = std::this_thread::get_id();
    if (active() && owner_.load() != me) wait("PnP lock", [this] { return owner_.load() == std::thread::id(); });
    mutex_.lock();
    if (depth_++ == 0) owner_.store(me);
}

bool controlled_recursive_mutex::try_lock() {
    if (!mutex_.try_lock()) return false;
    if (depth_++ == 0) owner_.store(std::this_thread::get_id());
    return true;
}

void controlled_recursive_mutex::unlock() {
    if (--depth_ == 0) owner_.store(std::thread::id());
    mutex_.unlock();
}

std::string current_thread_name() { return t_self != nullptr ? t_self->name : std::string(); }

}  // namespace sched
}  // namespace sim
