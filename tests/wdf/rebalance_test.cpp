// A resource rebalance as the PnP manager runs it over a device tree:
// query-stop from the leaves up, stop from the leaves up, start again from
// the root down; a refusal anywhere abandons it before anything stops.
#include <gtest/gtest.h>

#include "tests/wdf/test_bus_driver.h"

namespace test_bus {
namespace {

using strings = std::vector<std::string>;

const std::string bus_path = "ROOT\\TESTBUS\\0000";
const std::string child_1 = "testbus\\CHILD_1\\0001";
const std::string child_2 = "testbus\\CHILD_2\\0002";

class rebalance : public bus_test {
 protected:
    // The bus with two children, started.
    void start_with_children() {
        start_bus();
        ASSERT_EQ(report(1), STATUS_SUCCESS);
        ASSERT_EQ(report(2), STATUS_SUCCESS);
        host.settle();
        ASSERT_EQ(serials(), (std::vector<ULONG>{1, 2}));
    }

    strings steps_since(size_t from) const {
        strings out;
        const auto& log = host.pnp_log();
        for (size_t i = from; i < log.size(); ++i) out.push_back(log[i].instance_path + ": " + log[i].name);
        return out;
    }

    static strings stop_of(const std::string& path) {
        return {path + ": self_managed_io_suspend", path + ": d0_exit(D3Final)", path + ": release_hardware"};
    }
    static strings start_of(const std::string& path) {
        return {path + ": prepare_hardware", path + ": d0_entry(D3Final)", path + ": self_managed_io_restart"};
    }
};

TEST_F(rebalance, the_tree_stops_from_the_leaves_and_starts_again_from_the_root_keeping_its_devices) {
    start_with_children();
    const WDFDEVICE first = pdo_of(1);
    const WDFDEVICE second = pdo_of(2);
    const size_t mark = host.pnp_log().size();

    strings seen_stopped;
    ASSERT_EQ(host.rebalance(*bus,
                             [&] {
                                 for (WDFDEVICE device : {bus->device(), first, second}) {
                                     EXPECT_EQ(host.power_state(device), WdfPowerDeviceD3Final);
                                 }
                                 EXPECT_FALSE(bus->started());
                                 seen_stopped = steps_since(mark);
                             }),
              STATUS_SUCCESS);

    strings expected = {child_2 + ": query_stop", child_1 + ": query_stop", bus_path + ": query_stop"};
    for (const std::string& path : {child_2, child_1, bus_path}) {
        for (const std::string& step : stop_of(path)) expected.push_back(step);
    }
    for (const std::string& path : {bus_path, child_1, child_2}) {
        for (const std::string& step : start_of(path)) expected.push_back(step);
    }
    EXPECT_EQ(steps_since(mark), expected) << "no flush, no cleanup, no removal";
    EXPECT_EQ(seen_stopped, strings(expected.begin(), expected.begin() + 12)) << "every stop before any start";
    EXPECT_EQ(pdo_of(1), first);
    EXPECT_EQ(pdo_of(2), second);
    EXPECT_TRUE(bus->started());
    for (WDFDEVICE device : {bus->device(), first, second}) {
        EXPECT_EQ(host.power_state(device), WdfPowerDeviceD0);
    }

    // Removed later, the devices end as any started device does.
    host.remove_device(*bus);
    EXPECT_EQ(log_of(bus_path).back(), "removed");
}

TEST_F(rebalance, one_refused_query_stop_abandons_it_before_anything_stops) {
    start_with_children();
    config().refuse_stop_serial = 1;
    size_t mark = host.pnp_log().size();

    EXPECT_EQ(host.rebalance(*bus), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(steps_since(mark), (strings{child_2 + ": query_stop", child_1 + ": query_stop"}))
        << "the parent is never asked";
    EXPECT_TRUE(bus->started());

    config().refuse_stop_serial = 0;
    config().query_stop_status = STATUS_DEVICE_BUSY;
    mark = host.pnp_log().size();
    EXPECT_EQ(host.rebalance(*bus), STATUS_DEVICE_BUSY);
    EXPECT_EQ(steps_since(mark),
              (strings{child_2 + ": query_stop", child_1 + ": query_stop", bus_path + ": query_stop"}));
}

TEST_F(rebalance, a_static_stop_hold_refuses_it_without_asking_the_driver_until_taken_back) {
    start_bus();
    WdfDeviceSetStaticStopRemove(bus->device(), FALSE);
    WdfDeviceSetStaticStopRemove(bus->device(), FALSE);
    size_t mark = host.pnp_log().size();
    EXPECT_EQ(host.rebalance(*bus), STATUS_INVALID_DEVICE_STATE);
    EXPECT_EQ(steps_since(mark), strings{});

    WdfDeviceSetStaticStopRemove(bus->device(), TRUE);
    EXPECT_EQ(host.rebalance(*bus), STATUS_INVALID_DEVICE_STATE) << "the holds nest";
    WdfDeviceSetStaticStopRemove(bus->device(), TRUE);
    mark = host.pnp_log().size();
    EXPECT_EQ(host.rebalance(*bus), STATUS_SUCCESS);
    EXPECT_EQ(steps_since(mark).front(), bus_path + ": query_stop");
}

TEST_F(rebalance, an_idle_device_comes_back_to_d0_at_the_query_and_idles_again_after_the_restart) {
    config().on_prepare_hardware = [](WDFDEVICE device) {
        WDF_DEVICE_POWER_POLICY_IDLE_SETTINGS idle;
        WDF_DEVICE_POWER_POLICY_IDLE_SETTINGS_INIT(&idle, IdleCannotWakeFromS0);
        idle.IdleTimeout = 3000;
        ASSERT_EQ(WdfDeviceAssignS0IdleSettings(device, &idle), STATUS_SUCCESS);
    };
    start_bus();
    ASSERT_TRUE(host.idle(bus->device()));
    const size_t mark = host.pnp_log().size();

    ASSERT_EQ(host.rebalance(*bus), STATUS_SUCCESS);
    strings expected = {bus_path + ": query_stop", bus_path + ": d0_entry(D3)", bus_path + ": self_managed_io_restart"};
    for (const std::string& step : stop_of(bus_path)) expected.push_back(step);
    for (const std::string& step : start_of(bus_path)) expected.push_back(step);
    EXPECT_EQ(steps_since(mark), expected);
    EXPECT_EQ(host.power_state(bus->device()), WdfPowerDeviceD0);
    EXPECT_TRUE(host.idle(bus->device())) << "its idle settings still apply";
}

TEST_F(rebalance, a_failed_restart_removes_the_device_with_its_children) {
    start_with_children();
    config().prepare_status = STATUS_INSUFFICIENT_RESOURCES;

    EXPECT_EQ(host.rebalance(*bus), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_TRUE(bus->removed());
    EXPECT_EQ(log_of(child_1).back(), "removed");
    EXPECT_EQ(log_of(child_2).back(), "removed");
    const strings tail = {"release_hardware", "self_managed_io_flush", "self_managed_io_cleanup", "removed"};
    const strings child = log_of(child_1);
    EXPECT_EQ(strings(child.end() - 4, child.end()), tail)
        << "a child still stopped gets the removal's end without a second stop";
}

TEST_F(rebalance, is_refused_for_a_device_not_started) {
    ASSERT_EQ(host.load_builtin_driver(driver_entry), STATUS_SUCCESS);
    sim::device_stack_config root;
    root.enumerator = "ROOT";
    root.device_id = "TESTBUS";
    sim::device_stack& stack = host.add_device(root);
    EXPECT_EQ(host.rebalance(stack), STATUS_INVALID_DEVICE_STATE);
}

}  // namespace
}  // namespace test_bus
