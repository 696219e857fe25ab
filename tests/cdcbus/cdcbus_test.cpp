// The command-line program: options, errors and exit statuses.
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <string>

#include "cdcbus.h"

namespace {

struct result {
    int status;
    std::string out;
    std::string err;
};

std::string read_all(FILE* f) {
    std::string text;
    rewind(f);
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof(buf), f)) > 0) text.append(buf, n);
    return text;
}

result run(const std::vector<std::string>& args) {
    FILE* out = tmpfile();
    FILE* err = tmpfile();
    result r;
    r.status = cdcbus::run(args, out, err);
    r.out = read_all(out);
    r.err = read_all(err);
    fclose(out);
    fclose(err);
    return r;
}

std::string write_temp(const std::string& name, const std::string& text) {
    std::string path = ::testing::TempDir() + name;
    std::ofstream(path) << text;
    return path;
}

bool contains(const std::string& text, const std::string& line) { return text.find(line) != std::string::npos; }

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
