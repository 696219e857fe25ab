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

namespace {

// tshark's fields of every packet of a capture, one line each; empty when
// tshark is missing.
std::vector<std::string> tshark_fields(const std::string& capture, const std::string& filter,
                                       const std::vector<std::string>& fields) {
    std::string command = "tshark -r '" + capture + "' -Y '" + filter + "' -T fields";
    for (const auto& f : fields) command += " -e " + f;
    command += " 2>/dev/null";
    std::vector<std::string> lines;
    FILE* pipe = popen(command.c_str(), "r");
    if (pipe == nullptr) return lines;
    char buf[512];
    while (fgets(buf, sizeof(buf), pipe) != nullptr) {
        std::string line(buf);
        if (!line.empty() && line.back() == '\n') line.pop_back();
        lines.push_back(line);
    }
    pclose(pipe);
    return lines;
}

bool have_tshark() { return system("tshark --version >/dev/null 2>&1") == 0; }

class cdcbus_capture : public ::testing::Test {
 protected:
    void SetUp() override {
        if (!have_tshark()) GTEST_SKIP() << "tshark is not installed";
    }
};

TEST_F(cdcbus_capture, demonstration_decodes_as_enumeration_class_requests_and_data) {
    std::string capture = ::testing::TempDir() + "demo.pcap";
    auto r = run({"--pcap", capture});
    ASSERT_EQ(r.status, 0) << r.err;
    auto info = tshark_fields(capture, "frame", {"_ws.col.Info"});
    auto has = [&](const std::string& text) {
        return std::any_of(info.begin(), info.end(), [&](const std::string& l) { return contains(l, text); });
    };
    EXPECT_TRUE(has("GET DESCRIPTOR Request DEVICE"));
    EXPECT_TRUE(has("SET ADDRESS Request"));
    EXPECT_TRUE(has("SET CONFIGURATION Request"));
    EXPECT_TRUE(has("SET LINE CODING Request"));
    EXPECT_TRUE(has("SET CONTROL LINE STATE Request"));
    EXPECT_TRUE(has("SERIAL STATE"));
    // The command and the modem's answer as bulk payloads.
    auto out = tshark_fields(capture, "usb.endpoint_address == 0x02 && usb.urb_type == 0x53",
                             {"usb.transfer_type", "usb.data_len"});
    EXPECT_EQ(out, std::vector<std::string>({"0x03\t3"}));
    auto in = tshark_fields(capture, "usb.endpoint_address == 0x82 && usb.data_len > 0", {"usb.data_len"});
    EXPECT_EQ(in, std::vector<std::string>({"6"}));
    EXPECT_TRUE(has("Sent AT Command: AT"));
    EXPECT_TRUE(has("OK"));
}

TEST_F(cdcbus_capture, a_write_of_whole_packets_ends_with_a_zero_length_packet) {
    std::string capture = ::testing::TempDir() + "zlp.pcap";
    auto script = write_temp("zlp.txt",
                             "plug modem\n"
                             "open 0\n"
                             "write 0 *64   # one full packet\n"
                             "write 0 *63\n");
    auto r = run({"--script", script, "--pcap", capture});
    ASSERT_EQ(r.status, 0) << r.err;
    // Submissions on the data OUT endpoint: 64 bytes, the ZLP, then 63
    // bytes with none behind them.
    auto sizes = tshark_fields(capture, "usb.endpoint_address == 0x02 && usb.urb_type == 0x53", {"usb.urb_len"});
    EXPECT_EQ(sizes, std::vector<std::string>({"64", "0", "63"}));
}

TEST(cdcbus_capture_file, unwritable_capture_is_refused_before_the_run) {
    auto r = run({"--pcap", "/nonexistent/dir/demo.pcap"});
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.err, "cdcbus: /nonexistent/dir/demo.pcap: cannot write file\n");
    EXPECT_TRUE(r.out.empty());
}

}  // namespace
