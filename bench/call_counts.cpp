#include "bench/call_counts.h"

namespace cdc::bench {

namespace {
const char* const framework_counter = "wdf_calls_per_transfer";
const char* const spin_lock_counter = "spin_locks_per_transfer";

double ratio(double a, double b) { return b > 0 ? a / b : 0.0; }
}  // namespace

sim::call_counts call_counter::since() const {
    const sim::call_counts now = sim::call_counts_read();
    sim::call_counts made;
    made.framework_calls = now.framework_calls - start_.framework_calls;
    made.spin_lock_acquisitions = now.spin_lock_acquisitions - start_.spin_lock_acquisitions;
    return made;
}

void set_call_counters(benchmark::State& state, const sim::call_counts& made, uint64_t transfers) {
    const double n = transfers == 0 ? 1.0 : static_cast<double>(transfers);
    state.counters[framework_counter] = benchmark::Counter(static_cast<double>(made.framework_calls) / n);
    state.counters[spin_lock_counter] = benchmark::Counter(static_cast<double>(made.spin_lock_acquisitions) / n);
}

per_transfer_calls read_call_counters(const benchmark::UserCounters& counters) {
    per_transfer_calls calls;
    auto framework = counters.find(framework_counter);
    if (framework != counters.end()) calls.framework = framework->second.value;
    auto locks = counters.find(spin_lock_counter);
    if (locks != counters.end()) calls.spin_locks = locks->second.value;
    return calls;
}

// The bare path may take no spin lock of its own: its ratio is then left out.
void print_call_ratio(FILE* out, const char* label, const per_transfer_calls& path, const per_transfer_calls& base) {
    fprintf(out, "  %-38s calls %6.2f / %6.2f = %4.2f  spin locks %5.2f / %5.2f", label, path.framework, base.framework,
            ratio(path.framework, base.framework), path.spin_locks, base.spin_locks);
    if (base.spin_locks > 0) {
        fprintf(out, " = %4.2f\n", ratio(path.spin_locks, base.spin_locks));
    } else {
        fprintf(out, "\n");
    }
}

}  // namespace cdc::bench
