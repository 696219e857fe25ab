// The children of the control device follow the power of the USB function
// device serving them: their drivers hear stop before the device leaves D0
// and start once it is back, the final pair when it starts or goes for good.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <vector>

#include "tests/control/control_fixture.h"

namespace {

using names = std::vector<std::string>;

constexpr UCHAR get_line_coding = 0x21;

// A child driver's control callbacks, recording the order they came in.
struct recorder {
    std::mutex lock;
    names calls;  // guarded by lock
    bool open = true;

    void add(const char* name) {
        std::lock_guard<std::mutex> guard(lock);
        calls.push_back(name);
    }
    names take() {
        std::lock_guard<std::mutex> guard(lock);
        names out;
        out.swap(calls);
        return out;
    }
    static LONG start_final(PVOID ctx) { return static_cast<recorder*>(ctx)->add("start-final"), 0; }
    static LONG stop_final(PVOID ctx) { return static_cast<recorder*>(ctx)->add("stop-final"), 0; }
    static LONG start(PVOID ctx) { return static_cast<recorder*>(ctx)->add("start"), 0; }
    static LONG stop(PVOID ctx) { return static_cast<recorder*>(ctx)->add("stop"), 0; }
    static LONG is_open(PVOID ctx) { return static_cast<recorder*>(ctx)->open ? 1 : 0; }
};

class power_coordination : public control_test::control_fixture {
 protected:
    // A modem that can idle (IdleTimeout in its hardware key) and its child,
    // with the recorder's callbacks installed.
    WDFDEVICE plug_with_callbacks(recorder& r, ULONG idle_timeout = 0) {
        if (idle_timeout != 0) {
            host_->registry().set_dword(std::string(sim::enum_key()) + "\\USB\\VID_1234&PID_0001\\" +
                                            sim::plug_options().location + "\\Device Parameters",
                                        "IdleTimeout", idle_timeout);
        }
        usb_ = plug();
        auto kids = children();
        EXPECT_EQ(kids.size(), 1u);
        WDFDEVICE child = kids.at(0).device;
        bus_ = &bus(child);
        EXPECT_EQ(bus_->cdc_data_io_ctrl_cbs_init(child, 1, recorder::start_final, recorder::stop_final,
                                                  recorder::is_open, recorder::stop, recorder::start, &r),
                  STATUS_SUCCESS);
        sim::debugger_clear();
        return child;
    }

