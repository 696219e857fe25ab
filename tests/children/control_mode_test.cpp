// Control-device mode: the control device owns every child; USB function
// devices register with it and their children follow them.
#include <gtest/gtest.h>

#include <algorithm>

#include "cdc/bus/kernel/winnt/cdc_bus.h"
#include "devices/catalogue.h"
#include "sim/host.h"
#include "sim/kernel.h"
#include "usb/usb_device.h"

namespace {

namespace catalogue = sim::usb::catalogue;

class control_mode : public ::testing::Test {
 protected:
    sim::host host;

    void SetUp() override {
        host.registry().set_dword(sim::host::parameters_key(), "UseControlDevice", 1);
        host.registry().set_dword(sim::host::parameters_key(), "DebugLevel", 4);
        ASSERT_EQ(host.load_driver(CDC_DRIVER_IMAGE), STATUS_SUCCESS);
    }

    sim::device_stack& start_control(const std::string& instance = "0000") {
        sim::device_stack_config root;
        root.enumerator = "ROOT";
        root.device_id = "CDCBUS";
        root.instance_id = instance;
        auto& stack = host.add_device(root);
        if (NT_SUCCESS(stack.add_status())) host.start_device(stack);
        return stack;
    }

    static size_t count(const std::string& line) {
        auto lines = sim::debugger_lines();
        return static_cast<size_t>(std::count(lines.begin(), lines.end(), line));
    }
};

TEST_F(control_mode, children_of_a_usb_device_belong_to_the_control_device) {
    auto& control = start_control();
    ASSERT_EQ(control.start_status(), STATUS_SUCCESS);
    auto dev = std::make_shared<sim::usb::device>(catalogue::acm_modem());
    auto stacks = host.plug(dev);
    ASSERT_EQ(stacks.size(), 1u);
    EXPECT_EQ(stacks[0]->start_status(), STATUS_SUCCESS);
    EXPECT_FALSE(stacks[0]->owns_child_list());
    EXPECT_TRUE(host.children(*stacks[0]).empty());

    auto kids = host.children(control);
    ASSERT_EQ(kids.size(), 1u);
    EXPECT_EQ(kids[0].device_id, "usbcdcacm\\VID_1234&PID_0001");
    auto* cdc_pdx = static_cast<CDC_DEVICE_CONTEXT*>(kids[0].context("CDC_DEVICE_CONTEXT"));
    ASSERT_NE(cdc_pdx, nullptr);
    EXPECT_EQ(cdc_pdx->usb_device, stacks[0]->device());

    // No child is open: unplugging removes it.
    host.unplug(dev);
    EXPECT_EQ(count("ctrl_try_to_remove_children: remove children"), 1u);
    EXPECT_TRUE(host.children(control).empty());
}

TEST_F(control_mode, a_second_control_device_is_refused_once_the_first_has_started) {
    ASSERT_EQ(start_control().start_status(), STATUS_SUCCESS);
    auto& second = start_control("0001");
    EXPECT_EQ(second.add_status(), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(count("usb_evt_device_add: a control device already exists"), 1u);
}

TEST_F(control_mode, a_function_device_matches_both_its_child_and_its_twin) {
    host.registry().set_dword(
        std::string(sim::enum_key()) + "\\USB\\VID_1234&PID_0001\\6&1a2b3c4d&0&1\\Device Parameters",
        "ExtraControlEnabled", 1);
    auto& control = start_control();
    auto dev = std::make_shared<sim::usb::device>(catalogue::acm_modem());
    auto stacks = host.plug(dev);
    ASSERT_EQ(host.children(control).size(), 2u);
    sim::debugger_clear();
    host.unplug(dev);
    // Each of the two power-down steps (self-managed I/O suspend, D0 exit to
    // D3Final) walks the children matching the device's own ids: both.
    size_t handled = 0;
    for (const auto& line : sim::debugger_lines()) {
        if (line.rfind("ctrl_usb_device_d0_entry_exit: Handling child", 0) == 0) handled++;
    }
    EXPECT_EQ(handled, 4u);
    EXPECT_TRUE(host.children(control).empty());
}

TEST_F(control_mode, usb_device_started_before_the_control_device_gets_children_at_its_d0_entry) {
    auto dev = std::make_shared<sim::usb::device>(catalogue::acm_modem());
    auto stacks = host.plug(dev);
    ASSERT_EQ(stacks[0]->start_status(), STATUS_SUCCESS);
    auto& control = start_control();
    ASSERT_EQ(control.start_status(), STATUS_SUCCESS);
    EXPECT_EQ(count("ctrl_evt_device_d0_entry: No enumerated children detected, try to re-enumerate"), 1u);
    EXPECT_EQ(host.children(control).size(), 1u);
}

}  // namespace
