// The bus interface in control-device mode: every call is routed to the USB
// function device that serves the child at that moment, pinned for the call;
// a child outlives its device while it is open and is served again when the
// same device comes back on the same port.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "cdc/bus/kernel/winnt/cdc_bus.h"
#include "devices/catalogue.h"
#include "sim/host.h"
#include "sim/kernel.h"
#include "sim/symbols.h"
#include "tests/control/control_fixture.h"
#include "usb/usb_device.h"
#include "wdf/wdf_object.h"

namespace {

namespace catalogue = sim::usb::catalogue;

constexpr uint8_t data_out = 0x02;
constexpr NTSTATUS absent = STATUS_CTRL_USB_DEVICE_ABSENT;

// What a child driver hands the bus driver with its control callbacks.
struct child_driver_state {
    std::atomic<bool> open{false};
    std::atomic<int> start_final{0};
    std::atomic<int> stop_final{0};

    static LONG on_start_final(PVOID ctx) {
        static_cast<child_driver_state*>(ctx)->start_final++;
        return 0;
    }
    static LONG on_stop_final(PVOID ctx) {
        static_cast<child_driver_state*>(ctx)->stop_final++;
        return 0;
    }
    static LONG is_open(PVOID ctx) { return static_cast<child_driver_state*>(ctx)->open ? 1 : 0; }
};

class control_route : public control_test::control_fixture {
 protected:
    static CDC_DEVICE_CONTEXT* pdx(WDFDEVICE child) {
        return static_cast<CDC_DEVICE_CONTEXT*>(wdf::context_by_name(child, "CDC_DEVICE_CONTEXT"));
    }
    static DEVICE_CONTEXT* fdx(WDFDEVICE device) {
        return static_cast<DEVICE_CONTEXT*>(wdf::context_by_name(device, "DEVICE_CONTEXT"));
    }
    static DRV_CTX* driver_state() { return static_cast<DRV_CTX*>(sim::image_symbol(CDC_DRIVER_IMAGE, "drv_ctx")); }

    ULONG register_callbacks(CDC_BUS_INTERFACE& b, WDFDEVICE child, child_driver_state& state) {
        return static_cast<ULONG>(b.cdc_data_io_ctrl_cbs_init(child, 1, child_driver_state::on_start_final,
                                                              child_driver_state::on_stop_final,
                                                              child_driver_state::is_open, nullptr, nullptr, &state));
    }

    // A child that stays (detached) after its device is surprise removed.
    WDFDEVICE pending_child(child_driver_state& state, CDC_BUS_INTERFACE** out) {
        plug();
        auto kids = children();
        EXPECT_EQ(kids.size(), 1u);
        WDFDEVICE child = kids.at(0).device;
        CDC_BUS_INTERFACE& b = bus(child);
        EXPECT_EQ(register_callbacks(b, child, state), 0u);
        state.open = true;
        host_->surprise_remove(devices_.back());
        EXPECT_EQ(children().size(), 1u);
        EXPECT_EQ(pdx(child)->usb_device, nullptr);
        *out = &b;
        return child;
    }

    // The child driver's state outlives the host: the callbacks run until
    // the children are gone at tear-down.
    child_driver_state& driver_state_for_test() { return states_.emplace_back(); }