    // Outlives the test body: the removal at tear-down still calls back.
    recorder rec_;
    sim::device_stack* usb_ = nullptr;
    CDC_BUS_INTERFACE* bus_ = nullptr;
};

TEST_F(power_coordination, sleep_stops_the_children_before_the_device_sleeps_and_resume_starts_them_after) {
    recorder& r = rec_;
    plug_with_callbacks(r);
    ASSERT_EQ(host_->sleep(), STATUS_SUCCESS);
    // Self-managed I/O suspend first, then the D0 exit to D3: both stop.
    EXPECT_EQ(r.take(), (names{"stop", "stop"}));
    EXPECT_EQ(traced("ctrl_usb_device_d0_exit: entered, target_state WdfPowerDeviceD3"), 1u);
    ASSERT_EQ(host_->resume(), STATUS_SUCCESS);
    EXPECT_EQ(r.take(), (names{"start", "start"}));
    EXPECT_EQ(traced("ctrl_usb_device_d0_entry: entered, prev_state WdfPowerDeviceD3"), 1u);
    // The control device came back after the USB device and found its child.
    EXPECT_EQ(traced("ctrl_evt_device_d0_entry: coming from WdfPowerDeviceD3"), 1u);
    EXPECT_EQ(traced("ctrl_evt_device_d0_entry: detected 1 children"), 1u);
    EXPECT_EQ(traced_prefix("wait_for_usb_devs_wake_up: Failed"), 0u);
}

TEST_F(power_coordination, idle_stops_the_children_and_a_childs_wakeup_starts_them_again) {
    recorder& r = rec_;
    WDFDEVICE child = plug_with_callbacks(r, 5);
    ASSERT_TRUE(host_->idle(usb_->device()));
    EXPECT_EQ(host_->power_state(usb_->device()), WdfPowerDeviceD2);
    EXPECT_EQ(r.take(), (names{"stop", "stop"}));
    EXPECT_EQ(traced("ctrl_usb_device_d0_exit: entered, target_state WdfPowerDeviceD2"), 2u);

    // The child's driver wakes its device before it talks to it.
    EXPECT_EQ(bus_->qd_device_wakeup_sync(child, FALSE), STATUS_SUCCESS);
    EXPECT_EQ(host_->power_state(usb_->device()), WdfPowerDeviceD0);
    EXPECT_EQ(r.take(), (names{"start", "start"}));
    EXPECT_FALSE(bus_->qd_is_idle(child));
}

// The hardware key's IdleTimeout counts seconds; the framework's timer runs
// out that long after the device's start, by itself, and the children hear
// their stop as for any idle.
TEST_F(power_coordination, the_device_idles_by_itself_the_hardware_keys_seconds_after_its_start) {
    constexpr int64_t ms = 10000;
    recorder& r = rec_;
    plug_with_callbacks(r, 5);
    sim::clock_advance(4999 * ms);
    host_->settle();
    EXPECT_EQ(host_->power_state(usb_->device()), WdfPowerDeviceD0) << "5 s, not 5 ms";
    EXPECT_EQ(r.take(), names{});
    sim::clock_advance(1 * ms);
    host_->settle();
    EXPECT_EQ(host_->power_state(usb_->device()), WdfPowerDeviceD2);
    EXPECT_EQ(r.take(), (names{"stop", "stop"}));
}

// A read in flight when the timer fires: nothing holds the device in D0
// for it, so the device suspends with the read pending at the USB stack, as
// a suspended device's transfers stay; the children hear their stop. Once
// the device is back, its data completes the read, once.
TEST_F(power_coordination, a_read_in_flight_as_the_timer_fires_survives_the_idle_and_completes_once_after) {
    constexpr int64_t ms = 10000;
    struct result {
        std::mutex lock;
        std::condition_variable done_cv;
        int calls = 0;  // guarded by lock
        NTSTATUS status = STATUS_PENDING;
        ULONG bytes = 0;
        static VOID done(PVOID ctx, NTSTATUS status, ULONG bytes) {
            auto* self = static_cast<result*>(ctx);
            std::lock_guard<std::mutex> guard(self->lock);
            self->status = status;
            self->bytes = bytes;
            self->calls++;
            self->done_cv.notify_all();
        }
        // Completions run on the framework's threads; a bound keeps a lost one from hanging the suite.
        int wait_calls() {
            std::unique_lock<std::mutex> lk(lock);
            done_cv.wait_for(lk, std::chrono::seconds(30), [this] { return calls != 0; });
            return calls;
        }
        int calls_now() {
            std::lock_guard<std::mutex> guard(lock);
            return calls;
        }
    };
    recorder& r = rec_;
    WDFDEVICE child = plug_with_callbacks(r, 1);
    ASSERT_EQ(bus_->cdc_data_io_init(child, 2, 2), STATUS_SUCCESS);
    ASSERT_EQ(bus_->cdc_transport_enable(child), STATUS_SUCCESS);
    std::vector<uint8_t> buffer(64);
    result first;
    ASSERT_TRUE(bus_->cdc_data_in_async(child, buffer.data(), 64, result::done, &first, 0));

    sim::clock_advance(1000 * ms);
    host_->settle();
    EXPECT_EQ(host_->power_state(usb_->device()), WdfPowerDeviceD2);
    EXPECT_EQ(r.take(), (names{"stop", "stop"}));
    EXPECT_EQ(first.calls_now(), 0) << "still pending at the suspended device";

    EXPECT_EQ(bus_->qd_device_wakeup_sync(child, TRUE), STATUS_SUCCESS);
    EXPECT_EQ(r.take(), (names{"start", "start"}));
    devices_.back()->push_in(0x82, {'O', 'K'});
    ASSERT_EQ(first.wait_calls(), 1);
    EXPECT_EQ(first.status, STATUS_SUCCESS);
    EXPECT_EQ(first.bytes, 2u);
    EXPECT_EQ(std::string(buffer.begin(), buffer.begin() + 2), "OK");

    EXPECT_EQ(bus_->cdc_inout_purge(child, TRUE), STATUS_SUCCESS);
    EXPECT_EQ(bus_->cdc_transport_disable(child), STATUS_SUCCESS);
    EXPECT_EQ(bus_->cdc_data_io_uninit(child), STATUS_SUCCESS);
    EXPECT_EQ(first.calls_now(), 1);
}

// The failed power-up is torn down by the PnP manager after the wake-up
// returned, so the routed call that asked for it is not still pinning the
// device the removal waits to drain.
TEST_F(power_coordination, a_wakeup_whose_power_up_fails_returns_before_the_device_is_removed) {
    struct failing {
        static LONG start(PVOID) { return STATUS_UNSUCCESSFUL; }
    };
    recorder& r = rec_;
    WDFDEVICE child = plug_with_callbacks(r, 5);
    ASSERT_EQ(bus_->cdc_data_io_ctrl_cbs_init(child, 1, recorder::start_final, recorder::stop_final, recorder::is_open,
                                              recorder::stop, failing::start, &r),
              STATUS_SUCCESS);
    ASSERT_TRUE(host_->idle(usb_->device()));
    sim::debugger_clear();
    EXPECT_NE(bus_->qd_device_wakeup_sync(child, FALSE), STATUS_SUCCESS);
    EXPECT_FALSE(usb_->removed());
    host_->settle();
    EXPECT_TRUE(usb_->removed());
    EXPECT_EQ(traced("ctrl_remove_usb_device: entered"), 1u);
    EXPECT_EQ(traced_prefix("ctrl_usb_device_drain: "), 0u);
}

TEST_F(power_coordination, a_closed_child_that_asked_for_the_open_test_hears_nothing) {
    recorder& r = rec_;
    r.open = false;
    plug_with_callbacks(r, 5);
    ASSERT_TRUE(host_->idle(usb_->device()));
    ASSERT_EQ(host_->sleep(), STATUS_SUCCESS);
    ASSERT_EQ(host_->resume(), STATUS_SUCCESS);
    EXPECT_EQ(r.take(), names{});
    EXPECT_GE(traced("ctrl_usb_device_d0_entry_exit: child device is closed"), 2u);
}

TEST_F(power_coordination, unplug_and_replug_bring_the_final_pair_around_the_registration) {
    recorder& r = rec_;
    plug_with_callbacks(r);
    host_->unplug(devices_.back());
    // The removal suspends self-managed I/O before the D0 exit to D3Final.
    EXPECT_EQ(r.take(), (names{"stop", "stop-final"}));
    // The child heard of it while the device still served it.
    auto lines = sim::debugger_lines();
    auto stop =
        std::find(lines.begin(), lines.end(), "ctrl_usb_device_d0_exit: entered, target_state WdfPowerDeviceD3Final");
    auto removed = std::find(lines.begin(), lines.end(), "ctrl_remove_usb_device: entered");
    ASSERT_NE(stop, lines.end());
    EXPECT_LT(stop, removed);

    sim::plug_options options;
    options.whole_device = true;
    host_->plug(devices_.back(), options);
    EXPECT_EQ(r.take(), names{"start-final"});
    EXPECT_EQ(children().size(), 1u);
}

TEST_F(power_coordination, a_failing_child_callback_fails_the_transition_and_the_others_still_run) {
    struct failing {
        static LONG stop(PVOID) { return 5; }
    };
    recorder& r = rec_;
    WDFDEVICE child = plug_with_callbacks(r);
    // A second registration replaces the first: only the stop fails now.
    ASSERT_EQ(bus_->cdc_data_io_ctrl_cbs_init(child, 1, recorder::start_final, recorder::stop_final, recorder::is_open,
                                              failing::stop, recorder::start, &r),
              STATUS_SUCCESS);
    ASSERT_EQ(host_->sleep(), STATUS_SUCCESS);
    EXPECT_EQ(traced("ctrl_usb_device_d0_entry_exit: Failed to change state, entry=0, from_or_to_final=0, status=0x5"),
              2u);
    EXPECT_EQ(traced("ctrl_usb_device_d0_entry_exit: returning failure, status=0x5"), 2u);
    // The D0 exit reports it; the framework goes on to sleep all the same.
    EXPECT_EQ(traced("usb_evt_device_d0_exit: done, 5"), 1u);
    ASSERT_EQ(host_->resume(), STATUS_SUCCESS);
    EXPECT_EQ(r.take(), (names{"start", "start"}));
}

TEST_F(power_coordination, the_suspend_waits_five_times_for_a_control_transfer_that_stays_in_flight) {
    recorder& r = rec_;
    WDFDEVICE child = plug_with_callbacks(r, 5);
    ASSERT_EQ(bus_->cdc_data_io_init(child, 2, 2), STATUS_SUCCESS);
    ASSERT_EQ(bus_->cdc_transport_enable(child), STATUS_SUCCESS);
    devices_.back()->hold_next_control(sim::usb::match::class_or_vendor);
    UCHAR coding[7] = {};
    struct done_flag {
        std::atomic<int> calls{0};
        std::atomic<NTSTATUS> status{STATUS_SUCCESS};
        static VOID on_done(PVOID ctx, NTSTATUS status, ULONG) {
            static_cast<done_flag*>(ctx)->status = status;
            static_cast<done_flag*>(ctx)->calls++;
        }
    } done;
    ASSERT_EQ(bus_->class_control_async(child, TRUE, get_line_coding, 0, sizeof(coding), coding, done_flag::on_done,
                                        &done, nullptr, 0),
              STATUS_PENDING);

    ASSERT_TRUE(host_->idle(usb_->device()));
    EXPECT_EQ(traced("usb_evt_dev_self_managed_io_suspend: Failed to stop control request after 10 attempts!"), 1u);
    EXPECT_EQ(static_cast<DEVICE_CONTEXT*>(wdf::context_by_name(usb_->device(), "DEVICE_CONTEXT"))->control_req_state,
              1);

    // The child gives up on it; back in D0 control transfers go again.
    EXPECT_EQ(bus_->control_request_purge(child), STATUS_SUCCESS);
    host_->settle();
    EXPECT_EQ(done.calls.load(), 1);
    EXPECT_EQ(done.status.load(), STATUS_CANCELLED);
    EXPECT_EQ(bus_->qd_device_wakeup_sync(child, FALSE), STATUS_SUCCESS);
    ULONG bytes = 0;
    EXPECT_EQ(bus_->class_control_sync(child, TRUE, get_line_coding, 0, sizeof(coding), coding, &bytes, 0),
              STATUS_UNSUCCESSFUL);  // the bare device stalls class requests, but it was sent
    EXPECT_EQ(devices_.back()->control_traffic(sim::usb::match::class_or_vendor).size(), 2u);
    EXPECT_EQ(bus_->cdc_transport_disable(child), STATUS_SUCCESS);
    EXPECT_EQ(bus_->cdc_data_io_uninit(child), STATUS_SUCCESS);
}

}  // namespace

