// Runs a new user would try: a port left open while its device idles or is
// replugged, vendor adapters, data on a function whose pipes come with a
// setting switch, and lines the system cannot take as it stands.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "cdcbus/cdcbus_run.h"

namespace {

using namespace cdcbus_test;
using nlohmann::json;

// The modem's hardware key with an idle time-out: the device idles, and in
// control-device mode wakes through the bus interface.
std::string idle_reg() {
    return write_temp("idle.reg",
                      "Windows Registry Editor Version 5.00\r\n\r\n"
                      "[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Enum\\USB\\VID_1234&PID_0001\\"
                      "6&1a2b3c4d&0&1\\Device Parameters]\r\n"
                      "\"IdleTimeout\"=dword:00000005\r\n");
}

result run_script(const std::string& name, const std::string& text, std::vector<std::string> options = {}) {
    options.insert(options.end(), {"--json", "--script", write_temp(name, text)});
    return run(options);
}

json summary_of(const result& r) { return r.out.empty() ? json() : json::parse(r.out); }

const std::vector<std::string> control_mode = {"--control-device", "--root-device"};

// ---- A port that stays open ------------------------------------------------------------

TEST(cdcbus_open_port, what_is_typed_while_the_device_idles_wakes_it_and_gets_its_answer) {
    auto options = control_mode;
    options.insert(options.end(), {"--reg", idle_reg()});
    auto r = run_script("idle-write.txt",
                        "plug modem\n"
                        "open 0\n"
                        "idle 0\n"
                        "write 0 \"AT\\r\"\n"
                        "expect 0 \"\\r\\nOK\\r\\n\"\n",
                        options);
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(contains(r.err, "cdcbus: idle: idle\n"));
    json summary = summary_of(r);
    for (const auto& c : summary["devices"][0]["children"][0]["driver"]["completions"]) {
        if (c["op"] == "write") {
            EXPECT_EQ(c["status"], "0x00000000");
        }
    }
}

// The port's start-final runs inside the device's D0 entry, and its line
// settings are control requests that wait for D0.
TEST(cdcbus_open_port, a_device_with_an_idle_time_out_replugged_under_an_open_port_serves_it_again) {
    auto options = control_mode;
    options.insert(options.end(), {"--reg", idle_reg()});
    auto r = run_script("idle-replug.txt",
                        "plug modem\n"
                        "open 0\n"
                        "unplug\n"
                        "replug\n"
                        "write 0 \"AT\\r\"\n"
                        "expect 0 \"\\r\\nOK\\r\\n\"\n"
                        "idle 0\n"
                        "unplug\n"
                        "replug\n"
                        "write 0 \"AT\\r\"\n"
                        "close 0\n",
                        options);
    ASSERT_EQ(r.status, 0) << r.err;
    json summary = summary_of(r);
    const auto& driver = summary["devices"][0]["children"][0]["driver"];
    EXPECT_EQ(driver["read"], "\\r\\nOK\\r\\n\\r\\nOK\\r\\n");
}

// With the device gone, the script's requests still reach the bus interface,
// whose routing answers for the missing device.
TEST(cdcbus_open_port, requests_without_a_device_get_the_routings_answer) {
    auto options = control_mode;
    options.insert(options.end(), {"--debug-level", "4"});
    auto r = run_script("absent.txt",
                        "plug modem\n"
                        "open 0\n"
                        "unplug\n"
                        "class 0 in 0x21 0 7\n"
                        "purge 0 in\n",
                        options);
    ASSERT_EQ(r.status, 0) << r.err;
    for (const char* line : {"class 0 in 0x21 0 7", "purge 0 in"}) {
        size_t at = r.err.find(std::string("cdcbus> ") + line + "\n");
        ASSERT_NE(at, std::string::npos) << line;
        size_t next = r.err.find("cdcbus: ", at);
        EXPECT_NE(r.err.substr(at, next - at).find(": the USB device is disconnected\n"), std::string::npos)
            << r.err.substr(at, next - at);
    }
    EXPECT_TRUE(contains(r.err, "cdcbus: class request: 0x20000004\ncdcbus> purge")) << r.err;
    EXPECT_TRUE(contains(r.err, "cdcbus: purge: 0x20000004\n"));
}

// A pipe reset that fails while the system sleeps leaves every later restart
// failing; the port neither waits for reads the stopped pipe holds nor
// fails to close.
TEST(cdcbus_open_port, restarts_after_a_failed_port_reset_fail_and_the_port_still_closes) {
    auto r = run_script("failed-restart.txt",
                        "plug modem\n"
                        "open 0\n"
                        "sleep\n"
                        "reset 0\n"
                        "resume\n"
                        "restart 0 in\n"
                        "restart 0 in\n"
                        "close 0\n");
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(contains(r.err, "cdcbus: restart: 0xC0000001\ncdcbus> restart 0 in\n")) << r.err;
    EXPECT_FALSE(contains(r.err, "BUGCHECK"));
}

// ---- Other functions -------------------------------------------------------------------------

TEST(cdcbus_functions, a_vendor_adapter_that_stalls_the_line_requests_opens_and_carries_data) {
    auto r = run_script("ch340.txt",
                        "plug " + descriptors("dump-ch340.bin") +
                            "\n"
                            "open 0\n"
                            "write 0 \"x\"\n",
                        {"--whole-device"});  // the vendor class binds only when told to
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(contains(r.err, "cdcbus: open: 0x00000000\n")) << r.err;
    json summary = summary_of(r);
    const auto& driver = summary["devices"][0]["children"][0]["driver"];
    EXPECT_EQ(driver["opened"], true);
    const auto& first = driver["completions"][0];
    EXPECT_EQ(first["op"], "class");
    EXPECT_NE(first["status"], "0x00000000");  // the stalled SET_LINE_CODING, reported
    bool written = false;
    for (const auto& c : driver["completions"])
        written = written || (c["op"] == "write" && c["status"] == "0x00000000");
    EXPECT_TRUE(written) << driver.dump();
}

// The ECM function's bulk pipes exist only in the setting the open selects.
TEST(cdcbus_functions, device_send_uses_the_pipes_of_the_setting_in_force) {
    auto r = run_script("ecm.txt", "plug " + descriptors("qemu-usb_net-cfgidx1_ecm.bin") +
                                       "\n"
                                       "expect 0 \"\"\n"
                                       "open 0\n"
                                       "expect 0 \"\"\n"
                                       "device-send 0 \"frame\"\n"
                                       "expect 0 \"frame\"\n");
    ASSERT_EQ(r.status, 0) << r.err;
    json summary = summary_of(r);
    const auto& device = summary["devices"][0];
    EXPECT_EQ(device["children"][0]["driver"]["read"], "frame");
    bool data_in = false;
    for (const auto& t : device["transfers"]) data_in = data_in || (t["type"] == "bulk" && t["direction"] == "in");
    EXPECT_TRUE(data_in) << device["transfers"].dump();
}

// ---- Lines the system cannot take -------------------------------------------------------------

TEST(cdcbus_refusals, plugging_while_the_system_sleeps_or_into_a_port_in_use_is_refused_by_line) {
    const std::pair<const char*, const char*> cases[] = {
        {"plug modem\nsleep\nunplug\n", "line 3: the system sleeps; resume first\n"},
        {"plug modem\nsleep\nsurprise-remove\n", "line 3: the system sleeps; resume first\n"},
        {"plug modem\nsleep\nplug modem at 7&1&0&1\n", "line 3: the system sleeps; resume first\n"},
        {"plug modem\nunplug\nsleep\nreplug\n", "line 4: the system sleeps; resume first\n"},
        {"plug modem\nplug modem\n", "line 2: a device is plugged in at 6&1a2b3c4d&0&1 already\n"},
        {"plug modem at 7&1&0&1\nplug modem\nunplug\nreplug at 7&1&0&1\n",
         "line 4: a device is plugged in at 7&1&0&1 already\n"},
    };
    for (const auto& c : cases) {
        auto r = run_script("refused.txt", c.first);
        EXPECT_EQ(r.status, 1) << c.first;
        EXPECT_TRUE(contains(r.err, c.second)) << c.first << r.err;
        EXPECT_FALSE(contains(r.err, "BUGCHECK")) << c.first;
    }
}

TEST(cdcbus_refusals, a_run_that_ends_asleep_is_resumed_before_its_devices_are_unplugged) {
    for (const auto& options : {std::vector<std::string>{}, control_mode}) {
        auto r = run_script("asleep.txt", "plug modem\nopen 0\nsleep\n", options);
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_TRUE(contains(r.err, "cdcbus: the system sleeps at the end; resuming\n")) << r.err;
    }
}

}  // namespace
