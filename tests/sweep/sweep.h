// Failure-injection sweep: each scenario drives the real driver image through
// the host, and one run of it may have its k-th fault point fail. A run is one
// process; the bug checks of the platform (a crash, a leak at unload) end it.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace sweep {

struct scenario_info {
    std::string name;
    std::string summary;
};

const std::vector<scenario_info>& scenarios();

// What one run saw; problems empty means it passed.
struct run_report {
    uint64_t points = 0;    // fault points the scenario's window made
    bool injected = false;  // the armed point was reached and failed
    std::string site;       // the API that failed
    bool failure_returned = false;
    std::vector<std::string> error_lines;  // at error level, normalised
    std::vector<std::string> problems;
};

// Runs scenario `name` in this process with point `fail_point` failing (0:
// none), then plugs a fresh device and moves data through it, then unloads.
// `baseline` is the error output of the run without a failure: a failure
// that is neither returned nor traced beyond it is a problem.
run_report run_scenario(const std::string& name, unsigned fail_point, const std::vector<std::string>& baseline);

// Hex runs (handles, addresses) masked, so runs compare line by line.
std::string normalise_line(const std::string& line);

}  // namespace sweep
