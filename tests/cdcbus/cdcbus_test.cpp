// The command-line program: options, errors and exit statuses.
#include "cdcbus.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <nlohmann/json.hpp>
#include <string>

#include "cdcbus/cdcbus_run.h"

namespace {

using namespace cdcbus_test;

TEST(cdcbus_options, control_device_run_prints_the_device_add_lines) {
    auto r = run({"--debug-level", "4", "--control-device", "--root-device"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(contains(r.out, "Talvo CDC Enumerator Driver 2.1.5.52. Built "));
    EXPECT_TRUE(contains(r.out, "qd_driver_debug_level_init: Debug Level set to 4\n"));
    EXPECT_TRUE(contains(r.out, "Using control device\n"));
    EXPECT_TRUE(contains(r.out, "device_is_usb: the enumerator is ROOT\n"));
    EXPECT_TRUE(contains(r.out, "usb_evt_device_add: entered, is usb 0\n"));
    EXPECT_TRUE(contains(r.out, "usb_evt_device_add: done\n"));
}

TEST(cdcbus_options, root_device_without_control_mode_is_refused) {
    auto r = run({"--root-device"});
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(contains(r.out, "usb_evt_device_add: control device feature is off\n"));
}

TEST(cdcbus_options, unknown_option_is_one_line_naming_it) {
    auto r = run({"--frobnicate"});
    EXPECT_EQ(r.status, 2);
    EXPECT_TRUE(contains(r.err, "--frobnicate")) << r.err;
    EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
    EXPECT_TRUE(r.out.empty());
}

TEST(cdcbus_options, bad_debug_level_is_a_usage_error) {
    EXPECT_EQ(run({"--debug-level", "loud"}).status, 2);
    EXPECT_EQ(run({"--debug-level"}).status, 2);
}

TEST(cdcbus_registry, reg_file_values_reach_the_driver) {
    auto path = write_temp("params.reg",
                           "Windows Registry Editor Version 5.00\r\n\r\n"
                           "[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\cdcbus\\Parameters]\r\n"
                           "\"DebugLevel\"=dword:00000003\r\n"
                           "\"UseControlDevice\"=dword:00000001\r\n");
    auto r = run({"--reg", path, "--root-device"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(contains(r.out, "qd_driver_debug_level_init: Debug Level set to 3\n"));
    EXPECT_TRUE(contains(r.out, "Using control device\n"));
}

TEST(cdcbus_registry, a_reg_file_may_be_followed_by_a_descriptor_file) {
    auto path = write_temp("level3.reg",
                           "Windows Registry Editor Version 5.00\n"
                           "[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\cdcbus\\Parameters]\n"
                           "\"DebugLevel\"=dword:00000003\n");
    auto r = run({"--reg", path, descriptors("qemu-usb_net-cfgidx1_ecm.bin")});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(contains(r.out, "Debug Level set to 3"));
    EXPECT_TRUE(contains(r.out, "USB function VID_0525&PID_A4A2"));
}

TEST(cdcbus_registry, command_line_shortcuts_override_the_reg_file) {
    auto path = write_temp("quiet.reg",
                           "Windows Registry Editor Version 5.00\n"
                           "[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\cdcbus\\Parameters]\n"
                           "\"DebugLevel\"=dword:00000000\n");
    auto r = run({"--reg", path, "--debug-level", "4"});
    EXPECT_EQ(r.status, 0);
    EXPECT_TRUE(contains(r.out, "Debug Level set to 4"));
}

TEST(cdcbus_registry, malformed_reg_file_names_file_and_line) {
    auto path = write_temp("bad.reg",
                           "Windows Registry Editor Version 5.00\n"
                           "\n"
                           "[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\cdcbus\\Parameters]\n"
                           "\"DebugLevel\"=dword:xyz\n");
    auto r = run({"--reg", path});
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.err, "cdcbus: " + path + ":4: malformed dword value (expected up to 8 hex digits)\n");
    EXPECT_TRUE(r.out.empty());
}

TEST(cdcbus_registry, unreadable_reg_file_is_named) {
    auto r = run({"--reg", "/nonexistent/params.reg"});
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.err, "cdcbus: /nonexistent/params.reg: cannot open file\n");
}

TEST(cdcbus_registry, reg_files_in_utf16_as_regedit_writes_them) {
    std::string text =
        "Windows Registry Editor Version 5.00\r\n"
        "[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\cdcbus\\Parameters]\r\n"
        "\"DebugLevel\"=dword:00000004\r\n";
    std::string utf16 = "\xFF\xFE";
    for (char c : text) {
        utf16.push_back(c);
        utf16.push_back('\0');
    }
    auto path = write_temp("utf16.reg", utf16);
    auto r = run({"--reg", path});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(contains(r.out, "Debug Level set to 4"));
}

}  // namespace

namespace {

using namespace cdcbus_test;

TEST(cdcbus_devices, built_in_modem_by_default) {
    auto r = run({});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(contains(r.out, "USB function VID_1234&PID_0001 at 6&1a2b3c4d&0&1: start status 0x00000000\n"));
    EXPECT_TRUE(contains(r.out, "  function type: usbcdcacm\n"));
    EXPECT_TRUE(contains(r.out, "  pipe 0x81: interrupt IN, max packet 16 (notification)\n"));
    EXPECT_TRUE(contains(r.out, "  child usbcdcacm\\VID_1234&PID_0001\n"));
    EXPECT_TRUE(contains(r.out, "    instance id:    6_1a2b3c4d_0_1_00\n"));
    // The trace comes first, ending with the unload.
    EXPECT_LT(r.out.find("usb_evt_driver_context_cleanup: driver unloaded"), r.out.find("USB function"));
}

TEST(cdcbus_devices, dual_serial_device_splits_into_two_functions) {
    auto r = run({"--json", descriptors("tinyusb-cdc_dual_ports.bin")});
    ASSERT_EQ(r.status, 0) << r.err;
    auto summary = nlohmann::json::parse(r.out);
    ASSERT_EQ(summary["devices"].size(), 2u);
    const char* ids[] = {"VID_CAFE&PID_4006&MI_00", "VID_CAFE&PID_4006&MI_02"};
    const char* locations[] = {"6&1a2b3c4d&0&0000", "6&1a2b3c4d&0&0002"};
    for (size_t i = 0; i < 2; i++) {
        const auto& d = summary["devices"][i];
        EXPECT_EQ(d["hardware_id"], ids[i]);
        EXPECT_EQ(d["location"], locations[i]);
        EXPECT_EQ(d["start_status"], "0x00000000");
        EXPECT_EQ(d["function"], "usbcdcacm");
        ASSERT_EQ(d["children"].size(), 1u);
        const auto& c = d["children"][0];
        EXPECT_EQ(c["device_id"], std::string("usbcdcacm\\") + ids[i]);
        EXPECT_EQ(c["instance_id"],
                  std::string(locations[i]).replace(1, 1, "_").replace(10, 1, "_").replace(12, 1, "_") + "_00");
        EXPECT_EQ(c["compatible_ids"][0], "usbcdcacm\\compat");
        EXPECT_EQ(c["ui_number"], i);
    }
    // The trace went to stderr.
    EXPECT_TRUE(contains(r.err, "usb_evt_device_prepare_hardware: done, 0"));
}

TEST(cdcbus_devices, location_and_whole_device_options) {
    auto r =
        run({"--json", "--whole-device", "--location", "7&2b3c4d5e&0&3", descriptors("tinyusb-cdc_dual_ports.bin")});
    auto summary = nlohmann::json::parse(r.out);
    ASSERT_EQ(summary["devices"].size(), 1u);
    const auto& d = summary["devices"][0];
    EXPECT_EQ(d["hardware_id"], "VID_CAFE&PID_4006");
    EXPECT_EQ(d["location"], "7&2b3c4d5e&0&3");
    EXPECT_EQ(d["start_status"], "0x00000000");
    ASSERT_EQ(d["children"].size(), 1u);
    EXPECT_EQ(d["children"][0]["instance_id"], "7_2b3c4d5e_0_3_00");
}

TEST(cdcbus_devices, ecm_and_vendor_serial_devices) {
    auto ecm = nlohmann::json::parse(run({"--json", descriptors("qemu-usb_net-cfgidx1_ecm.bin")}).out);
    ASSERT_EQ(ecm["devices"].size(), 1u);
    EXPECT_EQ(ecm["devices"][0]["function"], "usbcdcecm");
    EXPECT_EQ(ecm["devices"][0]["children"][0]["device_id"], "usbcdcecm\\VID_0525&PID_A4A2");

    // A vendor-class device binds only where its VID/PID is named.
    auto ch340 = nlohmann::json::parse(run({"--json", "--whole-device", descriptors("dump-ch340.bin")}).out);
    EXPECT_EQ(ch340["devices"][0]["function"], "usbcdcacm");
    EXPECT_EQ(ch340["devices"][0]["pipes"].size(), 3u);
}

TEST(cdcbus_inf, the_summary_says_which_model_bound_the_device_and_each_function) {
    auto r = run({"--debug-level", "0", descriptors("tinyusb-cdc_dual_ports.bin")});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(contains(r.out,
                         "Device USB\\VID_CAFE&PID_4006\\6&1a2b3c4d&0&1\n"
                         "  hardware ids:   USB\\VID_CAFE&PID_4006&REV_0100, USB\\VID_CAFE&PID_4006\n"
                         "  compatible ids: USB\\Class_EF&SubClass_02&Prot_01, USB\\Class_EF&SubClass_02, "
                         "USB\\Class_EF, USB\\COMPOSITE\n"
                         "  driver:         usb.inf [Generic.NTamd64] \"USB Composite Device\" (service usbccgp) by "
                         "compatible ID USB\\COMPOSITE\n"))
        << r.out;
    EXPECT_TRUE(contains(r.out,
                         "  function USB\\VID_CAFE&PID_4006&MI_02\\6&1a2b3c4d&0&0002\n"
                         "    hardware ids:   USB\\VID_CAFE&PID_4006&REV_0100&MI_02, USB\\VID_CAFE&PID_4006&MI_02\n"
                         "    compatible ids: USB\\Class_02&SubClass_02&Prot_00, USB\\Class_02&SubClass_02, "
                         "USB\\Class_02\n"
                         "    driver:         cdcbus.inf [CdcBus.NTamd64] \"USB CDC ACM function (CDC bus)\" (service "
                         "cdcbus) by compatible ID USB\\Class_02&SubClass_02\n"))
        << r.out;

    auto json = nlohmann::json::parse(run({"--json", descriptors("dump-ch340.bin")}).out);
    ASSERT_EQ(json["bindings"].size(), 1u);
    EXPECT_EQ(json["bindings"][0]["device_id"], "USB\\VID_1A86&PID_7523");
    EXPECT_TRUE(json["bindings"][0]["match"].is_null());
    EXPECT_FALSE(json["bindings"][0]["loaded"]);
    EXPECT_TRUE(json["devices"].empty());
}

TEST(cdcbus_inf, a_vendor_inf_takes_the_device_by_its_vid_pid) {
    std::string inf =
        "[Version]\nSignature=\"$Windows NT$\"\nClass=System\n"
        "ClassGuid={4D36E97D-E325-11CE-BFC1-08002BE10318}\nProvider=V\nDriverVer=01/01/2026,1.0\n"
        "[Manufacturer]\nV=M,NTamd64\n[M.NTamd64]\n\"CH340\"=I,USB\\VID_1A86&PID_7523\n"
        "[I.NT]\n[I.NT.Services]\nAddService=cdcbus,2,S\n"
        "[S]\nServiceType=1\nStartType=3\nErrorControl=1\nServiceBinary=%12%\\cdcbus.sys\n";
    auto path = write_temp("ch340.inf", inf);
    auto r = run({"--json", "--inf", path, descriptors("dump-ch340.bin")});
    ASSERT_EQ(r.status, 0) << r.err;
    auto json = nlohmann::json::parse(r.out);
    const auto& match = json["bindings"][0]["match"];
    EXPECT_EQ(match["inf"], "ch340.inf");
    EXPECT_EQ(match["id"], "USB\\VID_1A86&PID_7523");
    EXPECT_EQ(match["by"], "hardware_id");
    EXPECT_TRUE(json["bindings"][0]["loaded"]);
    EXPECT_EQ(json["devices"][0]["function"], "usbcdcacm");

    // The same package on a device it does not name says so.
    r = run({"--inf", path, descriptors("qemu-usb_net-cfgidx1_ecm.bin")});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(contains(r.err, "cdcbus: " + path + ": no model of it matches a device of this run\n")) << r.err;
}

TEST(cdcbus_inf, the_control_device_binds_by_its_root_hardware_id) {
    auto r = run({"--json", "--control-device", "--root-device"});
    ASSERT_EQ(r.status, 0) << r.err;
    auto json = nlohmann::json::parse(r.out);
    const auto& root = json["bindings"][0];
    EXPECT_EQ(root["device_id"], "ROOT\\CDCBUS");
    EXPECT_EQ(root["match"]["model"], "CDC bus control device");
    EXPECT_EQ(root["match"]["id"], "ROOT\\CDCBUS");
    EXPECT_EQ(root["match"]["by"], "hardware_id");
    EXPECT_TRUE(root["loaded"]);
}

TEST(cdcbus_inf, a_malformed_inf_is_refused_with_its_file_and_line) {
    auto path = write_temp("broken.inf", "[Version]\nSignature=\"$Windows NT$\"\n[Manufacturer\n");
    auto r = run({"--inf", path, descriptors("dump-ch340.bin")});
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.err, "cdcbus: " + path + ":3: section name without a closing ']'\n");
    EXPECT_TRUE(r.out.empty());
    EXPECT_EQ(run({"--inf", "/nonexistent/x.inf"}).status, 2);
}

TEST(cdcbus_devices, unreadable_or_unframed_descriptor_file_is_a_usage_error) {
    auto missing = run({"/nonexistent/descriptors"});
    EXPECT_EQ(missing.status, 2);
    EXPECT_EQ(std::count(missing.err.begin(), missing.err.end(), '\n'), 1) << missing.err;
    EXPECT_TRUE(contains(missing.err, "/nonexistent/descriptors"));

    auto path = write_temp("short.bin", std::string("\x12\x01\x00\x02", 4));
    auto r = run({path});
    EXPECT_EQ(r.status, 2);
    EXPECT_TRUE(contains(r.err, path + ": offset 0")) << r.err;
    EXPECT_TRUE(r.out.empty());
}

TEST(cdcbus_devices, a_device_the_driver_cannot_configure_exits_1) {
    // A bare vendor interface with a single endpoint: no automatic layout and
    // no registry override.
    std::string bytes = std::string("\x12\x01\x00\x02\x00\x00\x00\x40\x34\x12\x99\x00\x00\x01\x00\x00\x00\x01", 18) +
                        std::string("\x09\x02\x19\x00\x01\x01\x00\x80\x32", 9) +
                        std::string("\x09\x04\x00\x00\x01\xff\x00\x00\x00", 9) +
                        std::string("\x07\x05\x81\x02\x40\x00\x00", 7);
    auto r = run({"--json", "--whole-device", write_temp("one-endpoint.bin", bytes)});
    EXPECT_EQ(r.status, 1) << r.err;
    auto summary = nlohmann::json::parse(r.out);
    EXPECT_EQ(summary["devices"][0]["start_status"], "0xC000000D");
    EXPECT_TRUE(summary["devices"][0]["children"].empty());
}

}  // namespace
