#include "bench/alloc_count.h"

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <new>

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define CDC_BENCH_COUNT_MALLOC 0
#else
#define CDC_BENCH_COUNT_MALLOC 1
#endif

namespace {
std::atomic<bool> counting{false};
std::atomic<uint64_t> allocations{0};

inline void count() {
    if (counting.load(std::memory_order_relaxed)) allocations.fetch_add(1, std::memory_order_relaxed);
}
}  // namespace

#if CDC_BENCH_COUNT_MALLOC
// glibc's own entry points: the replacements below count, then forward.
extern "C" {
void* __libc_malloc(size_t size);
void* __libc_calloc(size_t count, size_t size);
void* __libc_realloc(void* p, size_t size);
void* __libc_memalign(size_t alignment, size_t size);
void __libc_free(void* p);

void* malloc(size_t size) {
    count();
    return __libc_malloc(size);
}
void* calloc(size_t n, size_t size) {
    count();
    return __libc_calloc(n, size);
}
void* realloc(void* p, size_t size) {
    count();
    return __libc_realloc(p, size);
}
void* aligned_alloc(size_t alignment, size_t size) {
    count();
    return __libc_memalign(alignment, size);
}
void* memalign(size_t alignment, size_t size) {
    count();
    return __libc_memalign(alignment, size);
}
int posix_memalign(void** out, size_t alignment, size_t size) {
    count();
    void* p = __libc_memalign(alignment, size);
    if (p == nullptr) return ENOMEM;
    *out = p;
    return 0;
}
void free(void* p) { __libc_free(p); }
}

namespace {
void* raw_allocate(size_t size) { return __libc_malloc(size == 0 ? 1 : size); }
void raw_free(void* p) { __libc_free(p); }
}  // namespace
#else
namespace {
void* raw_allocate(size_t size) { return std::malloc(size == 0 ? 1 : size); }
void raw_free(void* p) { std::free(p); }
}  // namespace
#endif

namespace {
void* counted_new(size_t size) {
    count();
    void* p = raw_allocate(size);
    if (p == nullptr) throw std::bad_alloc();
    return p;
}
}  // namespace

void* operator new(size_t size) { return counted_new(size); }
void* operator new[](size_t size) { return counted_new(size); }
void* operator new(size_t size, const std::nothrow_t&) noexcept {
    count();
    return raw_allocate(size);
}
void* operator new[](size_t size, const std::nothrow_t&) noexcept {
    count();
    return raw_allocate(size);
}
void operator delete(void* p) noexcept { raw_free(p); }
void operator delete[](void* p) noexcept { raw_free(p); }
void operator delete(void* p, size_t) noexcept { raw_free(p); }
void operator delete[](void* p, size_t) noexcept { raw_free(p); }

namespace cdc::bench::alloc_count {

void start() {
    allocations.store(0);
    counting.store(true);
}

uint64_t stop() {
    counting.store(false);
    return allocations.load();
}

void pause() { counting.store(false); }
void resume() { counting.store(true); }

bool counts_malloc() { return CDC_BENCH_COUNT_MALLOC != 0; }

}  // namespace cdc::bench::alloc_count
