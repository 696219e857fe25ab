// Interlocked return values (new for increment/decrement, original for the
// rest) and atomicity under real threads.
#include <climits>
#include <thread>
#include <vector>

#include "kernel_fixture.h"

using interlocked = kernel_test;

TEST_F(interlocked, return_values) {
    LONG volatile v = 5;
    EXPECT_EQ(InterlockedIncrement(&v), 6);
    EXPECT_EQ(InterlockedDecrement(&v), 5);
    EXPECT_EQ(InterlockedExchange(&v, 9), 5);
    EXPECT_EQ(InterlockedExchangeAdd(&v, 3), 9);
    EXPECT_EQ(v, 12);
    EXPECT_EQ(InterlockedAnd(&v, 0x4), 12);
    EXPECT_EQ(v, 4);
    EXPECT_EQ(InterlockedOr(&v, 0x3), 4);
    EXPECT_EQ(v, 7);
    v = INT_MAX;
    EXPECT_EQ(InterlockedIncrement(&v), INT_MIN) << "wraps like the instruction";
}

TEST_F(interlocked, compare_exchange_takes_new_value_then_expected) {
    LONG volatile v = 1;
    EXPECT_EQ(InterlockedCompareExchange(&v, 2, 1), 1);
    EXPECT_EQ(v, 2);
    EXPECT_EQ(InterlockedCompareExchange(&v, 3, 1), 2) << "mismatch returns the current value";
    EXPECT_EQ(v, 2);

    int a = 0, b = 0;
    PVOID volatile p = &a;
    EXPECT_EQ(InterlockedCompareExchangePointer(&p, &b, &a), &a);
    EXPECT_EQ(p, &b);
    EXPECT_EQ(InterlockedCompareExchangePointer(&p, nullptr, &a), &b);
    EXPECT_EQ(InterlockedExchangePointer(&p, nullptr), &b);
    EXPECT_EQ(p, nullptr);
}

TEST_F(interlocked, concurrent_updates_are_not_lost) {
    constexpr int kThreads = 8;
    constexpr int kIterations = 20000;
    LONG volatile counter = 0;
    LONG volatile cas_counter = 0;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back([&] {
            for (int i = 0; i < kIterations; ++i) {
                InterlockedIncrement(&counter);
                LONG seen;
                do {
                    seen = InterlockedCompareExchange(&cas_counter, 0, 0);
                } while (InterlockedCompareExchange(&cas_counter, seen + 1, seen) != seen);
            }
        });
    for (std::thread& t : threads) t.join();
    EXPECT_EQ(counter, kThreads * kIterations);
    EXPECT_EQ(cas_counter, kThreads * kIterations);
}
