// Driver entry: banner, debug level, control-device switch, driver-wide
// objects, and failures of the creation steps.
#include "support/driver_fixture.h"

namespace {

using cdc_test::driver_fixture;

class driver_entry : public driver_fixture {};

const std::regex banner(
    R"(Talvo CDC Enumerator Driver 2\.1\.5\.52\. Built [A-Z][a-z]{2} [ 0-9][0-9] [0-9]{4} [0-9]{2}:[0-9]{2}:[0-9]{2})");

TEST_F(driver_entry, default_level_prints_banner_only) {
    ASSERT_EQ(load(), STATUS_SUCCESS);
    auto all = lines();
    ASSERT_EQ(all.size(), 1u);
    EXPECT_TRUE(std::regex_match(all[0], banner)) << all[0];
}

TEST_F(driver_entry, debug_level_line_uses_the_level_before_the_change) {
    set_parameter("DebugLevel", 0);
    ASSERT_EQ(load(), STATUS_SUCCESS);
    // Announced at the old level 2; silent from then on, also at unload.
    host.add_device(root_device());
    host.unload_driver();
    auto all = lines();
    ASSERT_EQ(all.size(), 3u);
    EXPECT_TRUE(std::regex_match(all[0], banner));
    EXPECT_EQ(all[1], "qd_driver_debug_level_init: Debug Level set to 0");
    EXPECT_EQ(all[2], "");
}

TEST_F(driver_entry, verbose_level_shows_registry_reads_after_it) {
    set_parameter("DebugLevel", 4);
    ASSERT_EQ(load(), STATUS_SUCCESS);
    EXPECT_TRUE(has_line("qd_driver_debug_level_init: Debug Level set to 4"));
    // The DebugLevel read itself happened at level 2; the next one is verbose.
    EXPECT_FALSE(has_line("qd_registry_rw_ulong: entered, reading parameter DebugLevel"));
    EXPECT_TRUE(has_line("qd_registry_rw_ulong: entered, reading parameter UseControlDevice"));
    EXPECT_TRUE(has_line(
        "qd_registry_rw_ulong: reading parameter UseControlDevice ended with c0000034 (probably doesn't exist)"));
}

TEST_F(driver_entry, absent_or_mistyped_level_keeps_the_default_silently) {
    host.registry().set_string(sim::host::parameters_key(), "DebugLevel", "4");
    ASSERT_EQ(load(), STATUS_SUCCESS);
    EXPECT_EQ(lines().size(), 1u);  // the notice needs level 3
    host.add_device(root_device());
    EXPECT_TRUE(has_line("device_is_usb: the enumerator is ROOT"));  // level 2 still on
}

TEST_F(driver_entry, control_device_switch_takes_any_nonzero_value) {
    set_parameter("UseControlDevice", 5);
    ASSERT_EQ(load(), STATUS_SUCCESS);
    EXPECT_TRUE(has_line("Using control device"));
    EXPECT_EQ(host.add_device(root_device()).add_status(), STATUS_SUCCESS);
}

TEST_F(driver_entry, control_device_switch_off_when_zero_or_only_in_a_device_key) {
    set_parameter("UseControlDevice", 0);
    sim::device_stack_config usb;
    host.registry().set_dword(std::string(sim::enum_key()) +
                                  "\\USB\\VID_1234&PID_5678\\6&1a2b3c4d&0&0001\\Device "
                                  "Parameters",
                              "UseControlDevice", 1);
    ASSERT_EQ(load(), STATUS_SUCCESS);
    EXPECT_FALSE(has_line("Using control device"));
    EXPECT_EQ(host.add_device(root_device()).add_status(), STATUS_UNSUCCESSFUL);
}

TEST_F(driver_entry, missing_parameters_key_is_reported_twice_per_read) {
    host.registry().delete_key(sim::host::parameters_key());
    ASSERT_EQ(load(), STATUS_SUCCESS);
    EXPECT_EQ(count_lines("qd_open_registry_key: failed opening reg key c0000034"), 2u);
    EXPECT_EQ(count_lines("qd_registry_rw_ulong: failed opening reg key c0000034"), 2u);
    EXPECT_FALSE(has_line("Using control device"));
}

TEST_F(driver_entry, driver_create_failure_is_returned_with_its_message) {
    sim::fault_fail_nth("WdfDriverCreate", 1, STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(load(), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_TRUE(has_line("WdfDriverCreate failed: c000009a"));
    EXPECT_FALSE(host.driver_loaded());
}

TEST_F(driver_entry, collection_and_lock_failures_are_returned_unchanged_without_a_message) {
    for (const char* site : {"WdfCollectionCreate", "WdfSpinLockCreate"}) {
        sim::debugger_clear();
        sim::fault_fail_nth(site, 1, STATUS_NO_MEMORY);
        EXPECT_EQ(load(), STATUS_NO_MEMORY) << site;
        EXPECT_EQ(lines().size(), 2u) << site;  // banner, then the cleanup trace of the driver object
        EXPECT_EQ(lines().back(), "usb_evt_driver_context_cleanup: driver unloaded");
        EXPECT_FALSE(host.driver_loaded());
        sim::fault_reset();
    }
}

TEST_F(driver_entry, every_load_starts_from_fresh_driver_state) {
    set_parameter("DebugLevel", 0);
    set_parameter("UseControlDevice", 1);
    ASSERT_EQ(load(), STATUS_SUCCESS);
    host.unload_driver();
    host.registry().delete_value(sim::host::parameters_key(), "DebugLevel");
    host.registry().delete_value(sim::host::parameters_key(), "UseControlDevice");
    sim::debugger_clear();
    ASSERT_EQ(load(), STATUS_SUCCESS);
    EXPECT_EQ(lines().size(), 1u);  // the banner again: the level is back at 2
    EXPECT_EQ(host.add_device(root_device()).add_status(), STATUS_UNSUCCESSFUL);
}

TEST_F(driver_entry, unload_runs_the_driver_cleanup_callback) {
    ASSERT_EQ(load(), STATUS_SUCCESS);
    host.unload_driver();
    EXPECT_EQ(lines().back(), "usb_evt_driver_context_cleanup: driver unloaded");
}

}  // namespace
