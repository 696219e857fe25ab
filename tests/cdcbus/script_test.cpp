// Scenario scripts: the grammar, refusal before anything runs, and each
// action as the function driver and the device see it.
#include "script.h"

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <string>

#include "cdcbus/cdcbus_run.h"

namespace {

using namespace cdcbus_test;
using cdcbus::action;
using cdcbus::parse_script;
using nlohmann::json;

std::vector<uint8_t> bytes(const std::string& text) { return std::vector<uint8_t>(text.begin(), text.end()); }

TEST(cdcbus_script_grammar, every_form_parses) {
    auto parsed = parse_script(
        "# a comment line\n"
        "plug modem\n"
        "open 0   # trailing comment\n"
        "write usbcdcacm\\VID_1234&PID_0001 \"A\\r\\n\\t\\\\\\\"\\x7f#\"\n"
        "write 0 *0x103\n"
        "device-send 0 \"hi\"\n"
        "expect 0 \"OK\"\n"
        "line-coding 0 0x1C200 7 E 1.5\n"
        "control-lines 0 nodtr rts\n"
        "class 0 in 0x21 0 7\n"
        "class 0 out 0x22 3\n"
        "class 0 out 0x20 0 \"\\x00\\xc2\\x01\\x00\\x00\\x00\\x08\"\n"
        "notify 0 a1200000000002000300\n"
        "fault 0 in short 5\n"
        "fault 0 notify stall\n"
        "purge 0 in\n"
        "restart 0 out\n"
        "reset 0\n"
        "close 0\n"
        "surprise-remove\n"
        "\n"
        "unplug\n");
    ASSERT_TRUE(parsed.ok()) << parsed.error;
    const auto& a = parsed.actions;
    ASSERT_EQ(a.size(), 20u);
    EXPECT_TRUE(a[0].modem);
    EXPECT_EQ(a[1].line, 3u);
    EXPECT_EQ(a[2].child, "usbcdcacm\\VID_1234&PID_0001");
    EXPECT_EQ(a[2].bytes, bytes("A\r\n\t\\\"\x7f#"));
    ASSERT_EQ(a[3].bytes.size(), 0x103u);
    EXPECT_EQ(a[3].bytes[0x102], 2);
    EXPECT_EQ(a[6].baud, 115200u);
    EXPECT_EQ(a[6].data_bits, 7);
    EXPECT_EQ(a[6].parity, 'E');
    EXPECT_EQ(a[6].stop_bits, 1.5);
    EXPECT_FALSE(a[7].dtr);
    EXPECT_TRUE(a[7].rts);
    EXPECT_TRUE(a[8].in);
    EXPECT_EQ(a[8].request, 0x21);
    EXPECT_EQ(a[8].length, 7);
    EXPECT_FALSE(a[9].have_data);
    EXPECT_EQ(a[10].length, 7);
    EXPECT_EQ(a[11].bytes, std::vector<uint8_t>({0xa1, 0x20, 0, 0, 0, 0, 2, 0, 3, 0}));
    EXPECT_EQ(a[12].fault_kind, "short");
    EXPECT_EQ(a[12].short_bytes, 5u);
    EXPECT_EQ(a[13].pipe, "notify");
    EXPECT_EQ(a[19].type, action::kind::unplug);
    EXPECT_EQ(a[19].line, 22u);
}

TEST(cdcbus_script_grammar, malformed_lines_are_named_by_number) {
    const std::pair<const char*, const char*> cases[] = {
        {"frobnicate 0", "unknown action 'frobnicate'"},
        {"write 0 AT", "write takes TEXT or *N"},
        {"write 0 \"AT", "unterminated string"},
        {"write 0 \"\\q\"", "unknown escape \\q"},
        {"write 0 \"\\x4\"", "\\x needs two hex digits"},
        {"write 0 *", "write takes TEXT or *N"},
        {"open", "missing CHILD"},
        {"open 0 1", "unexpected '1'"},
        {"line-coding 0 115200 8 X 1", "PARITY must be N|O|E|M|S"},
        {"line-coding 0 fast 8 N 1", "bad BAUD 'fast'"},
        {"control-lines 0 dtr", "missing RTS"},
        {"class 0 in 0x100 0", "bad REQUEST '0x100'"},
        {"class 0 in 0x21 0 \"x\"", "an IN class request takes a LENGTH"},
        {"notify 0 A12", "HEX needs an even number"},
        {"fault 0 data stall", "pipe must be in|out|notify"},
        {"fault 0 in short", "missing N"},
        {"purge 0 both", "direction must be in|out"},
        {"plug modem on 3", "'at' must be at"},
        {"unplug now", "unexpected 'now'"},
        {"expect 0 \"a\"b", "text after a closing quote"},
    };
    for (const auto& c : cases) {
        auto parsed = parse_script(std::string("plug modem\n# fine\n") + c.first + "\nunplug\n");
        EXPECT_FALSE(parsed.ok()) << c.first;
        EXPECT_TRUE(parsed.actions.empty());
        EXPECT_EQ(parsed.error.rfind("line 3: ", 0), 0u) << parsed.error;
        EXPECT_TRUE(contains(parsed.error, c.second)) << c.first << " -> " << parsed.error;
    }
}

TEST(cdcbus_script_grammar, power_and_replug_actions_parse_and_their_malformed_forms_are_refused) {
    auto parsed = parse_script(
        "sleep\n"
        "resume\n"
        "idle usbcdcacm\\VID_1234&PID_0001\n"
        "replug\n"
        "replug at 7&2b3c4d5e&0&3\n");
    ASSERT_TRUE(parsed.ok()) << parsed.error;
    const auto& a = parsed.actions;
    ASSERT_EQ(a.size(), 5u);
    EXPECT_EQ(a[0].type, action::kind::sleep);
    EXPECT_EQ(a[1].type, action::kind::resume);
    EXPECT_EQ(a[2].type, action::kind::idle);
    EXPECT_EQ(a[2].child, "usbcdcacm\\VID_1234&PID_0001");
    EXPECT_EQ(a[3].type, action::kind::replug);
    EXPECT_TRUE(a[3].location.empty());
    EXPECT_EQ(a[4].location, "7&2b3c4d5e&0&3");

    const std::pair<const char*, const char*> cases[] = {
        {"sleep 0", "unexpected '0'"},  {"resume now", "unexpected 'now'"}, {"idle", "missing CHILD"},
        {"idle 0 1", "unexpected '1'"}, {"replug on 3", "'at' must be at"}, {"replug at", "missing LOCATION"},
    };
    for (const auto& c : cases) {
        auto bad = parse_script(std::string("plug modem\n") + c.first + "\n");
        EXPECT_EQ(bad.error.rfind("line 2: ", 0), 0u) << c.first << " -> " << bad.error;
        EXPECT_TRUE(contains(bad.error, c.second)) << c.first << " -> " << bad.error;
    }
}

TEST(cdcbus_script_grammar, a_descriptor_file_is_read_beside_the_script) {
    std::string dir = std::string(CDC_SOURCE_DIR) + "/devices/descriptors";
    auto parsed = parse_script("plug tinyusb-cdc_dual_ports.bin at 7&2b3c4d5e&0&3\n", dir);
    ASSERT_TRUE(parsed.ok()) << parsed.error;
    EXPECT_EQ(parsed.actions[0].location, "7&2b3c4d5e&0&3");
    EXPECT_EQ(parsed.actions[0].descriptors.device.idVendor, 0xCAFE);

    auto missing = parse_script("plug modem\nplug nothing-here.bin\n", dir);
    EXPECT_EQ(missing.error.rfind("line 2: nothing-here.bin: ", 0), 0u) << missing.error;
}

// ---- Runs --------------------------------------------------------------------------

json run_script(const std::string& name, const std::string& text, result* r_out = nullptr) {
    auto r = run({"--json", "--script", write_temp(name, text)});
    if (r_out != nullptr) *r_out = r;
    EXPECT_FALSE(r.out.empty()) << r.err;
    return r.out.empty() ? json() : json::parse(r.out);
}

TEST(cdcbus_script_run, a_malformed_line_stops_the_run_before_anything_happens) {
    auto path = write_temp("bad.txt", "plug modem\nopen 0\nwrite 0 \"AT\\r\n");
    auto r = run({"--script", path});
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.err, "cdcbus: " + path + ": line 3: unterminated string\n");
    EXPECT_TRUE(r.out.empty());  // no trace: the driver never loaded
}

