// What cdcbus does once its options are read: set up the registry, load the
// driver, add the device stacks, unload, and print the summary.
#pragma once

#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>
#include <vector>

namespace cdcbus {

struct options {
    std::vector<std::string> reg_files;
    std::optional<uint32_t> debug_level;
    bool control_device = false;
    bool root_device = false;
};

int run_scenario(const options& opts, FILE* out, FILE* err);

}  // namespace cdcbus
