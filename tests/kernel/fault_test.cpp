// Fault injection: the N-th call of a site fails once, "*" counts every site.
#include <atomic>
#include <cstring>
#include <thread>
#include <vector>

#include "kernel_fixture.h"

using fault_injection = kernel_test;

TEST_F(fault_injection, nth_call_of_a_site_fails_once) {
    sim::fault_fail_nth("WdfCollectionCreate", 3, STATUS_NO_MEMORY);
    NTSTATUS status = STATUS_SUCCESS;
    EXPECT_FALSE(sim::fault_should_fail("WdfCollectionCreate", &status));
    EXPECT_FALSE(sim::fault_should_fail("WdfSpinLockCreate", &status)) << "other sites do not count";
    EXPECT_FALSE(sim::fault_should_fail("WdfCollectionCreate", &status));
    EXPECT_TRUE(sim::fault_should_fail("WdfCollectionCreate", &status));
    EXPECT_EQ(status, STATUS_NO_MEMORY);
    EXPECT_FALSE(sim::fault_should_fail("WdfCollectionCreate", &status)) << "one shot";
    EXPECT_EQ(sim::fault_site_calls("WdfCollectionCreate"), 4u);
    EXPECT_EQ(sim::fault_site_calls("*"), 5u);
}

TEST_F(fault_injection, star_counts_every_site) {
    sim::fault_fail_nth("*", 2);
    NTSTATUS status = STATUS_SUCCESS;
    EXPECT_FALSE(sim::fault_should_fail("A", &status));
    EXPECT_TRUE(sim::fault_should_fail("B", &status));
    EXPECT_EQ(status, STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_FALSE(sim::fault_should_fail("C", &status));
}

// A site is its text: the same text at another address counts with it, and
// an address reused for another text counts for that text.
TEST_F(fault_injection, a_site_is_counted_by_its_text_wherever_it_lies) {
    char first[8] = "Site";
    char second[8] = "Site";
    EXPECT_FALSE(sim::fault_should_fail(first, nullptr));
    EXPECT_FALSE(sim::fault_should_fail(second, nullptr));
    EXPECT_EQ(sim::fault_site_calls("Site"), 2u);
    memcpy(first, "Other", 6);
    sim::fault_fail_nth("Other", 1);
    EXPECT_TRUE(sim::fault_should_fail(first, nullptr));
    EXPECT_EQ(sim::fault_site_calls("Other"), 1u);
    EXPECT_EQ(sim::fault_site_calls("Site"), 2u);
}

TEST_F(fault_injection, disarming) {
    sim::fault_fail_nth("A", 1);
    sim::fault_fail_nth("A", 0);
    EXPECT_FALSE(sim::fault_should_fail("A", nullptr));
    sim::fault_fail_nth("A", 1);
    sim::fault_reset();
    EXPECT_FALSE(sim::fault_should_fail("A", nullptr));
    EXPECT_EQ(sim::fault_site_calls("A"), 1u);
}

// A site's calls count without the injector's lock while nothing is armed;
// arming or an action takes them back to it from the next call on.
TEST_F(fault_injection, a_site_counted_while_nothing_was_armed_fails_once_armed) {
    static const char site[] = "CountedBefore";
    for (int i = 0; i < 3; ++i) EXPECT_FALSE(sim::fault_should_fail(site, nullptr));
    EXPECT_EQ(sim::fault_site_calls(site), 3u);
    sim::fault_fail_nth(site, 2, STATUS_NO_MEMORY);
    NTSTATUS status = STATUS_SUCCESS;
    EXPECT_FALSE(sim::fault_should_fail(site, &status));
    EXPECT_TRUE(sim::fault_should_fail(site, &status));
    EXPECT_EQ(status, STATUS_NO_MEMORY);
    bool acted = false;
    sim::fault_on_call(site, [&acted] { acted = true; });
    EXPECT_FALSE(sim::fault_should_fail(site, nullptr));
    EXPECT_TRUE(acted);
    EXPECT_EQ(sim::fault_site_calls(site), 6u);
    sim::fault_reset();
    EXPECT_FALSE(sim::fault_should_fail(site, nullptr));
    EXPECT_EQ(sim::fault_site_calls(site), 1u);
    EXPECT_EQ(sim::fault_site_calls("*"), 1u);
}

TEST_F(fault_injection, exactly_one_of_many_concurrent_calls_fails) {
    sim::fault_fail_nth("Shared", 1000);
    std::atomic<int> failures{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&] {
            for (int i = 0; i < 500; ++i) failures += sim::fault_should_fail("Shared", nullptr);
        });
    for (std::thread& t : threads) t.join();
    EXPECT_EQ(failures.load(), 1);
    EXPECT_EQ(sim::fault_site_calls("Shared"), 2000u);
}