TEST(cdcbus_script_run, expect_fails_with_exit_1_and_what_was_read) {
    result r;
    auto summary = run_script("expect.txt",
                              "plug modem\n"
                              "open 0\n"
                              "write 0 \"ATZZ\\r\"\n"
                              "expect 0 \"OK\"\n"
                              "write 0 \"AT\\r\"\n",
                              &r);
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(contains(r.err, "line 4: expected child 0 to have read \"OK\", it read \"\\r\\nERROR\\r\\n\"\n"))
        << r.err;
    // The run stopped there: the second command never went out.
    EXPECT_FALSE(contains(r.err, "cdcbus> write 0 \"AT\\r\""));
    EXPECT_EQ(summary["devices"][0]["children"][0]["driver"]["read"], "\\r\\nERROR\\r\\n");
}

TEST(cdcbus_script_run, device_data_notifications_and_class_requests_reach_the_driver) {
    result r;
    auto summary = run_script("talk.txt",
                              "plug modem\n"
                              "open usbcdcacm\\VID_1234&PID_0001\n"
                              "device-send 0 \"RING\\r\\n\"\n"
                              "expect 0 \"RING\"\n"
                              "notify 0 A1200000000002004000\n"
                              "line-coding 0 9600 7 E 2\n"
                              "class 0 in 0x21 0 7\n"
                              "control-lines 0 nodtr norts\n"
                              "close 0\n",
                              &r);
    ASSERT_EQ(r.status, 0) << r.err;
    const auto& driver = summary["devices"][0]["children"][0]["driver"];
    EXPECT_EQ(driver["read"], "RING\\r\\n");
    // Open's DCD|DSR, the overrun, and DTR falling.
    EXPECT_EQ(driver["notifications"], json({"A1200000000002000300", "A1200000000002004000", "A1200000000002000000"}));
    // GET_LINE_CODING reads back what was set: 9600, two stop bits, even, 7.
    EXPECT_TRUE(contains(r.err,
                         "cdcbus: class request read 8025000002020"
                         "7\n"))
        << r.err;
}

