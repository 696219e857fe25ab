// IRQL tracking, the virtual and real clocks and
// KeDelayExecutionThread.
#include <chrono>
#include <thread>
#include <vector>

#include "kernel_fixture.h"

using irql = kernel_test;
using irql_DeathTest = kernel_death_test;
using clock_and_delay = kernel_test;
using clock_and_delay_DeathTest = kernel_death_test;

namespace {

constexpr int64_t kMs = 10000;  // 100 ns units

NTSTATUS delay(int64_t interval) {
    LARGE_INTEGER t;
    t.QuadPart = interval;
    return KeDelayExecutionThread(KernelMode, FALSE, &t);
}

}  // namespace

TEST_F(irql, raise_and_lower_per_thread) {
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
    KIRQL old = 0xFF;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    EXPECT_EQ(old, PASSIVE_LEVEL);
    EXPECT_EQ(KeGetCurrentIrql(), DISPATCH_LEVEL);
    KIRQL other = 0xFF;
    PKTHREAD other_thread = nullptr;
    std::thread([&] {
        other = KeGetCurrentIrql();
        other_thread = KeGetCurrentThread();
    }).join();
    EXPECT_EQ(other, PASSIVE_LEVEL) << "each thread has its own IRQL";
    EXPECT_NE(other_thread, KeGetCurrentThread());
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    EXPECT_EQ(old, DISPATCH_LEVEL) << "raising to the same level is allowed";
    KeLowerIrql(PASSIVE_LEVEL);
    EXPECT_EQ(sim::irql_raise(APC_LEVEL), PASSIVE_LEVEL);
    sim::irql_lower(PASSIVE_LEVEL);
}

TEST_F(irql_DeathTest, wrong_direction_is_a_bug_check) {
    KIRQL old;
    EXPECT_DEATH(
        {
            KeRaiseIrql(DISPATCH_LEVEL, &old);
            KeRaiseIrql(APC_LEVEL, &old);
        },
        "BUGCHECK 0x00000009: raising the IRQL to a level below.*caller KeRaiseIrql");
    EXPECT_DEATH(KeLowerIrql(DISPATCH_LEVEL), "BUGCHECK 0x0000000A: lowering the IRQL to a level above.*KeLowerIrql");
    EXPECT_DEATH(sim::irql_lower(APC_LEVEL), "lowering the IRQL.*sim::irql_lower");
    EXPECT_DEATH(KeRaiseIrql(HIGH_LEVEL + 1, &old), "above HIGH_LEVEL");
    EXPECT_DEATH(KeRaiseIrql(DISPATCH_LEVEL, nullptr), "OldIrql is NULL");
}

TEST_F(clock_and_delay, virtual_delays_advance_time_without_sleeping) {
    ASSERT_TRUE(sim::clock_is_virtual());
    const auto started = std::chrono::steady_clock::now();
    const KIRQL old = sim::irql_raise(APC_LEVEL);  // the highest level a wait is allowed at
    for (int i = 0; i < 300; ++i) ASSERT_EQ(delay(-10 * kMs), STATUS_SUCCESS);
    sim::irql_lower(old);
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(1));
    EXPECT_EQ(sim::clock_now(), 3000 * kMs);
    EXPECT_EQ(sim::delay_count(), 300u);
    EXPECT_EQ(sim::delay_total(), 3000 * kMs);
    EXPECT_EQ(KeQueryInterruptTime(), ULONGLONG(3000 * kMs));
}

// With nothing of the platform's working, a wait nobody can satisfy ends in
// virtual time at once when only the platform's threads could set the event;
// the default grace gives a scenario's own threads 20 ms of real time each.
TEST_F(clock_and_delay, waits_with_the_platform_grace_cost_no_real_time) {
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    LARGE_INTEGER timeout;
    timeout.QuadPart = -10 * kMs;
    sim::set_wait_grace(sim::wait_grace::platform_busy);
    const auto started = std::chrono::steady_clock::now();
    for (int i = 0; i < 300; ++i) {
        ASSERT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &timeout), STATUS_TIMEOUT);
    }
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(1));
    EXPECT_EQ(sim::clock_now(), 3000 * kMs);
    KeSetEvent(&event, IO_NO_INCREMENT, FALSE);
    EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &timeout), STATUS_SUCCESS);
    EXPECT_EQ(sim::clock_now(), 3000 * kMs);
    sim::kernel_reset();
    EXPECT_EQ(sim::current_wait_grace(), sim::wait_grace::real_time);
}

TEST_F(clock_and_delay, positive_interval_is_an_absolute_system_time) {
    LARGE_INTEGER start;
    KeQuerySystemTime(&start);
    EXPECT_EQ(delay(start.QuadPart + 5000 * kMs), STATUS_SUCCESS);
    EXPECT_EQ(sim::clock_now(), 5000 * kMs);
    LARGE_INTEGER now;
    KeQuerySystemTime(&now);
    EXPECT_EQ(now.QuadPart - start.QuadPart, 5000 * kMs);
    EXPECT_EQ(delay(start.QuadPart), STATUS_SUCCESS) << "a time already past returns at once";
    EXPECT_EQ(sim::clock_now(), 5000 * kMs);
    EXPECT_EQ(sim::delay_count(), 2u);
    EXPECT_EQ(sim::delay_total(), 5000 * kMs);
}

TEST_F(clock_and_delay, concurrent_virtual_delays_all_count) {
    constexpr int kThreads = 4;
    constexpr int kDelays = 1000;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back([] {
            for (int i = 0; i < kDelays; ++i) delay(-1 * kMs);
        });
    for (std::thread& t : threads) t.join();
    EXPECT_EQ(sim::delay_count(), uint64_t{kThreads * kDelays});
    EXPECT_EQ(sim::clock_now(), kThreads * kDelays * kMs);
}

TEST_F(clock_and_delay, real_clock_continues_from_virtual_time) {
    sim::clock_advance(1000 * kMs);
    sim::clock_use_virtual(false);
    EXPECT_FALSE(sim::clock_is_virtual());
    const int64_t before = sim::clock_now();
    EXPECT_GE(before, 1000 * kMs);
    EXPECT_EQ(delay(-1), STATUS_SUCCESS);  // 100 ns
    EXPECT_GE(sim::clock_now(), before + 1);
    EXPECT_EQ(sim::delay_count(), 1u);
    sim::clock_reset();
    EXPECT_FALSE(sim::clock_is_virtual()) << "a clock reset keeps the mode";
    sim::kernel_reset();
    EXPECT_TRUE(sim::clock_is_virtual());
    EXPECT_EQ(sim::clock_now(), 0);
}

TEST_F(clock_and_delay_DeathTest, waiting_above_apc_level_is_a_bug_check) {
    EXPECT_DEATH(
        {
            sim::irql_raise(DISPATCH_LEVEL);
            delay(-kMs);
        },
        "BUGCHECK 0x000000D1: KeDelayExecutionThread called above APC_LEVEL.*caller KeDelayExecutionThread");
    EXPECT_DEATH(KeDelayExecutionThread(KernelMode, FALSE, nullptr), "Interval is NULL");
    EXPECT_DEATH(KeQuerySystemTime(nullptr), "CurrentTime is NULL");
}
