// Framework calls and spin-lock acquisitions per transfer, as the platform
// counts them: figures that explain a time ratio without depending on the
// machine the benchmark runs on.
#pragma once

#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstdio>

#include "sim/kernel.h"

namespace cdc::bench {

// The platform's counts from construction on.
class call_counter {
 public:
    call_counter() : start_(sim::call_counts_read()) {}
    sim::call_counts since() const;

 private:
    sim::call_counts start_;
};

struct per_transfer_calls {
    double framework = 0;
    double spin_locks = 0;
};

void set_call_counters(benchmark::State& state, const sim::call_counts& made, uint64_t transfers);
per_transfer_calls read_call_counters(const benchmark::UserCounters& counters);
// One line: both paths' counts and their ratios.
void print_call_ratio(FILE* out, const char* label, const per_transfer_calls& path, const per_transfer_calls& base);

}  // namespace cdc::bench