TEST(cdcbus_script_run, faults_fail_the_transfer_they_hit) {
    result r;
    auto summary = run_script("fault.txt",
                              "plug modem\n"
                              "open 0\n"
                              "fault 0 out stall\n"
                              "write 0 \"AT\\r\"\n"
                              "fault 0 in error\n"
                              "device-send 0 \"x\"\n"
                              "close 0\n",
                              &r);
    ASSERT_EQ(r.status, 0) << r.err;
    const auto& device = summary["devices"][0];
    const auto& completions = device["children"][0]["driver"]["completions"];
    bool write_failed = false, read_failed = false;
    for (const auto& c : completions) {
        write_failed = write_failed || (c["op"] == "write" && c["status"] != "0x00000000");
        read_failed = read_failed || (c["op"] == "read" && c["status"] != "0x00000000" && c["status"] != "0xC0000120");
    }
    EXPECT_TRUE(write_failed) << completions.dump();
    EXPECT_TRUE(read_failed) << completions.dump();
    bool stalled = false;
    for (const auto& t : device["transfers"]) stalled = stalled || (t["endpoint"] == 2 && t["status"] == "0xC0000004");
    EXPECT_TRUE(stalled);
}

TEST(cdcbus_script_run, a_purge_with_a_held_read_cancels_and_reading_resumes) {
    result r;
    auto summary = run_script("hang.txt",
                              "plug modem\n"
                              "fault 0 in hang\n"
                              "open 0\n"
                              "device-send 0 \"x\"\n"
                              "purge 0 in\n"
                              "expect 0 \"x\"\n",
                              &r);
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(contains(r.err, "cdcbus: purge: 0x00000000\n"));
    const auto& completions = summary["devices"][0]["children"][0]["driver"]["completions"];
    // The held read ended only when the purge cancelled it.
    bool cancelled = false;
    for (const auto& c : completions) cancelled = cancelled || (c["op"] == "read" && c["status"] == "0xC0000120");
    EXPECT_TRUE(cancelled) << completions.dump();
}

TEST(cdcbus_script_run, surprise_removal_closes_the_open_port_and_later_lines_find_no_child) {
    result r;
    auto summary = run_script("gone.txt",
                              "plug modem\n"
                              "open 0\n"
                              "surprise-remove\n"
                              "write 0 \"AT\\r\"\n",
                              &r);
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(contains(r.err, "line 4: child 0 is gone\n")) << r.err;
    EXPECT_EQ(summary["devices"][0]["children"][0]["driver"]["opened"], true);
}

TEST(cdcbus_script_run, a_gone_fault_removes_the_device) {
    result r;
    run_script("gonefault.txt",
               "plug modem\n"
               "open 0\n"
               "fault 0 out gone\n"
               "write 0 \"AT\\r\"\n"
               "open 0\n",
               &r);
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(contains(r.err, "line 5: child 0 is gone\n")) << r.err;
}

TEST(cdcbus_script_run, unknown_children_and_an_empty_port_fail_the_run) {
    result r;
    run_script("nochild.txt", "plug modem\nopen 3\n", &r);
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(contains(r.err, "line 2: no child 3\n")) << r.err;
    run_script("noport.txt", "unplug\n", &r);
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(contains(r.err, "line 1: nothing is plugged in\n")) << r.err;
}

TEST(cdcbus_script_run, two_devices_number_their_children_in_order) {
    result r;
    auto summary = run_script("two.txt",
                              "plug modem at 6&1a2b3c4d&0&1\n"
                              "plug " +
                                  descriptors("tinyusb-cdc_dual_ports.bin") +
                                  " at 6&1a2b3c4d&0&2\n"
                                  "open 2\n"
                                  "write 2 \"AT\\r\"\n",
                              &r);
    ASSERT_EQ(r.status, 0) << r.err;
    ASSERT_EQ(summary["devices"].size(), 3u);
    EXPECT_EQ(summary["devices"][0]["children"][0]["driver"]["opened"], false);
    EXPECT_EQ(summary["devices"][1]["children"][0]["driver"]["opened"], false);
    EXPECT_EQ(summary["devices"][2]["children"][0]["driver"]["opened"], true);
    EXPECT_EQ(summary["devices"][2]["children"][0]["driver"]["read"], "\\r\\nOK\\r\\n");
    // Each function's transfers are its own pipes' (and the shared control pipe's).
    for (const auto& t : summary["devices"][1]["transfers"]) EXPECT_EQ(t["type"], "control");
}

TEST(cdcbus_script_run, script_and_descriptor_file_together_is_a_usage_error) {
    auto r = run({"--script", write_temp("x.txt", "plug modem\n"), descriptors("tinyusb-cdc_dual_ports.bin")});
    EXPECT_EQ(r.status, 2);
    EXPECT_TRUE(contains(r.err, "--script"));
}

}  // namespace
