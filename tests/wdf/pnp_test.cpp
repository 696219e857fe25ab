// The PnP manager's device flows: plugging USB devices in, starting stacks,
// failed starts, orderly and surprise removal, port cycles and unload.
#include <gtest/gtest.h>

#include "devices/catalogue.h"
#include "sim/strings.h"
#include "tests/wdf/test_bus_driver.h"
#include "usb/usb_device.h"

namespace test_bus {
namespace {

using strings = std::vector<std::string>;
namespace catalogue = sim::usb::catalogue;

std::shared_ptr<sim::usb::device> make_device(sim::usb::descriptor_set descriptors) {
    return std::make_shared<sim::usb::device>(std::move(descriptors));
}

class pnp : public bus_test {
 protected:
    void load() { ASSERT_EQ(host.load_builtin_driver(driver_entry), STATUS_SUCCESS); }

    // "instance path: event" for every step from the given log position on.
    strings steps_since(size_t from) const {
        strings out;
        const auto& log = host.pnp_log();
        for (size_t i = from; i < log.size(); ++i) out.push_back(log[i].instance_path + ": " + log[i].name);
        return out;
    }
};

const char* const modem = "USB\\VID_1234&PID_0001\\6&1a2b3c4d&0&1";

// ---- Plug ---------------------------------------------------------------------------

TEST_F(pnp, a_single_function_device_gets_a_realistic_usb_pdo_and_is_started) {
    load();
    auto dev = make_device(catalogue::acm_modem());
    std::vector<sim::device_stack*> stacks = host.plug(dev);
    ASSERT_EQ(stacks.size(), 1u);
    const sim::device_stack_config& c = stacks[0]->config();

    EXPECT_EQ(stacks[0]->instance_path(), modem);
    EXPECT_EQ(c.hardware_ids, (strings{"USB\\VID_1234&PID_0001&REV_0100", "USB\\VID_1234&PID_0001"}));
    EXPECT_EQ(c.compatible_ids,
              (strings{"USB\\Class_02&SubClass_00&Prot_00", "USB\\Class_02&SubClass_00", "USB\\Class_02"}));
    EXPECT_EQ(c.description, "USB Modem");
    ASSERT_NE(c.usb, nullptr);
    EXPECT_EQ(c.usb->dev, dev);
    EXPECT_FALSE(c.usb->function.interface_function);

    EXPECT_EQ(stacks[0]->start_status(), STATUS_SUCCESS);
    EXPECT_TRUE(stacks[0]->started());
    EXPECT_EQ(stacks[0]->events(),
              (strings{"device_add", "prepare_hardware", "d0_entry(D3Final)", "self_managed_io_init"}));
    WCHAR enumerator[16] = {};
    ULONG length = 0;
    ASSERT_EQ(WdfDeviceQueryProperty(stacks[0]->device(), DevicePropertyEnumeratorName, sizeof(enumerator), enumerator,
                                     &length),
              STATUS_SUCCESS);
    EXPECT_EQ(sim::to_utf8(enumerator), "USB");
}

TEST_F(pnp, composite_functions_get_mi_ids_their_own_class_and_numbered_instances) {
    load();
    sim::plug_options options;
    options.location = "7&2b&0&3";
    std::vector<sim::device_stack*> stacks = host.plug(make_device(catalogue::acm_vendor_composite()), options);
    ASSERT_EQ(stacks.size(), 2u);

    EXPECT_EQ(stacks[0]->instance_path(), "USB\\VID_1234&PID_0041&MI_00\\7&2b&0&0000");
    EXPECT_EQ(stacks[0]->config().hardware_ids,
              (strings{"USB\\VID_1234&PID_0041&REV_0100&MI_00", "USB\\VID_1234&PID_0041&MI_00"}));
    EXPECT_EQ(stacks[0]->config().compatible_ids[0], "USB\\Class_02&SubClass_02&Prot_01") << "the association's";
    EXPECT_EQ(stacks[0]->config().description, "Modem");

    EXPECT_EQ(stacks[1]->instance_path(), "USB\\VID_1234&PID_0041&MI_02\\7&2b&0&0002");
    EXPECT_EQ(stacks[1]->config().compatible_ids,
              (strings{"USB\\Class_FF&SubClass_FF&Prot_FF", "USB\\Class_FF&SubClass_FF", "USB\\Class_FF"}));
    EXPECT_EQ(stacks[1]->config().description, "Diagnostics");
    EXPECT_EQ(stacks[1]->start_status(), STATUS_SUCCESS);
}

TEST_F(pnp, whole_device_plugs_a_composite_device_as_one_function) {
    load();
    sim::plug_options options;
    options.whole_device = true;
    std::vector<sim::device_stack*> stacks = host.plug(make_device(catalogue::dual_acm_composite()), options);
    ASSERT_EQ(stacks.size(), 1u);
    EXPECT_EQ(stacks[0]->instance_path(), "USB\\VID_1234&PID_0040\\6&1a2b3c4d&0&1");
    EXPECT_EQ(
        stacks[0]->config().compatible_ids,
        (strings{"USB\\Class_EF&SubClass_02&Prot_01", "USB\\Class_EF&SubClass_02", "USB\\Class_EF", "USB\\COMPOSITE"}));
}

TEST_F(pnp, without_a_driver_a_plugged_device_stays_unstarted) {
    std::vector<sim::device_stack*> stacks = host.plug(make_device(catalogue::acm_modem()));
    ASSERT_EQ(stacks.size(), 1u);
    EXPECT_EQ(stacks[0]->add_status(), STATUS_NO_SUCH_DEVICE);
    EXPECT_EQ(stacks[0]->start_status(), STATUS_PENDING);
}

// ---- Failed starts -------------------------------------------------------------------

TEST_F(pnp, a_failed_prepare_hardware_releases_hardware_and_tears_the_stack_down) {
    config().prepare_status = STATUS_DEVICE_DATA_ERROR;
    config().prepare_reports = {1};
    load();
    sim::device_stack* stack = host.plug(make_device(catalogue::acm_modem()))[0];
    EXPECT_EQ(stack->start_status(), STATUS_DEVICE_DATA_ERROR);
    EXPECT_EQ(stack->events(), (strings{"device_add", "prepare_hardware", "release_hardware", "removed"}));
    EXPECT_TRUE(stack->removed());
    EXPECT_EQ(stack->device(), nullptr);
    EXPECT_EQ(counts().create_calls, 0u) << "the child it reported never gets a PDO";
}

TEST_F(pnp, a_failed_d0_entry_releases_hardware_too) {
    config().d0_entry_status = STATUS_UNSUCCESSFUL;
    load();
    sim::device_stack* stack = host.plug(make_device(catalogue::acm_modem()))[0];
    EXPECT_EQ(stack->start_status(), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(stack->events(),
              (strings{"device_add", "prepare_hardware", "d0_entry(D3Final)", "release_hardware", "removed"}));
}

TEST_F(pnp, a_child_whose_start_fails_stays_until_its_parent_goes) {
    config().prepare_reports = {1};
    config().pdo_prepare_status = STATUS_UNSUCCESSFUL;
    load();
    auto dev = make_device(catalogue::acm_modem());
    sim::device_stack* stack = host.plug(dev)[0];
    std::vector<sim::child_info> children = host.children(*stack);
    ASSERT_EQ(children.size(), 1u);
    EXPECT_EQ(children[0].start_status, STATUS_UNSUCCESSFUL);
    EXPECT_EQ(children[0].events, (strings{"prepare_hardware", "release_hardware"}));
    host.unplug(dev);
    EXPECT_EQ(log_of("testbus\\CHILD_1\\"), (strings{"prepare_hardware", "release_hardware", "removed"}));
}

// ---- Removal -------------------------------------------------------------------------

TEST_F(pnp, unplug_removes_children_newest_first_before_their_parent_then_disconnects) {
    config().prepare_reports = {1, 2};
    load();
    auto dev = make_device(catalogue::acm_modem());
    sim::device_stack* stack = host.plug(dev)[0];
    ASSERT_EQ(serials_of(*stack), (std::vector<ULONG>{1, 2}));
    size_t from = host.pnp_log().size();

    host.unplug(dev);

    const std::string parent = std::string(modem) + ": ";
    EXPECT_EQ(steps_since(from),
              (strings{"testbus\\CHILD_2\\0002: self_managed_io_suspend", "testbus\\CHILD_2\\0002: d0_exit(D3Final)",
                       "testbus\\CHILD_2\\0002: release_hardware", "testbus\\CHILD_2\\0002: self_managed_io_flush",
                       "testbus\\CHILD_2\\0002: self_managed_io_cleanup", "testbus\\CHILD_2\\0002: removed",
                       "testbus\\CHILD_1\\0001: self_managed_io_suspend", "testbus\\CHILD_1\\0001: d0_exit(D3Final)",
                       "testbus\\CHILD_1\\0001: release_hardware", "testbus\\CHILD_1\\0001: self_managed_io_flush",
                       "testbus\\CHILD_1\\0001: self_managed_io_cleanup", "testbus\\CHILD_1\\0001: removed",
                       parent + "self_managed_io_suspend", parent + "d0_exit(D3Final)", parent + "release_hardware",
                       parent + "self_managed_io_flush", parent + "self_managed_io_cleanup", parent + "removed"}));
    EXPECT_FALSE(dev->connected());
    EXPECT_TRUE(stack->removed());
    EXPECT_TRUE(host.children(*stack).empty());
}

TEST_F(pnp, surprise_removal_disconnects_first_and_tells_every_device) {
    config().prepare_reports = {1};
    auto dev = make_device(catalogue::acm_modem());
    std::vector<bool> connected_when_told;
    config().on_surprise_removal = [&](WDFDEVICE) { connected_when_told.push_back(dev->connected()); };
    load();
    host.plug(dev);
    size_t from = host.pnp_log().size();

    host.surprise_remove(dev);

    strings steps = steps_since(from);
    ASSERT_FALSE(steps.empty());
    EXPECT_EQ(steps.front(), "testbus\\CHILD_1\\0001: surprise_removal");
    EXPECT_EQ(steps[7], std::string(modem) + ": surprise_removal");
    EXPECT_EQ(connected_when_told, (std::vector<bool>{false, false}));
}

TEST_F(pnp, unplugging_a_device_twice_is_a_bug_check) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    load();
    auto dev = make_device(catalogue::acm_modem());
    host.plug(dev);
    host.unplug(dev);
    EXPECT_DEATH(host.unplug(dev), "device is not plugged in");
}

// A port is free again once its device went, however often; a second device
// at an occupied port is a bug check.
TEST_F(pnp, a_port_takes_a_device_again_after_its_removal_but_never_two_at_once) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    load();
    for (int i = 0; i < 3; ++i) {
        auto dev = make_device(catalogue::acm_modem());
        ASSERT_TRUE(host.plug(dev)[0]->started());
        if (i == 1) {
            host.surprise_remove(dev);
        } else {
            host.unplug(dev);
        }
    }
    auto dev = make_device(catalogue::acm_modem());
    ASSERT_TRUE(host.plug(dev)[0]->started());
    EXPECT_EQ(host.stacks().size(), 4u);
    EXPECT_DEATH(host.plug(make_device(catalogue::acm_modem())), "another device is plugged in at this location");
}

TEST_F(pnp, a_cycled_port_is_an_unplug_and_a_new_arrival) {
    load();
    auto dev = make_device(catalogue::acm_modem());
    sim::device_stack* first = host.plug(dev)[0];
    dev->cycle_port();
    host.settle();
    ASSERT_EQ(host.stacks().size(), 2u);
    EXPECT_TRUE(first->removed());
    EXPECT_EQ(first->events().back(), "removed");
    EXPECT_TRUE(host.stacks()[1]->started());
    EXPECT_EQ(host.stacks()[1]->instance_path(), modem);
    EXPECT_TRUE(dev->connected());
}

// ---- Root devices and unload -----------------------------------------------------------

TEST_F(pnp, unload_removes_every_stack_newest_first_and_calls_driver_unload) {
    load();
    sim::device_stack_config root;
    root.enumerator = "ROOT";
    root.device_id = "TESTBUS";
    root.instance_id = "0000";
    sim::device_stack& older = host.add_device(root);
    root.instance_id = "0001";
    sim::device_stack& newer = host.add_device(root);
    EXPECT_EQ(host.start_device(older), STATUS_SUCCESS);
    EXPECT_EQ(host.start_device(newer), STATUS_SUCCESS);
    size_t from = host.pnp_log().size();

    host.unload_driver();

    strings steps = steps_since(from);
    ASSERT_EQ(steps.size(), 12u);
    EXPECT_EQ(steps[5], "ROOT\\TESTBUS\\0001: removed");
    EXPECT_EQ(steps[11], "ROOT\\TESTBUS\\0000: removed");
    EXPECT_EQ(counts().unloads, 1u);
    EXPECT_FALSE(host.driver_loaded());
}

TEST_F(pnp, removing_a_stack_that_never_started_calls_no_pnp_callbacks) {
    load();
    sim::device_stack& stack = host.add_device(sim::device_stack_config{});
    host.remove_device(stack);
    host.remove_device(stack);
    EXPECT_EQ(stack.events(), (strings{"device_add", "removed"}));
    EXPECT_EQ(host.start_device(stack), STATUS_NO_SUCH_DEVICE);
}

}  // namespace
}  // namespace test_bus
