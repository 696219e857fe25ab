// Shared set-up for tests that load the driver image into a simulated host.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <regex>
#include <string>
#include <vector>

#include "sim/host.h"
#include "sim/kernel.h"

namespace cdc_test {

class driver_fixture : public ::testing::Test {
 protected:
    sim::host host;

    NTSTATUS load() { return host.load_driver(CDC_DRIVER_IMAGE); }

    void set_parameter(const std::string& name, uint32_t value) {
        host.registry().set_dword(sim::host::parameters_key(), name, value);
    }

    static std::vector<std::string> lines() { return sim::debugger_lines(); }

    static bool has_line(const std::string& line) {
        auto all = lines();
        return std::find(all.begin(), all.end(), line) != all.end();
    }

    static size_t count_lines(const std::string& line) {
        auto all = lines();
        return static_cast<size_t>(std::count(all.begin(), all.end(), line));
    }

    // Lines that start with prefix, in order.
    static std::vector<std::string> lines_starting(const std::string& prefix) {
        std::vector<std::string> out;
        for (const auto& l : lines()) {
            if (l.compare(0, prefix.size(), prefix) == 0) out.push_back(l);
        }
        return out;
    }

    static sim::device_stack_config root_device() {
        sim::device_stack_config config;
        config.enumerator = "ROOT";
        config.device_id = "CDCBUS";
        config.instance_id = "0000";
        return config;
    }
};

}  // namespace cdc_test