    std::deque<child_driver_state> states_;
};

// ---- Fixed results without a serving device or a control device -------------------

TEST_F(control_route, a_detached_child_gets_fixed_results_and_reaches_no_usb_code) {
    child_driver_state& state = driver_state_for_test();
    CDC_BUS_INTERFACE* pb = nullptr;
    WDFDEVICE c = pending_child(state, &pb);
    CDC_BUS_INTERFACE& b = *pb;
    ASSERT_EQ(traced("ctrl_try_to_remove_children: child remains pending due to an open file handle"), 1u);
    sim::debugger_clear();
    const auto before = devices_.back()->traffic().size();

    UCHAR setup[8] = {0xA1, 0x21, 0, 0, 0, 0, 7, 0};
    UCHAR buffer[64] = {};
    ULONG bytes = 0x55;
    ULONG idle = 0x1234;
    ULONG count = 0x77;
    UCHAR length = sizeof(buffer);
    USHORT chars = 0;
    USHORT total = 0;
    UNICODE_STRING string = {0, 0, nullptr};
    USB_DEVICE_DESCRIPTOR device_desc;

    EXPECT_EQ(b.class_control_sync(c, TRUE, 0x21, 0, 7, buffer, &bytes, 0), absent);
    EXPECT_EQ(b.generic_control_sync(c, setup, buffer, 7, &bytes, 0), absent);
    EXPECT_EQ(b.class_control_async(c, TRUE, 0x21, 0, 7, buffer, nullptr, nullptr, &bytes, 0), absent);
    EXPECT_EQ(b.generic_control_async(c, setup, buffer, 7, nullptr, nullptr, &bytes, 0), absent);
    EXPECT_EQ(b.cdc_transport_enable(c), absent);
    EXPECT_EQ(b.cdc_transport_disable(c), absent);
    EXPECT_EQ(b.cdc_restart_io_target(c, TRUE), absent);
    EXPECT_EQ(b.cdc_inout_purge(c, FALSE), absent);
    EXPECT_EQ(b.cdc_get_functional_descriptor(c, 0, buffer, &length), absent);
    EXPECT_EQ(b.cdc_get_string(c, 1, &string, &chars), absent);
    EXPECT_EQ(b.qd_get_maxps(c, nullptr, nullptr, nullptr, nullptr), absent);
    EXPECT_EQ(b.cdc_data_io_init(c, 1, 1), absent);
    EXPECT_EQ(b.cdc_data_io_uninit(c), absent);
    EXPECT_EQ(b.qd_reset_device(c), absent);
    EXPECT_EQ(b.dfu_get_functional_descriptor(c, buffer), absent);
    EXPECT_EQ(b.qd_get_func_protocol(c, buffer), absent);
    EXPECT_EQ(b.qd_get_device_descriptor(c, &device_desc), absent);
    EXPECT_EQ(b.qd_get_configuration_descriptor_copyout(c, nullptr, &total), absent);
    EXPECT_EQ(b.qd_get_idle_timeout(c, &idle), absent);
    EXPECT_EQ(b.control_request_purge(c), absent);
    EXPECT_EQ(b.qd_children_msg_send(c, 1, &count), absent);
    EXPECT_EQ(b.qd_device_wakeup_sync(c, FALSE), absent);
    EXPECT_EQ(b.qd_clear_data(c), absent);
    EXPECT_EQ(b.qd_abort_reads(c), absent);
    EXPECT_FALSE(b.cdc_data_in_async(c, buffer, 64, nullptr, nullptr, 0));
    EXPECT_FALSE(b.cdc_data_out_async(c, buffer, 64, nullptr, nullptr, 0));
    EXPECT_FALSE(b.cdc_data_in_sync(c, buffer, 64, 0));
    EXPECT_FALSE(b.cdc_data_out_sync(c, buffer, 64, 0));
    EXPECT_FALSE(b.cdc_set_notify_cb(c, &state, nullptr));
    EXPECT_FALSE(b.qd_is_ext_ctrl_enabled(c));
    EXPECT_FALSE(b.qd_is_zlp_enabled(c));
    EXPECT_FALSE(b.qd_is_idle(c));
    EXPECT_EQ(b.qd_ui_number_get(c), 0xFFFFFFFFu);
    EXPECT_EQ(b.reserved1(c), STATUS_SUCCESS);

    // Nothing stored, nothing sent: the routing stopped every call itself.
    EXPECT_EQ(idle, 0x1234u);
    EXPECT_EQ(count, 0x77u);
    EXPECT_EQ(bytes, 0x55u);
    EXPECT_EQ(traced("ctrl_lock_unlock_usb_device: the USB device is disconnected"), 33u);
    EXPECT_EQ(traced_prefix("usb_"), 0u);
    EXPECT_EQ(devices_.back()->traffic().size(), before);
}

TEST_F(control_route, without_a_control_device_calls_fail_as_not_connected) {
    plug();
    WDFDEVICE c = children().at(0).device;
    CDC_BUS_INTERFACE& b = bus(c);
    const auto before = devices_.back()->traffic().size();
    sim::debugger_clear();

    // As the control device's release of its hardware leaves it.
    DRV_CTX* drv = driver_state();
    ASSERT_NE(drv, nullptr);
    WDFDEVICE control = drv->control_device;
    drv->control_device = nullptr;
    ULONG idle = 0x1234;
    int msg_ctx = 0;
    auto msg_cb = [](PVOID, ULONG_PTR) -> LONG { return 0; };
    EXPECT_EQ(b.cdc_transport_enable(c), STATUS_DEVICE_NOT_CONNECTED);
    EXPECT_EQ(b.qd_get_idle_timeout(c, &idle), STATUS_DEVICE_NOT_CONNECTED);
    EXPECT_EQ(b.cdc_data_io_init(c, 1, 1), STATUS_DEVICE_NOT_CONNECTED);
    EXPECT_EQ(b.qd_notify_child_not_in_use(c), STATUS_DEVICE_NOT_CONNECTED);
    EXPECT_FALSE(b.cdc_data_out_sync(c, &idle, 4, 0));
    EXPECT_EQ(b.qd_ui_number_get(c), 0xFFFFFFFFu);
    b.qd_children_msg_set(c, msg_cb, &msg_ctx);
    drv->control_device = control;

    EXPECT_EQ(idle, 0x1234u);
    EXPECT_EQ(pdx(c)->children_msg_cb, nullptr);
    EXPECT_EQ(traced("ctrl_cdc_transport_enable: control device is missing"), 1u);
    EXPECT_EQ(traced("__ctrl_cdc_data_io_init: control device is missing"), 1u);
    EXPECT_EQ(traced("ctrl_cdc_data_io_init: entered"), 1u);
    EXPECT_EQ(traced("ctrl_cdc_data_io_init: done"), 0u);
    EXPECT_EQ(traced("ctrl_qd_children_msg_set: control device is missing"), 1u);
    EXPECT_EQ(devices_.back()->traffic().size(), before);

    // With it back, the same calls reach the device.
    EXPECT_NE(b.qd_ui_number_get(c), 0xFFFFFFFFu);
    b.qd_children_msg_set(c, msg_cb, &msg_ctx);
    EXPECT_EQ(pdx(c)->children_msg_ctx, &msg_ctx);
}

// ---- Control callbacks and the not-in-use report -------------------------------------

TEST_F(control_route, control_callbacks_need_both_final_callbacks_and_a_context) {
    plug();
    WDFDEVICE c = children().at(0).device;
    CDC_BUS_INTERFACE& b = bus(c);
    child_driver_state& state = driver_state_for_test();
    ASSERT_EQ(register_callbacks(b, c, state), 0u);

    EXPECT_EQ(b.cdc_data_io_ctrl_cbs_init(c, 0, child_driver_state::on_start_final, nullptr, nullptr, nullptr, nullptr,
                                          &state),
              STATUS_UNSUCCESSFUL);
    EXPECT_EQ(b.cdc_data_io_ctrl_cbs_init(c, 0, nullptr, child_driver_state::on_stop_final, nullptr, nullptr, nullptr,
                                          &state),
              STATUS_UNSUCCESSFUL);
    EXPECT_EQ(b.cdc_data_io_ctrl_cbs_init(c, 0, child_driver_state::on_start_final, child_driver_state::on_stop_final,
                                          nullptr, nullptr, nullptr, nullptr),
              STATUS_UNSUCCESSFUL);
    EXPECT_EQ(traced("ctrl_cdc_data_io_ctrl_cbs_init: NULL control callbacks or context"), 3u);
    // The refused calls left the first registration whole.
    EXPECT_EQ(pdx(c)->ctrl_is_open_cb, child_driver_state::is_open);
    EXPECT_EQ(pdx(c)->ctrl_cbs_ctx, &state);
    EXPECT_EQ(pdx(c)->ctrl_check_open, 1u);

    b.cdc_data_io_ctrl_cbs_uninit(c);
    EXPECT_EQ(pdx(c)->ctrl_start_final_cb, nullptr);
    EXPECT_EQ(pdx(c)->ctrl_stop_final_cb, nullptr);
    EXPECT_EQ(pdx(c)->ctrl_is_open_cb, nullptr);
    EXPECT_EQ(pdx(c)->ctrl_cbs_ctx, nullptr);
    EXPECT_EQ(pdx(c)->ctrl_check_open, 0u);
}

TEST_F(control_route, not_in_use_removes_a_pending_child_only_once_it_is_closed) {
    child_driver_state& state = driver_state_for_test();
    CDC_BUS_INTERFACE* pb = nullptr;
    WDFDEVICE c = pending_child(state, &pb);
    CDC_BUS_INTERFACE& b = *pb;

    // Still open: it stays.
    EXPECT_EQ(b.qd_notify_child_not_in_use(c), STATUS_SUCCESS);
    EXPECT_EQ(traced("ctrl_qd_notify_child_not_in_use: try to remove not-in-use childen"), 1u);
    host_->settle();
    EXPECT_EQ(children().size(), 1u);

    state.open = false;
    EXPECT_EQ(b.qd_notify_child_not_in_use(c), STATUS_SUCCESS);
    host_->settle();
    EXPECT_TRUE(children().empty());
}

TEST_F(control_route, not_in_use_leaves_a_served_or_unchecked_child_alone) {
    plug();
    WDFDEVICE c = children().at(0).device;
    CDC_BUS_INTERFACE& b = bus(c);
    child_driver_state& state = driver_state_for_test();

    // check_open 0: nothing to decide, whatever the device.
    EXPECT_EQ(b.qd_notify_child_not_in_use(c), STATUS_SUCCESS);
    ASSERT_EQ(register_callbacks(b, c, state), 0u);
    EXPECT_EQ(b.qd_notify_child_not_in_use(c), STATUS_SUCCESS);
    EXPECT_EQ(traced("ctrl_qd_notify_child_not_in_use: usb device is present"), 1u);
    EXPECT_EQ(traced("ctrl_qd_notify_child_not_in_use: try to remove not-in-use childen"), 0u);
    host_->settle();
    EXPECT_EQ(children().size(), 1u);
    EXPECT_NE(pdx(c)->usb_device, nullptr);
}

// ---- Pinning ---------------------------------------------------------------------------

TEST_F(control_route, routed_calls_leave_the_reference_counts_as_they_found_them) {
    auto* stack = plug();
    WDFDEVICE c = children().at(0).device;
    CDC_BUS_INTERFACE& b = bus(c);
    WDFDEVICE device = stack->device();
    WDFUSBDEVICE target = fdx(device)->usb_device;
    const long device_refs = wdf::reference_count(device);
    const long target_refs = wdf::reference_count(target);
    ASSERT_GT(device_refs, 0);
    ASSERT_GT(target_refs, 0);

    ULONG out_maxps = 0;
    EXPECT_EQ(b.cdc_data_io_init(c, 2, 2), STATUS_SUCCESS);
    EXPECT_EQ(b.cdc_transport_enable(c), STATUS_SUCCESS);
    EXPECT_EQ(b.qd_get_maxps(c, nullptr, &out_maxps, nullptr, nullptr), STATUS_SUCCESS);
    EXPECT_EQ(out_maxps, 64u);
    UCHAR text[] = {'A', 'T', '\r'};
    EXPECT_TRUE(b.cdc_data_out_sync(c, text, sizeof(text), 0));
    EXPECT_EQ(devices_.back()->take_out(data_out), std::vector<uint8_t>({'A', 'T', '\r'}));
    // A failing call unpins too.
    EXPECT_EQ(b.qd_get_func_protocol(c, nullptr), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(b.cdc_transport_disable(c), STATUS_SUCCESS);
    EXPECT_EQ(b.cdc_data_io_uninit(c), STATUS_SUCCESS);
    EXPECT_EQ(traced("ctrl_cdc_data_io_uninit: done"), 1u);

    // Pool records come and go with init and uninit; the pins leave nothing.
    EXPECT_EQ(wdf::reference_count(device), device_refs);
    EXPECT_EQ(wdf::reference_count(target), target_refs);
}

TEST_F(control_route, a_call_blocked_at_the_device_survives_its_surprise_removal) {
    auto* stack = plug();
    WDFDEVICE c = children().at(0).device;
    CDC_BUS_INTERFACE& b = bus(c);
    WDFDEVICE device = stack->device();
    WDFUSBDEVICE target = fdx(device)->usb_device;
    const long device_refs = wdf::reference_count(device);
    const long target_refs = wdf::reference_count(target);
    ASSERT_EQ(b.cdc_data_io_init(c, 2, 2), STATUS_SUCCESS);
    ASSERT_EQ(b.cdc_transport_enable(c), STATUS_SUCCESS);
    auto dev = devices_.back();
    dev->inject(data_out, sim::usb::fault::make_hang());

    std::atomic<int> result{-1};
    UCHAR text[] = {'A', 'T', '\r'};
    std::thread writer([&] { result = b.cdc_data_out_sync(c, text, sizeof(text), 0) ? 1 : 0; });
    // Bounded wait for the write to reach the device (no sleeping: the
    // writer thread only has to be scheduled).
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (dev->pending(data_out) == 0 && std::chrono::steady_clock::now() < deadline) std::this_thread::yield();
    ASSERT_GE(dev->pending(data_out), 1u);
    // Pinned while it waits: a hold on the device's rundown beside the
    // registration's, and no framework reference of the call's own.
    EXPECT_EQ(ReadAcquire(&fdx(device)->route_refs), 2);
    EXPECT_EQ(wdf::reference_count(device), device_refs);
    EXPECT_EQ(wdf::reference_count(target), target_refs);

    host_->surprise_remove(dev);
    writer.join();
    EXPECT_EQ(result, 0);
    host_->settle();
    // Closed child: removed with its device, whose removal waited for the
    // pin: the objects are gone, none leaked (the unload checks that).
    EXPECT_TRUE(children().empty());
    EXPECT_EQ(wdf::reference_count(device), -1);
    EXPECT_EQ(wdf::reference_count(target), -1);
}

// ---- Unplug and replug ---------------------------------------------------------------------

TEST_F(control_route, an_open_child_is_served_again_by_the_same_device_on_the_same_port) {
    plug();
    auto kids = children();
    ASSERT_EQ(kids.size(), 1u);
    WDFDEVICE c = kids[0].device;
    CDC_BUS_INTERFACE& b = bus(c);
    child_driver_state& state = driver_state_for_test();
    ASSERT_EQ(register_callbacks(b, c, state), 0u);
    const ULONG ui_number = b.qd_ui_number_get(c);
    ASSERT_EQ(b.cdc_data_io_init(c, 2, 2), STATUS_SUCCESS);
    ASSERT_EQ(b.cdc_transport_enable(c), STATUS_SUCCESS);
    state.open = true;

    host_->surprise_remove(devices_.back());
    EXPECT_GE(state.stop_final, 1);
    ASSERT_EQ(children().size(), 1u);
    EXPECT_EQ(b.qd_ui_number_get(c), 0xFFFFFFFFu);

    auto* stack = plug();
    kids = children();
    ASSERT_EQ(kids.size(), 1u);
    EXPECT_EQ(kids[0].device, c);
    EXPECT_EQ(pdx(c)->usb_device, stack->device());
    EXPECT_EQ(b.qd_ui_number_get(c), ui_number);
    EXPECT_GE(state.start_final, 1);

    // The pools and the opening died with the old device: undoing them here
    // must not touch the new one's count.
    sim::debugger_clear();
    EXPECT_EQ(b.cdc_transport_disable(c), STATUS_SUCCESS);
    EXPECT_EQ(b.cdc_data_io_uninit(c), STATUS_SUCCESS);
    EXPECT_EQ(traced("usb_transport_disable: the data path was not opened by this child"), 1u);
    EXPECT_EQ(traced("usb_cdc_data_io_uninit: no request pools of this child"), 1u);
    EXPECT_EQ(fdx(stack->device())->data_io_count, 0);
    EXPECT_EQ(fdx(stack->device())->enable_count, 0);

    // Set up again, the child moves data on the new device.
    UCHAR text[] = {'A', 'T', '\r'};
    EXPECT_FALSE(b.cdc_data_out_sync(c, text, sizeof(text), 0));
    ASSERT_EQ(b.cdc_data_io_init(c, 2, 2), STATUS_SUCCESS);
    ASSERT_EQ(b.cdc_transport_enable(c), STATUS_SUCCESS);
    EXPECT_TRUE(b.cdc_data_out_sync(c, text, sizeof(text), 0));
    EXPECT_EQ(devices_.back()->take_out(data_out), std::vector<uint8_t>({'A', 'T', '\r'}));
    EXPECT_EQ(b.cdc_transport_disable(c), STATUS_SUCCESS);
    EXPECT_EQ(b.cdc_data_io_uninit(c), STATUS_SUCCESS);
    EXPECT_EQ(fdx(stack->device())->data_io_count, 0);
}

// What a child's reads completed with, in order.
struct read_results {
    std::mutex lock;
    std::vector<NTSTATUS> statuses;  // guarded by lock

    static VOID callback(PVOID ctx, NTSTATUS status, ULONG) {
        auto* self = static_cast<read_results*>(ctx);
        std::lock_guard<std::mutex> guard(self->lock);
        self->statuses.push_back(status);
    }
    std::vector<NTSTATUS> all() {
        std::lock_guard<std::mutex> guard(lock);
        return statuses;
    }
};

// A resource rebalance stops the function device and starts the same one
// again: the open child stays and is served by it again, and what it had set
// up went with the stopped start, as across an unplug and replug, though the
// device (and its handle) is the one it had.
TEST_F(control_route, an_open_child_outlives_a_rebalance_of_its_device_and_sets_up_again) {
    sim::device_stack* stack = plug();
    const WDFDEVICE device = stack->device();
    WDFDEVICE c = children().at(0).device;
    CDC_BUS_INTERFACE& b = bus(c);
    child_driver_state& state = driver_state_for_test();
    ASSERT_EQ(register_callbacks(b, c, state), 0u);
    const ULONG ui_number = b.qd_ui_number_get(c);
    ASSERT_EQ(b.cdc_data_io_init(c, 2, 2), STATUS_SUCCESS);
    ASSERT_EQ(b.cdc_transport_enable(c), STATUS_SUCCESS);
    read_results reads;
    UCHAR buffer[64] = {};
    ASSERT_TRUE(b.cdc_data_in_async(c, buffer, sizeof(buffer), read_results::callback, &reads, 0));
    state.open = true;

    size_t reads_waiting = 1;
    ASSERT_EQ(host_->rebalance(*stack, [&] { reads_waiting = devices_.back()->pending(0x82); }), STATUS_SUCCESS);
    EXPECT_EQ(reads_waiting, 0u) << "the stop cancels the read it had sent";
    ASSERT_EQ(stack->device(), device);
    ASSERT_EQ(children().size(), 1u);
    EXPECT_EQ(children()[0].device, c);
    EXPECT_EQ(b.qd_ui_number_get(c), ui_number);
    EXPECT_EQ(state.stop_final, 1);
    EXPECT_EQ(state.start_final, 1);
    EXPECT_EQ(reads.all(), std::vector<NTSTATUS>{STATUS_CANCELLED});
    EXPECT_EQ(devices_.back()->pending(0x82), 0u);

    sim::debugger_clear();
    EXPECT_EQ(b.cdc_transport_disable(c), STATUS_SUCCESS);
    EXPECT_EQ(b.cdc_data_io_uninit(c), STATUS_SUCCESS);
    EXPECT_EQ(traced("usb_transport_disable: the data path was not opened by this child"), 1u);
    EXPECT_EQ(traced("usb_cdc_data_io_uninit: no request pools of this child"), 1u);

    UCHAR text[] = {'A', 'T', '\r'};
    ASSERT_EQ(b.cdc_data_io_init(c, 2, 2), STATUS_SUCCESS);
    ASSERT_EQ(b.cdc_transport_enable(c), STATUS_SUCCESS);
    EXPECT_TRUE(b.cdc_data_out_sync(c, text, sizeof(text), 0));
    EXPECT_EQ(devices_.back()->take_out(data_out), std::vector<uint8_t>({'A', 'T', '\r'}));
    EXPECT_EQ(b.cdc_transport_disable(c), STATUS_SUCCESS);
    EXPECT_EQ(b.cdc_data_io_uninit(c), STATUS_SUCCESS);
    sim::debugger_clear();
    EXPECT_EQ(b.cdc_data_io_uninit(c), STATUS_SUCCESS);
    EXPECT_EQ(traced("usb_cdc_data_io_uninit: no request pools of this child"), 1u) << "its one set-up was undone";
}

TEST_F(control_route, a_closed_child_goes_at_unplug_and_a_new_one_comes_at_replug) {
    plug();
    WDFDEVICE c = children().at(0).device;
    CDC_BUS_INTERFACE& b = bus(c);
    child_driver_state& state = driver_state_for_test();
    ASSERT_EQ(register_callbacks(b, c, state), 0u);
    const ULONG ui_number = b.qd_ui_number_get(c);

    host_->unplug(devices_.back());
    EXPECT_TRUE(children().empty());

    plug();
    auto kids = children();
    ASSERT_EQ(kids.size(), 1u);
    EXPECT_NE(kids[0].device, c);
    CDC_BUS_INTERFACE& fresh = bus(kids[0].device);
    EXPECT_NE(fresh.qd_ui_number_get(kids[0].device), ui_number);
}

TEST_F(control_route, the_same_device_on_another_port_gets_new_children) {
    plug();
    WDFDEVICE c = children().at(0).device;
    CDC_BUS_INTERFACE& b = bus(c);
    child_driver_state& state = driver_state_for_test();
    ASSERT_EQ(register_callbacks(b, c, state), 0u);
    state.open = true;
    host_->surprise_remove(devices_.back());

    auto* stack = plug("6&1a2b3c4d&0&2");
    auto kids = children();
    ASSERT_EQ(kids.size(), 2u);
    // The pending child stays unserved; the new one is served by the device.
    EXPECT_EQ(pdx(c)->usb_device, nullptr);
    WDFDEVICE other = kids[0].device == c ? kids[1].device : kids[0].device;
    EXPECT_EQ(pdx(other)->usb_device, stack->device());
    EXPECT_EQ(b.cdc_transport_enable(c), absent);
    CDC_BUS_INTERFACE& fresh = bus(other);
    EXPECT_EQ(fresh.cdc_transport_enable(other), STATUS_SUCCESS);
    EXPECT_EQ(fresh.cdc_transport_disable(other), STATUS_SUCCESS);
}

}  // namespace
