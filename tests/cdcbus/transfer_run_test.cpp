// The program's transfer runs: the built-in demonstration, captures and
// scripts, with what the function drivers and the devices saw.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <string>

#include "cdcbus/cdcbus_run.h"

namespace {

using namespace cdcbus_test;
using nlohmann::json;

// The device's transfers on one endpoint.
std::vector<json> transfers_on(const json& device, unsigned endpoint) {
    std::vector<json> out;
    for (const auto& t : device["transfers"]) {
        if (t["endpoint"] == endpoint) out.push_back(t);
    }
    return out;
}

bool has_completion(const json& driver, const std::string& op, const std::string& status, unsigned bytes) {
    for (const auto& c : driver["completions"]) {
        if (c["op"] == op && c["status"] == status && c["bytes"] == bytes) return true;
    }
    return false;
}

TEST(cdcbus_demonstration, the_serial_driver_talks_to_the_modem_and_hears_its_status) {
    auto r = run({"--json"});
    ASSERT_EQ(r.status, 0) << r.err;
    auto summary = json::parse(r.out);
    ASSERT_EQ(summary["devices"].size(), 1u);
    const auto& device = summary["devices"][0];
    const auto& driver = device["children"][0]["driver"];
    EXPECT_EQ(driver["name"], "serial");
    EXPECT_EQ(driver["opened"], true);
    EXPECT_EQ(driver["read"], "\\r\\nOK\\r\\n");
    EXPECT_TRUE(has_completion(driver, "write", "0x00000000", 3)) << driver.dump();
    EXPECT_TRUE(has_completion(driver, "read", "0x00000000", 6)) << driver.dump();
    // DTR raised at open gives DCD|DSR; the demonstration then rings.
    EXPECT_EQ(driver["notifications"], json({"A1200000000002000300", "A1200000000002000B00"}));

    // The device saw the command go out and the answer come back.
    auto out = transfers_on(device, 0x02);
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(out[0]["type"], "bulk");
    EXPECT_EQ(out[0]["direction"], "out");
    EXPECT_EQ(out[0]["length"], 3);
    bool answered = false;
    for (const auto& t : transfers_on(device, 0x82))
        answered = answered || (t["length"] == 6 && t["status"] == "0x00000000");
    EXPECT_TRUE(answered);
    EXPECT_EQ(transfers_on(device, 0x81).front()["type"], "interrupt");
    // The trace shows each step.
    EXPECT_TRUE(contains(r.err, "cdcbus> write 0 \"AT\\r\"\n"));
}

TEST(cdcbus_demonstration, text_summary_shows_what_the_driver_saw) {
    auto r = run({});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(contains(r.out, "    function driver serial, opened\n"));
    EXPECT_TRUE(contains(r.out, "      read \"\\r\\nOK\\r\\n\"\n"));
    EXPECT_TRUE(contains(r.out, "      notification A1200000000002000B00\n"));
}

TEST(cdcbus_demonstration, a_descriptor_file_loads_the_drivers_without_opening) {
    auto r = run({"--json", descriptors("tinyusb-cdc_dual_ports.bin")});
    ASSERT_EQ(r.status, 0) << r.err;
    auto summary = json::parse(r.out);
    ASSERT_EQ(summary["devices"].size(), 2u);
    for (const auto& device : summary["devices"]) {
        const auto& driver = device["children"][0]["driver"];
        EXPECT_EQ(driver["name"], "serial");
        EXPECT_EQ(driver["opened"], false);
        EXPECT_TRUE(driver["completions"].empty());
        for (const auto& t : device["transfers"]) EXPECT_EQ(t["type"], "control") << t.dump();
    }
}

}  // namespace
