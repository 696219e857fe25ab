// Pool: per-tag accounting, fill patterns, fault injection and the
// verifier's pool rules.
#include <cstring>
#include <thread>
#include <vector>

#include "kernel_fixture.h"

using pool = kernel_test;
using pool_DeathTest = kernel_death_test;

namespace {

constexpr ULONG kOtherTag = 0x74736554;  // 'Test'

void* allocate(POOL_TYPE type, SIZE_T bytes, ULONG tag = kTestTag) { return ExAllocatePoolWithTag(type, bytes, tag); }

void allocate_at(KIRQL level, POOL_TYPE type) {
    sim::irql_raise(level);
    allocate(type, 8);
}

void free_at(KIRQL level, POOL_TYPE type) {
    void* p = allocate(type, 8);
    sim::irql_raise(level);
    ExFreePoolWithTag(p, kTestTag);
}

}  // namespace

TEST_F(pool, accounts_outstanding_blocks_per_tag) {
    void* a = allocate(NonPagedPoolNx, 100);
    void* b = allocate(PagedPool, 28);
    void* c = allocate(NonPagedPool, 5, kOtherTag);
    ASSERT_TRUE(a && b && c);
    EXPECT_EQ(sim::pool_outstanding(kTestTag).allocations, 2u);
    EXPECT_EQ(sim::pool_outstanding(kTestTag).bytes, 128u);
    const auto all = sim::pool_outstanding_all();
    ASSERT_EQ(all.size(), 2u);
    EXPECT_EQ(all[0].first, kTestTag) << "sorted by tag";
    EXPECT_EQ(all[1].second.bytes, 5u);
    ExFreePoolWithTag(a, kTestTag);
    ExFreePool(b);
    EXPECT_EQ(sim::pool_outstanding(kTestTag).allocations, 0u);
    EXPECT_EQ(sim::pool_outstanding(kTestTag).bytes, 0u);
    ExFreePoolWithTag(c, kOtherTag);
}

TEST_F(pool, blocks_are_not_zeroed_even_when_empty_or_aligned) {
    const KIRQL old = sim::irql_raise(DISPATCH_LEVEL);  // non-paged pool is allowed here
    auto* p = static_cast<unsigned char*>(allocate(NonPagedPoolNx, 16));
    sim::irql_lower(old);
    for (int i = 0; i < 16; ++i) EXPECT_EQ(p[i], 0xCD);
    void* empty = allocate(PagedPool, 0);
    ASSERT_NE(empty, nullptr) << "Windows hands out a small block for zero bytes";
    void* aligned = allocate(NonPagedPoolCacheAligned, 10);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(aligned) % 64, 0u);
    EXPECT_EQ(sim::pool_outstanding(kTestTag).bytes, 26u);
    ExFreePoolWithTag(p, kTestTag);
    ExFreePoolWithTag(empty, kTestTag);
    ExFreePoolWithTag(aligned, kTestTag);
}

TEST_F(pool, injected_failure_returns_null_and_counts_nothing) {
    sim::fault_fail_nth("ExAllocatePoolWithTag", 2);
    void* first = allocate(NonPagedPoolNx, 8);
    void* second = allocate(NonPagedPoolNx, 8);
    void* third = allocate(NonPagedPoolNx, 8);
    EXPECT_TRUE(first && third);
    EXPECT_EQ(second, nullptr);
    EXPECT_EQ(sim::pool_outstanding(kTestTag).allocations, 2u);
    ExFreePoolWithTag(first, kTestTag);
    ExFreePoolWithTag(third, kTestTag);
}

TEST_F(pool, reset_accounting_forgets_blocks_that_stay_valid) {
    void* p = allocate(NonPagedPoolNx, 8);
    sim::pool_reset_accounting();
    EXPECT_TRUE(sim::pool_outstanding_all().empty());
    void* q = allocate(NonPagedPoolNx, 4);
    ExFreePoolWithTag(p, kTestTag);
    EXPECT_EQ(sim::pool_outstanding(kTestTag).allocations, 1u) << "the older block's free does not count";
    ExFreePoolWithTag(q, kTestTag);
}

TEST_F(pool, concurrent_allocations_balance) {
    std::vector<std::thread> threads;
    for (ULONG t = 0; t < 4; ++t)
        threads.emplace_back([t] {
            for (int i = 0; i < 500; ++i) {
                void* p = allocate(NonPagedPoolNx, 16 + t, kTestTag + t);
                memset(p, 0, 16 + t);
                ExFreePoolWithTag(p, kTestTag + t);
            }
        });
    for (std::thread& t : threads) t.join();
    EXPECT_TRUE(sim::pool_outstanding_all().empty());
}

TEST_F(pool_DeathTest, frees_of_what_was_not_allocated) {
    EXPECT_DEATH(
        {
            void* p = allocate(NonPagedPoolNx, 8);
            ExFreePoolWithTag(p, kTestTag);
            ExFreePoolWithTag(p, kTestTag);
        },
        "BUGCHECK 0x000000C2: .*double free.*caller ExFreePoolWithTag");
    int on_stack = 0;
    EXPECT_DEATH(ExFreePool(&on_stack), "not an allocated pool block.*caller ExFreePool");
    EXPECT_DEATH(ExFreePool(nullptr), "freeing a NULL pool pointer");
    EXPECT_DEATH(ExFreePoolWithTag(allocate(NonPagedPoolNx, 8), kOtherTag), "tag different from its allocation's");
}

TEST_F(pool_DeathTest, wrong_level_or_type) {
    EXPECT_DEATH(allocate_at(DISPATCH_LEVEL, PagedPool), "PagedPool allocated above APC_LEVEL");
    EXPECT_DEATH(allocate_at(HIGH_LEVEL, NonPagedPoolNx), "NonPagedPool allocated above DISPATCH_LEVEL");
    EXPECT_DEATH(free_at(DISPATCH_LEVEL, PagedPool), "PagedPool freed above APC_LEVEL");
    EXPECT_DEATH(free_at(HIGH_LEVEL, NonPagedPoolNx), "pool freed above DISPATCH_LEVEL");
    EXPECT_DEATH(allocate(DontUseThisType, 8), "invalid pool type");
    EXPECT_DEATH(allocate(NonPagedPoolMustSucceed, 8), "reserved for the system");
}
