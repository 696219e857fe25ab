// Device power as the framework runs it: idle and the return to D0, system
// sleep and resume with wake arming, removal from a low-power state, and the
// verifier's deadlock check.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "devices/catalogue.h"
#include "tests/wdf/test_bus_driver.h"
#include "usb/usb_device.h"

namespace test_bus {
namespace {

using strings = std::vector<std::string>;

const char* const bus_path = "ROOT\\TESTBUS\\0000";

constexpr int64_t kMs = 10000;

void assign_idle(WDFDEVICE device, WDF_POWER_POLICY_S0_IDLE_CAPABILITIES caps = IdleUsbSelectiveSuspend,
                 ULONG timeout = 3000) {
    WDF_DEVICE_POWER_POLICY_IDLE_SETTINGS idle;
    WDF_DEVICE_POWER_POLICY_IDLE_SETTINGS_INIT(&idle, caps);
    idle.IdleTimeout = timeout;
    ASSERT_EQ(WdfDeviceAssignS0IdleSettings(device, &idle), STATUS_SUCCESS);
}

void assign_wake(WDFDEVICE device, WDF_TRI_STATE enabled = WdfUseDefault) {
    WDF_DEVICE_POWER_POLICY_WAKE_SETTINGS wake;
    WDF_DEVICE_POWER_POLICY_WAKE_SETTINGS_INIT(&wake);
    wake.Enabled = enabled;
    ASSERT_EQ(WdfDeviceAssignSxWakeSettings(device, &wake), STATUS_SUCCESS);
}

class power : public bus_test {
 protected:
    // The bus with idle settings (selective suspend) and, optionally, wake settings.
    void start_idle_bus(bool wake = false) {
        config().on_prepare_hardware = [wake](WDFDEVICE device) {
            assign_idle(device);
            if (wake) assign_wake(device);
        };
        start_bus();
    }

    WDFDEVICE device() const { return bus->device(); }

    // The device's own log from the given position on.
    strings since(size_t from) const {
        const auto& all = bus->events();
        return strings(all.begin() + static_cast<long>(std::min(from, all.size())), all.end());
    }

