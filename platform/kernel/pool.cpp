// Pool allocations with per-tag accounting and the verifier's pool rules.
#include <cstdlib>
#include <cstring>
#include <deque>
#include <map>
#include <mutex>
#include <unordered_map>

#include "sim/kernel.h"

namespace {

// New blocks are filled so a driver that forgets to zero them is caught; freed
// blocks are filled so a use after free reads recognisable garbage.
constexpr unsigned char kFreshFill = 0xCD;
constexpr unsigned char kFreedFill = 0xDD;
constexpr size_t kCacheLine = 64;
// Freed blocks wait here before going back to the C library, so the address
// is not reused at once and a double free is still recognised as one.
// AddressSanitizer keeps freed memory from reuse itself, and reports a use
// after free only of memory it saw freed: under it blocks go back at once.
#if defined(__SANITIZE_ADDRESS__)
#define CDC_POOL_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define CDC_POOL_ASAN 1
#endif
#endif
#if defined(CDC_POOL_ASAN)
constexpr size_t kQuarantineBlocks = 0;
#else
constexpr size_t kQuarantineBlocks = 256;
#endif

struct block_info {
    ULONG tag;
    SIZE_T size;
    bool paged;
    uint64_t generation;  // accounting generation the block was counted in
};

struct pool_state {
    std::mutex lock;
    std::unordered_map<const void*, block_info> blocks;  // guarded by lock
    std::map<ULONG, sim::pool_usage> usage;              // guarded by lock
    std::deque<void*> quarantine;                        // guarded by lock
    uint64_t generation = 0;                             // guarded by lock
};

pool_state& pool() {
    static auto* s = new pool_state;
    return *s;
}

enum class pool_kind { paged, nonpaged, invalid, reserved };

pool_kind classify(POOL_TYPE type, bool* cache_aligned) {
    *cache_aligned = false;
    switch (static_cast<int>(type)) {
        case NonPagedPool:
        case NonPagedPoolNx:
            return pool_kind::nonpaged;
        case NonPagedPoolCacheAligned:
        case NonPagedPoolNx + NonPagedPoolCacheAligned:
            *cache_aligned = true;
            return pool_kind::nonpaged;
        case PagedPool:
            return pool_kind::paged;
        case PagedPoolCacheAligned:
            *cache_aligned = true;
            return pool_kind::paged;
        case NonPagedPoolMustSucceed:
        case NonPagedPoolCacheAlignedMustS:
            return pool_kind::reserved;
        default:
            return pool_kind::invalid;
    }
}

void free_block(const void* p, bool check_tag, ULONG tag, const char* caller) {
    if (p == nullptr) sim::bug_check(BAD_POOL_CALLER, "freeing a NULL pool pointer", p, caller);
    const KIRQL irql = KeGetCurrentIrql();
    if (irql > DISPATCH_LEVEL) sim::bug_check(BAD_POOL_CALLER, "pool freed above DISPATCH_LEVEL", p, caller);
    pool_state& s = pool();
    void* released = nullptr;
    {
        std::unique_lock<std::mutex> guard(s.lock);
        const auto it = s.blocks.find(p);
        if (it == s.blocks.end()) {
            guard.unlock();
            sim::bug_check(BAD_POOL_CALLER, "freeing memory that is not an allocated pool block (or a double free)", p,
                           caller);
        }
        const block_info info = it->second;
        if (check_tag && info.tag != tag) {
            guard.unlock();
            sim::bug_check(BAD_POOL_CALLER, "pool freed with a tag different from its allocation's", p, caller);
        }
        if (info.paged && irql > APC_LEVEL) {
            guard.unlock();
            sim::bug_check(BAD_POOL_CALLER, "PagedPool freed above APC_LEVEL", p, caller);
        }
        s.blocks.erase(it);
        if (info.generation == s.generation) {
            const auto u = s.usage.find(info.tag);
            if (u != s.usage.end()) {
                u->second.allocations -= 1;
                u->second.bytes -= info.size;
                if (u->second.allocations == 0) s.usage.erase(u);
            }
        }
        void* block = const_cast<void*>(p);
        memset(block, kFreedFill, info.size);
        s.quarantine.push_back(block);
        if (s.quarantine.size() > kQuarantineBlocks) {
            released = s.quarantine.front();
            s.quarantine.pop_front();
        }
    }
    free(released);
}

}  // namespace

EXTERN_C PVOID ExAllocatePoolWithTag(POOL_TYPE PoolType, SIZE_T NumberOfBytes, ULONG Tag) {
    static const char kCaller[] = "ExAllocatePoolWithTag";
    bool cache_aligned;
    const pool_kind kind = classify(PoolType, &cache_aligned);
    if (kind == pool_kind::invalid)
        sim::bug_check(BAD_POOL_CALLER, "invalid pool type", reinterpret_cast<const void*>(uintptr_t(PoolType)),
                       kCaller);
    if (kind == pool_kind::reserved)
        sim::bug_check(BAD_POOL_CALLER, "must-succeed pool is reserved for the system",
                       reinterpret_cast<const void*>(uintptr_t(PoolType)), kCaller);
    const KIRQL irql = KeGetCurrentIrql();
    if (kind == pool_kind::paged && irql > APC_LEVEL)
        sim::bug_check(BAD_POOL_CALLER, "PagedPool allocated above APC_LEVEL", nullptr, kCaller);
    if (irql > DISPATCH_LEVEL)
        sim::bug_check(BAD_POOL_CALLER, "NonPagedPool allocated above DISPATCH_LEVEL", nullptr, kCaller);

    NTSTATUS injected;
    if (sim::fault_should_fail(kCaller, &injected)) return nullptr;

    // Windows hands out a valid small block for zero bytes; so do we.
    const size_t bytes = NumberOfBytes > 0 ? NumberOfBytes : 1;
    void* p;
    if (cache_aligned) {
        if (bytes > SIZE_MAX - kCacheLine) return nullptr;
        p = aligned_alloc(kCacheLine, (bytes + kCacheLine - 1) / kCacheLine * kCacheLine);
    } else {
        p = malloc(bytes);
    }
    if (p == nullptr) return nullptr;
    memset(p, kFreshFill, NumberOfBytes);

    pool_state& s = pool();
    std::lock_guard<std::mutex> guard(s.lock);
    s.blocks[p] = block_info{Tag, NumberOfBytes, kind == pool_kind::paged, s.generation};
    sim::pool_usage& u = s.usage[Tag];
    u.allocations += 1;
    u.bytes += NumberOfBytes;
    return p;
}

EXTERN_C VOID ExFreePoolWithTag(PVOID P, ULONG Tag) {
    free_block(P, true, Tag, "ExFreePoolWithTag");
    sim::io_release_late();
}

EXTERN_C VOID ExFreePool(PVOID P) {
    free_block(P, false, 0, "ExFreePool");
    sim::io_release_late();
}

namespace sim {

pool_usage pool_outstanding(ULONG tag) {
    pool_state& s = pool();
    std::lock_guard<std::mutex> guard(s.lock);
    const auto it = s.usage.find(tag);
    return it != s.usage.end() ? it->second : pool_usage{};
}

std::vector<std::pair<ULONG, pool_usage>> pool_outstanding_all() {
    pool_state& s = pool();
    std::lock_guard<std::mutex> guard(s.lock);
    return {s.usage.begin(), s.usage.end()};
}

// Blocks still out stay valid and may be freed later; they just stop counting.
void pool_reset_accounting() {
    pool_state& s = pool();
    std::lock_guard<std::mutex> guard(s.lock);
    s.usage.clear();
    s.generation += 1;
}

}  // namespace sim
