// The controlled scheduler: a run is a function of its seed, PCT without
// change points runs the highest thread through, a blocked system and an
// endless one are findings naming each thread's position, and time moves
// only when nothing can run.
#include "sim/sched.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <string>
#include <vector>

#include "sim/kernel.h"
#include "wdm.h"

namespace {

// Two workers interleaving interlocked increments; the order in which their
// steps happened.
std::string interleaving(const sim::sched::config& cfg, uint64_t* signature = nullptr) {
    std::string order;
    volatile LONG counter = 0;
    const sim::sched::outcome out = sim::sched::run(cfg, [&] {
        std::vector<std::thread*> threads;
        for (char name : {'a', 'b'}) {
            threads.push_back(sim::sched::spawn(name == 'a' ? "a" : "b", [&order, &counter, name] {
                for (int i = 0; i < 5; i++) {
                    InterlockedIncrement(&counter);
                    order += name;
                }
            }));
        }
        for (std::thread* t : threads) {
            sim::sched::join(t);
            delete t;
        }
    });
    EXPECT_EQ(counter, 10);
    if (signature != nullptr) *signature = out.signature;
    return order;
}

TEST(controlled_scheduler, the_same_seed_replays_the_same_interleaving_and_others_differ) {
    sim::sched::config cfg;
    cfg.seed = 7;
    uint64_t first = 0, second = 0;
    const std::string once = interleaving(cfg, &first);
    EXPECT_EQ(interleaving(cfg, &second), once);
    EXPECT_EQ(first, second);

    std::vector<std::string> seen;
    for (uint64_t seed = 1; seed <= 20; seed++) {
        cfg.seed = seed;
        const std::string order = interleaving(cfg);
        if (std::find(seen.begin(), seen.end(), order) == seen.end()) seen.push_back(order);
    }
    EXPECT_GE(seen.size(), 5u);
}

TEST(controlled_scheduler, pct_without_change_points_runs_one_thread_through_then_the_other) {
    sim::sched::config cfg;
    cfg.kind = sim::sched::strategy::pct;
    cfg.depth = 1;
    for (uint64_t seed = 1; seed <= 5; seed++) {
        cfg.seed = seed;
        const std::string order = interleaving(cfg);
        EXPECT_TRUE(order == "aaaaabbbbb" || order == "bbbbbaaaaa") << order;
    }
    // With a change point the lower thread gets in before the higher one ends.
    cfg.depth = 2;
    cfg.expected_steps = 8;
    bool preempted = false;
    for (uint64_t seed = 1; seed <= 20 && !preempted; seed++) {
        cfg.seed = seed;
        const std::string order = interleaving(cfg);
        preempted = order != "aaaaabbbbb" && order != "bbbbbaaaaa";
    }
    EXPECT_TRUE(preempted);
}

TEST(controlled_scheduler, time_moves_to_the_earliest_deadline_only_once_nothing_can_run) {
    sim::clock_use_virtual(true);
    sim::clock_reset();
    std::vector<int64_t> seen_by_worker;
    bool timed_out = false;
    sim::sched::config cfg;
    cfg.seed = 3;
    sim::sched::run(cfg, [&] {
        std::thread* worker = sim::sched::spawn("worker", [&] {
            for (int i = 0; i < 4; i++) {
                sim::sched::point("work");
                seen_by_worker.push_back(sim::clock_now());
            }
        });
        timed_out = !sim::sched::wait(
            "never", [] { return false; }, sim::clock_now() + 10000000);
        sim::sched::join(worker);
        delete worker;
    });
    EXPECT_TRUE(timed_out);
    EXPECT_EQ(seen_by_worker, std::vector<int64_t>(4, 0));
    EXPECT_EQ(sim::clock_now(), 10000000);
}

// A held thread stops at its next point of the named kind (a wait's too,
// before the wait's own condition) and goes on only once the other thread
// has done what the hold waits for, in every schedule; a hold is taken once.
TEST(controlled_scheduler, a_hold_stops_a_thread_at_its_next_point_of_a_kind_until_released) {
    for (uint64_t seed = 1; seed <= 10; seed++) {
        std::string order;
        std::atomic<int> released{0};
        sim::sched::config cfg;
        cfg.seed = seed;
        sim::sched::run(cfg, [&] {
            sim::sched::hold("a", "window", [&released] { return released.load() >= 1; });
            sim::sched::hold("a", "gate", [&released] { return released.load() >= 2; });
            std::thread* a = sim::sched::spawn("a", [&] {
                sim::sched::point("before");
                order += 'a';
                sim::sched::point("window");
                order += 'A';
                sim::sched::point("window");
                sim::sched::wait("gate", [] { return true; });
                order += 'G';
            });
            std::thread* b = sim::sched::spawn("b", [&] {
                sim::sched::wait("b waits for a", [&order] { return order.find('a') != std::string::npos; });
                for (int i = 0; i < 3; i++) sim::sched::point("b works");
                order += 'b';
                released.store(1);
                sim::sched::wait("b waits for A", [&order] { return order.find('A') != std::string::npos; });
                for (int i = 0; i < 3; i++) sim::sched::point("b works");
                order += 'c';
                released.store(2);
            });
            sim::sched::join(a);
            sim::sched::join(b);
            delete a;
            delete b;
        });
        EXPECT_EQ(order, "abAcG") << "seed " << seed;
    }
}

// A call's entry makes no decision unless held there: the same seed takes
// the same steps with or without entries, and a hold on the entry (not on
// a point of the same name) stops the thread before the call.
TEST(controlled_scheduler, a_call_entry_is_no_point_but_a_hold_on_it_stops_the_thread_there) {
    auto steps_of = [](bool entries, bool held) {
        std::string order;
        std::atomic<bool> released{false};
        sim::sched::config cfg;
        cfg.seed = 7;
        const sim::sched::outcome out = sim::sched::run(cfg, [&] {
            if (held) {
                sim::sched::hold("a", "entry:WdfObjectDelete", [&released] { return released.load(); });
            }
            std::thread* a = sim::sched::spawn("a", [&] {
                sim::sched::point("before");
                if (entries) sim::sched::call_entry("WdfObjectDelete");
                order += 'a';
                sim::sched::point("WdfObjectDelete");
            });
            std::thread* b = sim::sched::spawn("b", [&] {
                for (int i = 0; i < 3; i++) sim::sched::point("b works");
                order += 'b';
                released.store(true);
            });
            sim::sched::join(a);
            sim::sched::join(b);
            delete a;
            delete b;
        });
        return std::make_pair(out.signature, order);
    };
    EXPECT_EQ(steps_of(false, false), steps_of(true, false));
    EXPECT_EQ(steps_of(true, false).second, "ab");
    EXPECT_EQ(steps_of(true, true).second, "ba");
}

TEST(controlled_scheduler, all_threads_blocked_is_a_deadlock_naming_each_position) {
    EXPECT_EXIT(
        {
            sim::sched::config cfg;
            sim::sched::run(cfg, [] {
                std::thread* t =
                    sim::sched::spawn("second", [] { sim::sched::wait("the first's signal", [] { return false; }); });
                sim::sched::wait("the second's signal", [] { return false; });
                sim::sched::join(t);
            });
        },
        ::testing::ExitedWithCode(3),
        "DEADLOCK: every thread is blocked(.|\n)*thread 0 scenario: blocked at the second's signal(.|\n)*"
        "thread 1 second: blocked at the first's signal");
}

TEST(controlled_scheduler, exceeding_the_step_bound_is_a_livelock) {
    EXPECT_EXIT(
        {
            sim::sched::config cfg;
            cfg.max_steps = 500;
            sim::sched::run(cfg, [] {
                for (;;) sim::sched::point("spinning");
            });
        },
        ::testing::ExitedWithCode(3), "LIVELOCK: the step bound was exceeded, after 501 steps(.|\n)*at spinning");
}

TEST(controlled_scheduler, outside_a_run_points_cost_nothing_and_threads_are_plain) {
    EXPECT_FALSE(sim::sched::active());
    sim::sched::point("nothing happens");
    bool ran = false;
    std::thread* t = sim::sched::spawn("plain", [&] { ran = true; });
    sim::sched::join(t);
    delete t;
    EXPECT_TRUE(ran);
}

}  // namespace