    strings steps_since(size_t from) const {
        strings out;
        const auto& log = host.pnp_log();
        for (size_t i = from; i < log.size(); ++i) out.push_back(log[i].instance_path + ": " + log[i].name);
        return out;
    }
};

class power_death : public power {
 protected:
    void SetUp() override {
        GTEST_FLAG_SET(death_test_style, "threadsafe");
        power::SetUp();
    }
};

// ---- Idle ---------------------------------------------------------------------------

TEST_F(power, idle_and_return_run_the_callbacks_in_order_with_the_previous_state) {
    start_idle_bus();
    ASSERT_EQ(host.power_state(device()), WdfPowerDeviceD0);
    size_t mark = bus->events().size();

    ASSERT_TRUE(host.idle(device()));
    EXPECT_EQ(host.power_state(device()), WdfPowerDeviceD2) << "selective suspend idles in D2";
    EXPECT_EQ(since(mark), (strings{"arm_for_wake", "self_managed_io_suspend", "d0_exit(D2)"}));

    mark = bus->events().size();
    ASSERT_EQ(WdfDeviceStopIdle(device(), TRUE), STATUS_SUCCESS);
    EXPECT_EQ(host.power_state(device()), WdfPowerDeviceD0);
    EXPECT_EQ(since(mark), (strings{"d0_entry(D2)", "self_managed_io_restart", "disarm_wake"}));
    WdfDeviceResumeIdle(device());
}

TEST_F(power, a_device_that_cannot_wake_idles_in_d3_without_arming) {
    config().on_prepare_hardware = [](WDFDEVICE device) { assign_idle(device, IdleCannotWakeFromS0); };
    start_bus();
    size_t mark = bus->events().size();
    ASSERT_TRUE(host.idle(device()));
    EXPECT_EQ(host.power_state(device()), WdfPowerDeviceD3);
    EXPECT_EQ(since(mark), (strings{"self_managed_io_suspend", "d0_exit(D3)"}));
}

TEST_F(power, idle_is_refused_without_settings_with_a_reference_held_or_when_already_idle) {
    start_bus();
    EXPECT_FALSE(host.idle(device())) << "no idle settings";
    EXPECT_EQ(host.power_state(device()), WdfPowerDeviceD0);

    assign_idle(device());
    ASSERT_EQ(WdfDeviceStopIdle(device(), FALSE), STATUS_SUCCESS) << "in D0 the reference is taken at once";
    EXPECT_FALSE(host.idle(device()));
    EXPECT_EQ(host.power_state(device()), WdfPowerDeviceD0);
    WdfDeviceResumeIdle(device());

    EXPECT_TRUE(host.idle(device()));
    EXPECT_FALSE(host.idle(device())) << "already idle";
    host.remove_device(*bus);
    EXPECT_EQ(host.power_state(bus->device()), WdfPowerDeviceD3Final);
}

TEST_F(power, stop_idle_without_waiting_is_pending_until_the_pnp_manager_runs) {
    start_idle_bus();
    ASSERT_TRUE(host.idle(device()));

    EXPECT_EQ(WdfDeviceStopIdle(device(), FALSE), STATUS_PENDING);
    EXPECT_EQ(host.power_state(device()), WdfPowerDeviceD2);
    EXPECT_FALSE(host.idle(device())) << "the reference is held";
    host.settle();
    EXPECT_EQ(host.power_state(device()), WdfPowerDeviceD0);
    EXPECT_FALSE(host.idle(device())) << "still held";
    WdfDeviceResumeIdle(device());
    EXPECT_TRUE(host.idle(device()));
}

TEST_F(power, stop_idle_from_a_driver_thread_waits_for_d0) {
    start_idle_bus();
    ASSERT_TRUE(host.idle(device()));
    NTSTATUS status = STATUS_PENDING;
    std::thread worker([&] { status = WdfDeviceStopIdle(device(), TRUE); });
    worker.join();
    EXPECT_EQ(status, STATUS_SUCCESS);
    EXPECT_EQ(host.power_state(device()), WdfPowerDeviceD0);
    WdfDeviceResumeIdle(device());
}

TEST_F(power, stop_idle_on_a_device_not_started_takes_no_reference) {
    ASSERT_EQ(host.load_builtin_driver(driver_entry), STATUS_SUCCESS);
    sim::device_stack_config root;
    root.enumerator = "ROOT";
    root.device_id = "TESTBUS";
    root.instance_id = "0000";
    bus = &host.add_device(root);
    EXPECT_EQ(WdfDeviceStopIdle(device(), TRUE), STATUS_POWER_STATE_INVALID);
    EXPECT_EQ(host.power_state(device()), WdfPowerDeviceD3Final);
}

TEST_F(power, children_idle_before_their_parent_and_come_back_after_it) {
    // Children that own their power policy, as a raw PDO does, idle by their own references.
    config().create = [](WDFCHILDLIST, child_description* description, PWDFDEVICE_INIT init) {
        WdfDeviceInitSetPowerPolicyOwnership(init, TRUE);
        WDFDEVICE pdo;
        return standard_pdo(init, *description, &pdo);
    };
    start_idle_bus();
    ASSERT_EQ(report(1), STATUS_SUCCESS);
    ASSERT_EQ(report(2), STATUS_SUCCESS);
    host.settle();
    size_t mark = host.pnp_log().size();

    ASSERT_TRUE(host.idle(device()));
    EXPECT_EQ(steps_since(mark),
              (strings{"testbus\\CHILD_2\\0002: self_managed_io_suspend", "testbus\\CHILD_2\\0002: d0_exit(D3)",
                       "testbus\\CHILD_1\\0001: self_managed_io_suspend", "testbus\\CHILD_1\\0001: d0_exit(D3)",
                       std::string(bus_path) + ": arm_for_wake", std::string(bus_path) + ": self_managed_io_suspend",
                       std::string(bus_path) + ": d0_exit(D2)"}));

    mark = host.pnp_log().size();
    ASSERT_EQ(WdfDeviceStopIdle(pdo_of(1), TRUE), STATUS_SUCCESS);
    EXPECT_EQ(steps_since(mark),
              (strings{std::string(bus_path) + ": d0_entry(D2)", std::string(bus_path) + ": self_managed_io_restart",
                       std::string(bus_path) + ": disarm_wake", "testbus\\CHILD_1\\0001: d0_entry(D3)",
                       "testbus\\CHILD_1\\0001: self_managed_io_restart"}));
    EXPECT_EQ(host.power_state(pdo_of(2)), WdfPowerDeviceD3) << "its sibling stays idle";
    EXPECT_FALSE(host.idle(device())) << "a child held in D0 keeps its parent there";
    WdfDeviceResumeIdle(pdo_of(1));
    EXPECT_TRUE(host.idle(device()));
}

TEST_F(power, a_child_reported_while_its_parent_is_idle_brings_the_parent_to_d0_before_it_starts) {
    start_idle_bus();
    ASSERT_TRUE(host.idle(device()));
    size_t mark = host.pnp_log().size();

    ASSERT_EQ(report(1), STATUS_SUCCESS);
    host.settle();
    strings steps = steps_since(mark);
    auto at = [&](const std::string& step) { return std::find(steps.begin(), steps.end(), step) - steps.begin(); };
    const std::string parent_up = std::string(bus_path) + ": d0_entry(D2)";
    ASSERT_LT(at(parent_up), static_cast<long>(steps.size())) << "the parent comes back to D0";
    EXPECT_LT(at(parent_up), at("testbus\\CHILD_1\\0001: prepare_hardware"));
    EXPECT_EQ(host.power_state(pdo_of(1)), WdfPowerDeviceD0);
    EXPECT_EQ(host.power_state(device()), WdfPowerDeviceD0);
}

// Only the power policy owner idles: on another device StopIdle changes nothing
// and says so, and ResumeIdle does nothing.
TEST_F(power, stop_idle_on_a_device_that_does_not_own_its_power_policy_is_refused) {
    start_idle_bus();
    ASSERT_EQ(report(1), STATUS_SUCCESS);
    host.settle();
    ASSERT_TRUE(host.idle(device()));
    const size_t mark = host.pnp_log().size();
    EXPECT_EQ(WdfDeviceStopIdle(pdo_of(1), TRUE), STATUS_INVALID_DEVICE_STATE);
    EXPECT_EQ(WdfDeviceStopIdle(pdo_of(1), FALSE), STATUS_INVALID_DEVICE_STATE);
    WdfDeviceResumeIdle(pdo_of(1));
    EXPECT_TRUE(steps_since(mark).empty()) << "nothing powered up";
    EXPECT_EQ(host.power_state(pdo_of(1)), WdfPowerDeviceD3);
}

TEST_F(power, idle_and_wake_settings_are_checked_as_the_framework_checks_them) {
    start_bus();
    ASSERT_EQ(report(1), STATUS_SUCCESS);
    host.settle();
    WDF_DEVICE_POWER_POLICY_IDLE_SETTINGS idle;
    WDF_DEVICE_POWER_POLICY_IDLE_SETTINGS_INIT(&idle, IdleUsbSelectiveSuspend);
    WDF_DEVICE_POWER_POLICY_WAKE_SETTINGS wake;
    WDF_DEVICE_POWER_POLICY_WAKE_SETTINGS_INIT(&wake);
    // The PDO's power policy belongs to its function driver.
    EXPECT_EQ(WdfDeviceAssignS0IdleSettings(pdo_of(1), &idle), STATUS_INVALID_DEVICE_REQUEST);
    EXPECT_EQ(WdfDeviceAssignSxWakeSettings(pdo_of(1), &wake), STATUS_INVALID_DEVICE_REQUEST);

    idle.DxState = PowerDeviceD0;
    EXPECT_EQ(WdfDeviceAssignS0IdleSettings(device(), &idle), STATUS_INVALID_PARAMETER);
    idle.DxState = PowerDeviceD3;
    EXPECT_EQ(WdfDeviceAssignS0IdleSettings(device(), &idle), STATUS_POWER_STATE_INVALID)
        << "selective suspend waits for wake in D1 or D2";
    idle.DxState = PowerDeviceD2;
    idle.Enabled = static_cast<WDF_TRI_STATE>(3);
    EXPECT_EQ(WdfDeviceAssignS0IdleSettings(device(), &idle), STATUS_INVALID_PARAMETER);
    idle.Enabled = WdfUseDefault;
    EXPECT_EQ(WdfDeviceAssignS0IdleSettings(device(), &idle), STATUS_SUCCESS);

    wake.DxState = PowerDeviceUnspecified;
    EXPECT_EQ(WdfDeviceAssignSxWakeSettings(device(), &wake), STATUS_INVALID_PARAMETER);
    wake.DxState = PowerDeviceMaximum;
    EXPECT_EQ(WdfDeviceAssignSxWakeSettings(device(), &wake), STATUS_SUCCESS);
}

// ---- Scanning and the children's wake ------------------------------------------------

// A child's function driver that, as its power policy owner, arms it for wake.
class arming_driver : public sim::function_driver {
 public:
    std::string name() const override { return "arming"; }
    NTSTATUS open() override { return STATUS_SUCCESS; }
    void close() override {}
    bool is_open() const override { return false; }
    bool arms_for_wake() const override { return true; }
};

TEST_F(power, every_entry_into_d0_scans_after_d0_entry_and_before_self_managed_io) {
    config().scan_callback = true;
    config().scan_reports = {1};
    start_idle_bus(true);
    EXPECT_EQ(since(0), (strings{"device_add", "prepare_hardware", "d0_entry(D3Final)", "scan_for_children",
                                 "self_managed_io_init"}));
    ASSERT_NE(pdo_of(1), nullptr);

    ASSERT_TRUE(host.idle(device()));
    size_t mark = bus->events().size();
    ASSERT_EQ(WdfDeviceStopIdle(device(), TRUE), STATUS_SUCCESS);
    EXPECT_EQ(since(mark), (strings{"d0_entry(D2)", "scan_for_children", "self_managed_io_restart", "disarm_wake"}));
    WdfDeviceResumeIdle(device());

    ASSERT_EQ(host.sleep(), STATUS_SUCCESS);
    mark = bus->events().size();
    ASSERT_EQ(host.resume(), STATUS_SUCCESS);
    EXPECT_EQ(since(mark), (strings{"d0_entry(D2)", "scan_for_children", "self_managed_io_restart", "disarm_wake"}));
    EXPECT_NE(pdo_of(1), nullptr) << "reported again, the child stays";
}

TEST_F(power, a_pdo_wait_wake_is_completed_once_by_its_bus_driver) {
    host.register_function_driver("testbus\\CHILD_1", [](WDFDEVICE) { return std::make_unique<arming_driver>(); });
    start_idle_bus();
    ASSERT_EQ(report(1), STATUS_SUCCESS);
    ASSERT_EQ(report(2), STATUS_SUCCESS);
    host.settle();
    WDFDEVICE armed = pdo_of(1);
    WDFDEVICE unarmed = pdo_of(2);
    EXPECT_EQ(WdfDeviceIndicateWakeStatus(armed, STATUS_SUCCESS), STATUS_INVALID_DEVICE_REQUEST) << "in D0";

    ASSERT_TRUE(host.idle(device()));
    EXPECT_EQ(WdfDeviceIndicateWakeStatus(device(), STATUS_SUCCESS), STATUS_INVALID_DEVICE_STATE)
        << "the bus's own wait-wake goes to the device below it";
    EXPECT_EQ(WdfDeviceIndicateWakeStatus(armed, STATUS_PENDING), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(WdfDeviceIndicateWakeStatus(armed, STATUS_CANCELLED), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(WdfDeviceIndicateWakeStatus(unarmed, STATUS_SUCCESS), STATUS_INVALID_DEVICE_REQUEST);

    // Woken, the child returns to D0 (its parent first) through the PnP manager.
    size_t mark = host.pnp_log().size();
    EXPECT_EQ(WdfDeviceIndicateWakeStatus(armed, STATUS_SUCCESS), STATUS_SUCCESS);
    EXPECT_EQ(WdfDeviceIndicateWakeStatus(armed, STATUS_SUCCESS), STATUS_INVALID_DEVICE_REQUEST) << "completed";
    host.settle();
    EXPECT_EQ(host.power_state(armed), WdfPowerDeviceD0);
    EXPECT_EQ(host.power_state(unarmed), WdfPowerDeviceD3);
    EXPECT_EQ(steps_since(mark),
              (strings{"testbus\\CHILD_1\\0001: wake_signalled", std::string(bus_path) + ": d0_entry(D2)",
                       std::string(bus_path) + ": self_managed_io_restart", std::string(bus_path) + ": disarm_wake",
                       "testbus\\CHILD_1\\0001: d0_entry(D3)", "testbus\\CHILD_1\\0001: self_managed_io_restart"}));

    // A failed wake leaves the child where it is.
    ASSERT_TRUE(host.idle(device()));
    EXPECT_EQ(WdfDeviceIndicateWakeStatus(armed, STATUS_UNSUCCESSFUL), STATUS_SUCCESS);
    host.settle();
    EXPECT_EQ(host.power_state(armed), WdfPowerDeviceD3);
    strings child_steps = log_of("testbus\\CHILD_1");
    ASSERT_FALSE(child_steps.empty());
    EXPECT_EQ(child_steps.back(), "wake_failed");
}

// ---- Removal from a low-power state -------------------------------------------------

TEST_F(power, orderly_removal_from_idle_powers_up_first_then_exits_d0_for_good) {
    start_idle_bus();
    ASSERT_EQ(report(1), STATUS_SUCCESS);
    host.settle();
    ASSERT_TRUE(host.idle(device()));
    size_t mark = host.pnp_log().size();

    host.remove_device(*bus);
    const std::string b = std::string(bus_path) + ": ";
    const std::string c = "testbus\\CHILD_1\\0001: ";
    EXPECT_EQ(steps_since(mark),
              (strings{b + "d0_entry(D2)", b + "self_managed_io_restart", b + "disarm_wake", c + "d0_entry(D3)",
                       c + "self_managed_io_restart", c + "self_managed_io_suspend", c + "d0_exit(D3Final)",
                       c + "release_hardware", c + "self_managed_io_flush", c + "self_managed_io_cleanup",
                       c + "removed", b + "self_managed_io_suspend", b + "d0_exit(D3Final)", b + "release_hardware",
                       b + "self_managed_io_flush", b + "self_managed_io_cleanup", b + "removed"}));
}

TEST_F(power, a_child_gone_missing_while_idle_is_not_powered_up_and_exits_d0_only_once) {
    start_idle_bus();
    ASSERT_EQ(report(1), STATUS_SUCCESS);
    host.settle();
    ASSERT_TRUE(host.idle(device()));
    size_t mark = host.pnp_log().size();

    ASSERT_EQ(report_missing(1), STATUS_SUCCESS);
    host.settle();
    EXPECT_EQ(steps_since(mark),
              (strings{"testbus\\CHILD_1\\0001: surprise_removal", "testbus\\CHILD_1\\0001: release_hardware",
                       "testbus\\CHILD_1\\0001: self_managed_io_flush",
                       "testbus\\CHILD_1\\0001: self_managed_io_cleanup", "testbus\\CHILD_1\\0001: removed"}));
    EXPECT_EQ(host.power_state(device()), WdfPowerDeviceD2);
}

TEST_F(power, a_failing_d0_entry_on_resume_fails_and_removes_the_device) {
    start_idle_bus();
    ASSERT_EQ(host.sleep(), STATUS_SUCCESS);
    config().d0_entry_status = STATUS_DEVICE_DATA_ERROR;
    size_t mark = bus->events().size();

    EXPECT_EQ(host.resume(), STATUS_DEVICE_DATA_ERROR);
    EXPECT_TRUE(bus->removed());
    EXPECT_EQ(since(mark), (strings{"d0_entry(D3)", "power_up_failed", "release_hardware", "self_managed_io_flush",
                                    "self_managed_io_cleanup", "removed"}));
    EXPECT_FALSE(host.sleeping());
}

// ---- System sleep -------------------------------------------------------------------

TEST_F(power, sleep_arms_devices_with_wake_settings_for_d2_and_sends_the_others_to_d3) {
    start_idle_bus(true);
    ASSERT_EQ(report(1), STATUS_SUCCESS);
    host.settle();
    size_t mark = host.pnp_log().size();

    ASSERT_EQ(host.sleep(), STATUS_SUCCESS);
    EXPECT_TRUE(host.sleeping());
    EXPECT_EQ(host.power_state(device()), WdfPowerDeviceD2);
    EXPECT_EQ(host.power_state(pdo_of(1)), WdfPowerDeviceD3);
    EXPECT_EQ(steps_since(mark),
              (strings{"testbus\\CHILD_1\\0001: self_managed_io_suspend", "testbus\\CHILD_1\\0001: d0_exit(D3)",
                       std::string(bus_path) + ": arm_for_wake", std::string(bus_path) + ": self_managed_io_suspend",
                       std::string(bus_path) + ": d0_exit(D2)"}));

    mark = host.pnp_log().size();
    ASSERT_EQ(host.resume(), STATUS_SUCCESS);
    EXPECT_FALSE(host.sleeping());
    EXPECT_EQ(steps_since(mark),
              (strings{std::string(bus_path) + ": d0_entry(D2)", std::string(bus_path) + ": self_managed_io_restart",
                       std::string(bus_path) + ": disarm_wake", "testbus\\CHILD_1\\0001: d0_entry(D3)",
                       "testbus\\CHILD_1\\0001: self_managed_io_restart"}));
}

TEST_F(power, wake_settings_disabled_do_not_arm) {
    config().on_prepare_hardware = [](WDFDEVICE device) { assign_wake(device, WdfFalse); };
    start_bus();
    ASSERT_EQ(host.sleep(), STATUS_SUCCESS);
    EXPECT_EQ(host.power_state(device()), WdfPowerDeviceD3);
    ASSERT_EQ(host.resume(), STATUS_SUCCESS);
    EXPECT_EQ(host.power_state(device()), WdfPowerDeviceD0);
}

TEST_F(power, the_system_power_action_is_sleep_only_during_the_transitions) {
    std::vector<std::pair<std::string, POWER_ACTION>> seen;
    config().on_power = [&](WDFDEVICE device, const char* event) {
        seen.push_back({event, WdfDeviceGetSystemPowerAction(device)});
    };
    start_idle_bus();
    ASSERT_TRUE(host.idle(device()));
    ASSERT_EQ(WdfDeviceStopIdle(device(), TRUE), STATUS_SUCCESS);
    WdfDeviceResumeIdle(device());
    ASSERT_EQ(host.sleep(), STATUS_SUCCESS);
    EXPECT_EQ(WdfDeviceGetSystemPowerAction(device()), PowerActionNone) << "asleep, not in a transition";
    ASSERT_EQ(host.resume(), STATUS_SUCCESS);
    config().on_power = nullptr;  // removal comes after `seen` is gone

    using step = std::pair<std::string, POWER_ACTION>;
    EXPECT_EQ(seen, (std::vector<step>{{"d0_entry", PowerActionNone},  // start
                                       {"self_managed_io_suspend", PowerActionNone},
                                       {"d0_exit", PowerActionNone},
                                       {"d0_entry", PowerActionNone},
                                       {"self_managed_io_restart", PowerActionNone},
                                       {"self_managed_io_suspend", PowerActionSleep},
                                       {"d0_exit", PowerActionSleep},
                                       {"d0_entry", PowerActionSleep},
                                       {"self_managed_io_restart", PowerActionSleep}}));
}

TEST_F(power, usb_stacks_resume_before_root_enumerated_ones) {
    start_bus();
    auto modem = std::make_shared<sim::usb::device>(sim::usb::catalogue::acm_modem());
    std::vector<sim::device_stack*> stacks = host.plug(modem);
    ASSERT_EQ(stacks.size(), 1u);
    ASSERT_EQ(host.sleep(), STATUS_SUCCESS);
    size_t mark = host.pnp_log().size();

    ASSERT_EQ(host.resume(), STATUS_SUCCESS);
    strings steps = steps_since(mark);
    ASSERT_FALSE(steps.empty());
    EXPECT_EQ(steps.front(), stacks[0]->instance_path() + ": d0_entry(D3)");
    EXPECT_EQ(steps.back(), std::string(bus_path) + ": self_managed_io_restart");
    EXPECT_EQ(host.power_state(stacks[0]->device()), WdfPowerDeviceD0);
}

TEST_F(power, while_asleep_opening_and_idling_are_refused_and_sleep_resume_pair_up) {
    start_idle_bus();
    ASSERT_EQ(report(1), STATUS_SUCCESS);
    host.settle();
    EXPECT_EQ(host.resume(), STATUS_INVALID_DEVICE_STATE) << "not asleep";
    ASSERT_EQ(host.sleep(), STATUS_SUCCESS);
    EXPECT_EQ(host.sleep(), STATUS_INVALID_DEVICE_STATE);
    EXPECT_EQ(host.open(pdo_of(1)), STATUS_INVALID_DEVICE_STATE);
    EXPECT_FALSE(host.idle(device()));
    EXPECT_EQ(WdfDeviceStopIdle(device(), FALSE), STATUS_PENDING);
    host.settle();
    EXPECT_EQ(host.power_state(device()), WdfPowerDeviceD3) << "only resume brings it back";
    ASSERT_EQ(host.resume(), STATUS_SUCCESS);
    EXPECT_EQ(host.power_state(device()), WdfPowerDeviceD0);
    WdfDeviceResumeIdle(device());
}

TEST_F(power, idle_devices_come_back_to_d0_at_resume) {
    start_idle_bus();
    ASSERT_TRUE(host.idle(device()));
    ASSERT_EQ(host.sleep(), STATUS_SUCCESS);
    EXPECT_EQ(host.power_state(device()), WdfPowerDeviceD2) << "an idle device stays where it is";
    ASSERT_EQ(host.resume(), STATUS_SUCCESS);
    EXPECT_EQ(host.power_state(device()), WdfPowerDeviceD0);
}

// ---- The idle timer ------------------------------------------------------------------

// The D0 exit the timer runs, seen from the driver: on which thread, once
// it is done.
struct timer_exit {
    std::mutex lock;
    std::condition_variable done;
    std::thread::id thread;  // guarded by lock
    bool exited = false;     // guarded by lock

    void hook() {
        config().on_power = [this](WDFDEVICE, const char* event) {
            if (std::string(event) != "d0_exit") return;
            std::lock_guard<std::mutex> guard(lock);
            thread = std::this_thread::get_id();
            exited = true;
            done.notify_all();
        };
    }
    // The timer's thread runs the exit on its own; a bound keeps a broken timer from hanging the suite.
    bool wait() {
        std::unique_lock<std::mutex> lk(lock);
        return done.wait_for(lk, std::chrono::seconds(30), [this] { return exited; });
    }
};

TEST_F(power, the_device_idles_by_itself_its_time_out_after_start_and_after_each_return_to_d0) {
    timer_exit timer;
    timer.hook();
    start_idle_bus();
    size_t mark = bus->events().size();

    sim::clock_advance(2999 * kMs);
    host.settle();
    EXPECT_EQ(host.power_state(device()), WdfPowerDeviceD0) << "a millisecond before its time-out";
    sim::clock_advance(1 * kMs);
    ASSERT_TRUE(timer.wait()) << "no scenario call: the framework's own thread idles it";
    EXPECT_NE(timer.thread, std::this_thread::get_id());
    host.settle();
    EXPECT_EQ(host.power_state(device()), WdfPowerDeviceD2);
    EXPECT_EQ(since(mark), (strings{"arm_for_wake", "self_managed_io_suspend", "d0_exit(D2)"}));

    // D0 entry starts the cycle again: the reference taken and dropped at once.
    ASSERT_EQ(WdfDeviceStopIdle(device(), TRUE), STATUS_SUCCESS);
    WdfDeviceResumeIdle(device());
    sim::clock_advance(2999 * kMs);
    host.settle();
    EXPECT_EQ(host.power_state(device()), WdfPowerDeviceD0);
    sim::clock_advance(1 * kMs);
    host.settle();
    EXPECT_EQ(host.power_state(device()), WdfPowerDeviceD2);
    config().on_power = nullptr;
}

TEST_F(power, the_default_time_out_is_five_seconds_and_disabled_settings_never_idle) {
    config().on_prepare_hardware = [](WDFDEVICE device) {
        assign_idle(device, IdleUsbSelectiveSuspend, IdleTimeoutDefaultValue);
    };
    start_bus();
    sim::clock_advance(4999 * kMs);
    host.settle();
    EXPECT_EQ(host.power_state(device()), WdfPowerDeviceD0);
    sim::clock_advance(1 * kMs);
    host.settle();
    EXPECT_EQ(host.power_state(device()), WdfPowerDeviceD2);

    ASSERT_EQ(WdfDeviceStopIdle(device(), TRUE), STATUS_SUCCESS);
    WDF_DEVICE_POWER_POLICY_IDLE_SETTINGS idle;
    WDF_DEVICE_POWER_POLICY_IDLE_SETTINGS_INIT(&idle, IdleUsbSelectiveSuspend);
    idle.Enabled = WdfFalse;
    ASSERT_EQ(WdfDeviceAssignS0IdleSettings(device(), &idle), STATUS_SUCCESS);
    WdfDeviceResumeIdle(device());
    sim::clock_advance(int64_t{3600} * 1000 * kMs);
    host.settle();
    EXPECT_EQ(host.power_state(device()), WdfPowerDeviceD0);
}

TEST_F(power, stop_idle_cancels_the_timer_and_resume_idle_starts_it_over) {
    start_idle_bus();
    sim::clock_advance(2000 * kMs);
    ASSERT_EQ(WdfDeviceStopIdle(device(), FALSE), STATUS_SUCCESS) << "in D0, the reference at once";
    sim::clock_advance(60000 * kMs);
    host.settle();
    EXPECT_EQ(host.power_state(device()), WdfPowerDeviceD0) << "a reference held";

    WdfDeviceResumeIdle(device());
    sim::clock_advance(2999 * kMs);
    host.settle();
    EXPECT_EQ(host.power_state(device()), WdfPowerDeviceD0) << "the full time-out from the last reference";
    sim::clock_advance(1 * kMs);
    host.settle();
    EXPECT_EQ(host.power_state(device()), WdfPowerDeviceD2);
}

// Each child in D0 holds a reference on its parent; the parent's time-out
// runs from the moment the last child left D0.
TEST_F(power, a_child_in_d0_keeps_its_parent_up_and_the_parent_idles_its_time_out_after_the_child_left) {
    config().create = [](WDFCHILDLIST, child_description* description, PWDFDEVICE_INIT init) {
        WdfDeviceInitSetPowerPolicyOwnership(init, TRUE);
        WDFDEVICE pdo;
        NTSTATUS status = standard_pdo(init, *description, &pdo);
        if (NT_SUCCESS(status) && description->serial == 1) assign_idle(pdo, IdleCannotWakeFromS0, 1000);
        return status;
    };
    start_idle_bus();
    ASSERT_EQ(report(1), STATUS_SUCCESS);
    host.settle();

    sim::clock_advance(999 * kMs);
    host.settle();
    EXPECT_EQ(host.power_state(pdo_of(1)), WdfPowerDeviceD0);
    sim::clock_advance(1 * kMs);
    host.settle();
    EXPECT_EQ(host.power_state(pdo_of(1)), WdfPowerDeviceD3) << "the child's own time-out";
    EXPECT_EQ(host.power_state(device()), WdfPowerDeviceD0);
    sim::clock_advance(2999 * kMs);
    host.settle();
    EXPECT_EQ(host.power_state(device()), WdfPowerDeviceD0) << "three seconds from the child's exit, not the start";
    sim::clock_advance(1 * kMs);
    host.settle();
    EXPECT_EQ(host.power_state(device()), WdfPowerDeviceD2);

    // The child's return brings the parent first; held, the parent stays.
    ASSERT_EQ(WdfDeviceStopIdle(pdo_of(1), TRUE), STATUS_SUCCESS);
    EXPECT_EQ(host.power_state(device()), WdfPowerDeviceD0);
    sim::clock_advance(60000 * kMs);
    host.settle();
    EXPECT_EQ(host.power_state(device()), WdfPowerDeviceD0);
    WdfDeviceResumeIdle(pdo_of(1));
    sim::clock_advance(1000 * kMs);
    host.settle();
    EXPECT_EQ(host.power_state(pdo_of(1)), WdfPowerDeviceD3);
    sim::clock_advance(3000 * kMs);
    host.settle();
    EXPECT_EQ(host.power_state(device()), WdfPowerDeviceD2);
}

TEST_F(power, a_child_whose_power_policy_never_idles_it_holds_its_parent_in_d0) {
    start_idle_bus();
    ASSERT_EQ(report(1), STATUS_SUCCESS);
    host.settle();
    sim::clock_advance(int64_t{3600} * 1000 * kMs);
    host.settle();
    EXPECT_EQ(host.power_state(pdo_of(1)), WdfPowerDeviceD0);
    EXPECT_EQ(host.power_state(device()), WdfPowerDeviceD0);
}

// Once the timer expired the device is on its way out: a reference taken
// in its D0 exit does not stop the exit but brings the device back after
// it, without waiting (STATUS_PENDING) or with the caller waiting until D0.
TEST_F(power, stop_idle_during_the_timers_d0_exit_brings_the_device_back_after_it) {
    NTSTATUS inside = STATUS_SUCCESS;
    NTSTATUS waited = STATUS_PENDING;
    WDF_POWER_DEVICE_STATE state_after_wait = WdfPowerDeviceD3Final;
    std::thread waiter;
    bool once = false;
    config().on_power = [&](WDFDEVICE device, const char* event) {
        if (std::string(event) != "self_managed_io_suspend" || once) return;
        once = true;
        inside = WdfDeviceStopIdle(device, FALSE);
        waiter = std::thread([&, device] {
            waited = WdfDeviceStopIdle(device, TRUE);
            state_after_wait = host.power_state(device);
        });
    };
    start_idle_bus();
    const size_t mark = bus->events().size();
    sim::clock_advance(3000 * kMs);
    host.settle();
    waiter.join();
    config().on_power = nullptr;

    EXPECT_EQ(inside, STATUS_PENDING);
    EXPECT_EQ(waited, STATUS_SUCCESS);
    EXPECT_EQ(state_after_wait, WdfPowerDeviceD0);
    EXPECT_EQ(since(mark), (strings{"arm_for_wake", "self_managed_io_suspend", "d0_exit(D2)", "d0_entry(D2)",
                                    "self_managed_io_restart", "disarm_wake"}));
    EXPECT_EQ(host.power_state(device()), WdfPowerDeviceD0);
    WdfDeviceResumeIdle(device());
    WdfDeviceResumeIdle(device());
}

// ---- Verifier -----------------------------------------------------------------------

TEST_F(power_death, stop_idle_waiting_for_d0_inside_the_devices_own_power_callback_is_a_bug_check) {
    config().on_power = [](WDFDEVICE device, const char* event) {
        if (std::string(event) == "d0_exit") (void)WdfDeviceStopIdle(device, TRUE);
    };
    start_idle_bus();
    EXPECT_DEATH(host.idle(device()), "inside the device's own power callback");
    config().on_power = nullptr;
}

TEST_F(power, stop_idle_without_waiting_inside_a_power_callback_is_allowed) {
    bool taken = false;
    config().on_power = [&](WDFDEVICE device, const char* event) {
        if (std::string(event) == "self_managed_io_restart" && !taken) {
            taken = WdfDeviceStopIdle(device, FALSE) == STATUS_SUCCESS;
        }
    };
    start_idle_bus();
    ASSERT_TRUE(host.idle(device()));
    ASSERT_EQ(WdfDeviceStopIdle(device(), TRUE), STATUS_SUCCESS);
    EXPECT_TRUE(taken);
    config().on_power = nullptr;
    WdfDeviceResumeIdle(device());
    WdfDeviceResumeIdle(device());
}

TEST_F(power_death, removal_with_a_stop_idle_outstanding_is_still_a_bug_check) {
    start_idle_bus();
    ASSERT_TRUE(host.idle(device()));
    ASSERT_EQ(WdfDeviceStopIdle(device(), TRUE), STATUS_SUCCESS);
    EXPECT_DEATH(host.remove_device(*bus), "not matched by WdfDeviceResumeIdle");
    WdfDeviceResumeIdle(device());
}

}  // namespace
}  // namespace test_bus
