// Heap allocations made by any thread of the program while counting is on:
// the benchmark binary replaces operator new and, outside the sanitizer
// builds (whose runtimes own malloc), the C allocator too, so the platform's
// pool allocations are seen as well.
#pragma once

#include <cstdint>

namespace cdc::bench::alloc_count {

void start();     // from zero
uint64_t stop();  // what was counted since start()
// Leaves the count alone while the benchmark does work it does not measure.
void pause();
void resume();
// True when the C allocator is counted, not only operator new.
bool counts_malloc();

}  // namespace cdc::bench::alloc_count
