// Returns the simulated kernel to its start state between tests or runs.
#include "sim/kernel.h"

namespace sim {

void verifier_findings_clear();

void kernel_reset() {
    clock_use_virtual(true);
    clock_reset();
    set_wait_grace(wait_grace::real_time);
    fault_reset();
    debugger_clear();
    debugger_mirror(nullptr);
    verifier_findings_clear();
}

}  // namespace sim