namespace {

// A serial child's driver as it starts: its start-final sets the line
// coding with a class request, inside the device's own D0 entry.
struct talking_child {
    CDC_BUS_INTERFACE* bus = nullptr;
    WDFDEVICE child = nullptr;
    std::atomic<int> start_final{0};
    std::atomic<int> stop_final{0};
    std::atomic<NTSTATUS> request_status{STATUS_PENDING};
    std::atomic<NTSTATUS> wakeup_status{STATUS_PENDING};

    static LONG on_start_final(PVOID ctx) {
        auto* self = static_cast<talking_child*>(ctx);
        self->start_final++;
        self->wakeup_status = self->bus->qd_device_wakeup_sync(self->child, FALSE);
        UCHAR coding[7] = {0x00, 0xc2, 0x01, 0x00, 0x00, 0x00, 0x08};
        ULONG bytes = 0;
        // One second: the device answers at once.
        self->request_status =
            self->bus->class_control_sync(self->child, FALSE, 0x20, 0, sizeof(coding), coding, &bytes, -10000000LL);
        return 0;
    }
    static LONG on_stop_final(PVOID ctx) {
        static_cast<talking_child*>(ctx)->stop_final++;
        return 0;
    }
    static LONG is_open(PVOID) { return 1; }
};

TEST_F(power_coordination, a_child_talking_from_its_start_final_on_replug_with_an_idle_time_out_does_not_wait_for_d0) {
    recorder& r = rec_;
    WDFDEVICE child = plug_with_callbacks(r, 5);
    talking_child talker;
    talker.bus = bus_;
    talker.child = child;
    ASSERT_EQ(bus_->cdc_data_io_ctrl_cbs_init(child, 1, talking_child::on_start_final, talking_child::on_stop_final,
                                              talking_child::is_open, nullptr, nullptr, &talker),
              STATUS_SUCCESS);
    host_->unplug(devices_.back());
    EXPECT_EQ(talker.stop_final.load(), 1);
    ASSERT_EQ(children().size(), 1u);

    sim::plug_options options;
    options.whole_device = true;
    host_->plug(devices_.back(), options);
    EXPECT_EQ(talker.start_final.load(), 1);
    EXPECT_EQ(talker.wakeup_status.load(), STATUS_SUCCESS);
    // Both the explicit wake-up and the one the request makes.
    EXPECT_EQ(traced("usb_device_wakeup: inside the device's own power transition, no wait for D0"), 2u);
    // The request went out to the device (which stalls class requests).
    EXPECT_EQ(talker.request_status.load(), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(devices_.back()->control_traffic(sim::usb::match::class_or_vendor).size(), 1u);
    // The talker goes with the test body; the recorder hears the rest.
    ASSERT_EQ(bus_->cdc_data_io_ctrl_cbs_init(child, 1, recorder::start_final, recorder::stop_final, recorder::is_open,
                                              recorder::stop, recorder::start, &r),
              STATUS_SUCCESS);
}

// An ECM child's driver that opens its data path from its start-final, inside
// the device's own D0 entry, and records how that went.
struct opening_child {
    CDC_BUS_INTERFACE* bus = nullptr;
    WDFDEVICE child = nullptr;
    std::atomic<int> start_final{0};
    std::atomic<NTSTATUS> enable_status{STATUS_PENDING};

    static LONG on_start_final(PVOID ctx) {
        auto* self = static_cast<opening_child*>(ctx);
        self->start_final++;
        self->enable_status = self->bus->cdc_transport_enable(self->child);
        return 0;
    }
    static LONG on_stop_final(PVOID) { return 0; }
    static LONG is_open(PVOID) { return 1; }
};

TEST_F(power_coordination, a_child_opening_its_data_path_from_its_start_final_with_an_idle_time_out_switches_at_once) {
    host_->registry().set_dword(std::string(sim::enum_key()) + "\\USB\\VID_1234&PID_0003\\" +
                                    sim::plug_options().location + "\\Device Parameters",
                                "IdleTimeout", 5);
    auto ecm = std::make_shared<sim::usb::device>(sim::usb::catalogue::ecm_adapter());
    sim::plug_options options;
    options.whole_device = true;
    ASSERT_EQ(host_->plug(ecm, options).size(), 1u);
    ASSERT_EQ(children().size(), 1u);
    WDFDEVICE child = children().at(0).device;
    bus_ = &bus(child);
    opening_child opener;
    opener.bus = bus_;
    opener.child = child;
    ASSERT_EQ(bus_->cdc_data_io_ctrl_cbs_init(child, 1, opening_child::on_start_final, opening_child::on_stop_final,
                                              opening_child::is_open, nullptr, nullptr, &opener),
              STATUS_SUCCESS);
    host_->unplug(ecm);
    ASSERT_EQ(children().size(), 1u);
    ecm->clear_traffic();

    ASSERT_EQ(host_->plug(ecm, options).size(), 1u);
    EXPECT_EQ(opener.start_final.load(), 1);
    EXPECT_EQ(opener.enable_status.load(), STATUS_SUCCESS);
    std::vector<uint16_t> settings;
    for (const auto& r : ecm->control_traffic(sim::usb::match::set_interface)) settings.push_back(r.packet().wValue);
    EXPECT_EQ(settings, std::vector<uint16_t>{1});
    // From a child's own thread the device is held in D0 as usual.
    EXPECT_EQ(bus_->cdc_transport_disable(child), STATUS_SUCCESS);
    ASSERT_EQ(bus_->cdc_data_io_ctrl_cbs_init(child, 1, recorder::start_final, recorder::stop_final, recorder::is_open,
                                              recorder::stop, recorder::start, &rec_),
              STATUS_SUCCESS);
}

TEST_F(power_coordination, a_device_removed_while_idle_still_brings_its_children_their_stop_final) {
    recorder& r = rec_;
    plug_with_callbacks(r, 5);
    ASSERT_TRUE(host_->idle(usb_->device()));
    EXPECT_EQ(r.take(), (names{"stop", "stop"}));

    // Surprise-removed in D2: nothing powers it up, so no D0 exit to
    // D3Final; the hardware stop says it.
    host_->surprise_remove(devices_.back());
    EXPECT_EQ(r.take(), names{"stop-final"});
    EXPECT_EQ(traced("ctrl_usb_device_final_stop: removed in a low-power state, stopping the children"), 1u);
    // The child heard it while the device still served it.
    auto lines = sim::debugger_lines();
    auto final_stop = std::find(lines.begin(), lines.end(),
                                "ctrl_usb_device_final_stop: removed in a low-power state, stopping the children");
    auto removed = std::find(lines.begin(), lines.end(), "ctrl_remove_usb_device: done, status 0");
    EXPECT_LT(final_stop, removed);

    // Back again: the pair is whole, and no second stop-final at the next removal.
    sim::plug_options options;
    options.whole_device = true;
    host_->plug(devices_.back(), options);
    EXPECT_EQ(r.take(), names{"start-final"});
    host_->unplug(devices_.back());
    EXPECT_EQ(r.take(), (names{"stop", "stop-final"}));
}

TEST_F(power_coordination, an_orderly_removal_of_an_idle_device_brings_it_up_and_stops_it_in_order) {
    recorder& r = rec_;
    plug_with_callbacks(r, 5);
    ASSERT_TRUE(host_->idle(usb_->device()));
    EXPECT_EQ(r.take(), (names{"stop", "stop"}));

    // The query-remove takes it back to D0 first: the ordinary D0 exit to
    // D3Final brings the stop-final, the hardware stop has nothing to add.
    host_->unplug(devices_.back());
    EXPECT_EQ(r.take(), (names{"start", "start", "stop", "stop-final"}));
    EXPECT_EQ(traced("ctrl_usb_device_final_stop: removed in a low-power state, stopping the children"), 0u);
}

// The control device's start waits for each registered USB function device
// out of D0, 300 times 10 ms, names the one that stayed asleep, and goes on
// to report its children.
TEST(control_device_start, waits_a_bounded_time_for_an_idle_usb_device) {
    sim::host host;
    host.registry().set_dword(sim::host::parameters_key(), "UseControlDevice", 1);
    host.registry().set_dword(sim::host::parameters_key(), "DebugLevel", 4);
    host.registry().set_dword(std::string(sim::enum_key()) + "\\USB\\VID_1234&PID_0001\\" +
                                  sim::plug_options().location + "\\Device Parameters",
                              "IdleTimeout", 5);
    ASSERT_EQ(host.load_driver(CDC_DRIVER_IMAGE), STATUS_SUCCESS);
    auto modem = std::make_shared<sim::usb::device>(sim::usb::catalogue::acm_modem());
    sim::plug_options options;
    options.whole_device = true;
    auto stacks = host.plug(modem, options);
    ASSERT_EQ(stacks.size(), 1u);
    ASSERT_TRUE(host.idle(stacks[0]->device()));

    sim::debugger_clear();
    const uint64_t delays = sim::delay_count();
    sim::device_stack_config root;
    root.enumerator = "ROOT";
    root.device_id = "CDCBUS";
    root.instance_id = "0000";
    sim::device_stack& control = host.add_device(root);
    ASSERT_EQ(host.start_device(control), STATUS_SUCCESS);
    EXPECT_EQ(sim::delay_count() - delays, 300u);
    size_t failed = 0;
    for (const auto& line : sim::debugger_lines()) {
        if (line.rfind("wait_for_usb_devs_wake_up: Failed to wait for usb device ", 0) == 0) failed++;
    }
    EXPECT_EQ(failed, 1u);
    EXPECT_EQ(host.children(control).size(), 1u);
    host.unplug(modem);
}

}  // namespace
