// The unregistration of a USB function device against routed calls still
// running on it: it waits for the last of them without polling, and it
// detaches only the children it serves itself.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>

#include "cdc/bus/kernel/winnt/cdc_bus.h"
#include "sim/kernel.h"
#include "sim/symbols.h"
#include "tests/control/control_fixture.h"
#include "wdf/wdf_object.h"

namespace {

// Waits, in real time and without sleeping, for something another thread does.
template <typename Pred>
bool eventually(Pred pred) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (!pred()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::yield();
    }
    return true;
}

// A children-message callback that holds the routed call delivering it
// until the test lets go.
struct gate {
    std::mutex lock;
    std::condition_variable changed;
    bool entered = false;  // guarded by lock
    bool open = false;     // guarded by lock

    static LONG on_message(PVOID ctx, ULONG_PTR) {
        auto* self = static_cast<gate*>(ctx);
        std::unique_lock<std::mutex> guard(self->lock);
        self->entered = true;
        self->changed.notify_all();
        self->changed.wait(guard, [&] { return self->open; });
        return 0;
    }
    bool has_entered() {
        std::lock_guard<std::mutex> guard(lock);
        return entered;
    }
    void let_go() {
        std::lock_guard<std::mutex> guard(lock);
        open = true;
        changed.notify_all();
    }
};

class control_rundown : public control_test::control_fixture {};

TEST_F(control_rundown, an_unplug_waits_for_a_routed_call_in_progress_on_an_event_not_a_poll) {
    plug();
    WDFDEVICE c = children().at(0).device;
    CDC_BUS_INTERFACE& b = bus(c);
    gate g;
    b.qd_children_msg_set(c, gate::on_message, &g);

    std::atomic<NTSTATUS> sent{STATUS_PENDING};
    ULONG delivered = 0;
    std::thread caller([&] { sent = b.qd_children_msg_send(c, 7, &delivered); });
    ASSERT_TRUE(eventually([&] { return g.has_entered(); }));

    std::atomic<bool> unplugged{false};
    std::thread remover([&] {
        host_->unplug(devices_.back());
        unplugged = true;
    });
    ASSERT_TRUE(eventually([&] { return traced("ctrl_usb_device_drain: 1 calls running") == 1; }));
    // The unregistration now waits for the call: it does not spin on delays.
    const uint64_t delays = sim::delay_count();
    const int64_t clock = sim::clock_now();
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(200);
    while (std::chrono::steady_clock::now() < until) std::this_thread::yield();
    EXPECT_EQ(sim::delay_count(), delays);
    EXPECT_EQ(sim::clock_now(), clock);
    EXPECT_FALSE(unplugged.load());

    g.let_go();
    caller.join();
    remover.join();
    EXPECT_EQ(sent.load(), STATUS_SUCCESS);
    EXPECT_EQ(delivered, 1u);
    EXPECT_EQ(traced_prefix("ctrl_usb_device_drain: "), 1u);
    // Closed child: removed once its call was over.
    EXPECT_TRUE(children().empty());
}

// A registration the registry cannot take fails the start with its status
// and leaves the registry usable: the next plug registers and reports its child.
TEST_F(control_rundown, a_registration_that_cannot_be_listed_fails_the_start_and_the_next_one_registers) {
    sim::fault_fail_nth("WdfCollectionAdd", 1);
    auto* stack = plug();
    sim::fault_reset();
    ASSERT_NE(stack, nullptr);
    EXPECT_EQ(stack->start_status(), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(traced("ctrl_add_usb_device: Failed adding to collection"), 1u);
    EXPECT_TRUE(children().empty());
    host_->unplug(devices_.back());

    stack = plug();
    ASSERT_NE(stack, nullptr);
    EXPECT_EQ(stack->start_status(), STATUS_SUCCESS);
    EXPECT_EQ(children().size(), 1u);
}

// A routed synchronous control transfer the device holds keeps its call
// pinned: the unplug cancels the transfer (the device's power-down or its
// unregistration, whichever comes first), the call returns its failure and
// the unplug completes.
TEST_F(control_rundown, an_unplug_cancels_a_routed_control_transfer_the_device_holds) {
    plug();
    WDFDEVICE c = children().at(0).device;
    CDC_BUS_INTERFACE& b = bus(c);
    ASSERT_EQ(b.cdc_transport_enable(c), STATUS_SUCCESS);
    devices_.back()->hold_next_control(sim::usb::match::class_or_vendor);
    std::atomic<NTSTATUS> result{STATUS_PENDING};
    std::thread caller([&] {
        UCHAR coding[7] = {};
        ULONG bytes = 0;
        result = b.class_control_sync(c, TRUE, 0x21, 0, sizeof(coding), coding, &bytes, 0);
    });
    ASSERT_TRUE(eventually([&] { return devices_.back()->pending(0) == 1; }));
    host_->unplug(devices_.back());
    caller.join();
    EXPECT_FALSE(NT_SUCCESS(result.load()));
    EXPECT_NE(result.load(), STATUS_PENDING);
}

TEST_F(control_rundown, a_departing_device_leaves_alone_the_children_another_device_serves_by_now) {
    auto* stack = plug();
    WDFDEVICE c = children().at(0).device;
    auto* pdx = static_cast<CDC_DEVICE_CONTEXT*>(wdf::context_by_name(c, "CDC_DEVICE_CONTEXT"));
    ASSERT_EQ(pdx->usb_device, stack->device());
    CDC_IDS ids = pdx->ids;

    // As an old device of the same identity would, unregistering after the
    // child was re-attached to this one.
    using remove_fn = NTSTATUS (*)(PCDC_IDS, WDFDEVICE);
    auto remove = reinterpret_cast<remove_fn>(
        sim::image_symbol(CDC_DRIVER_IMAGE, "_Z27ctrl_try_to_remove_childrenP8_CDC_IDSP11WDFDEVICE__"));
    ASSERT_NE(remove, nullptr);
    WDFDEVICE departed = control_->device();
    EXPECT_EQ(remove(&ids, departed), STATUS_SUCCESS);
    EXPECT_EQ(pdx->usb_device, stack->device());
    ASSERT_EQ(children().size(), 1u);
    EXPECT_EQ(traced("ctrl_try_to_remove_children: served by another device"), 1u);

    // A not-in-use report of a child nobody serves removes nothing served.
    EXPECT_EQ(remove(&ids, nullptr), STATUS_SUCCESS);
    EXPECT_EQ(pdx->usb_device, stack->device());
    host_->settle();
    EXPECT_EQ(children().size(), 1u);

    CDC_BUS_INTERFACE& b = bus(c);
    EXPECT_EQ(b.cdc_transport_enable(c), STATUS_SUCCESS);
    EXPECT_EQ(b.cdc_transport_disable(c), STATUS_SUCCESS);
}

// A synchronous read with no time-out, routed to a device that sends nothing,
// that passed its pin before the unplug but goes out only after the
// unregistration cancelled what was in flight: it is cancelled all the same,
// the read fails and the unplug completes.
TEST_F(control_rundown, a_synchronous_read_sent_after_the_removal_cancelled_the_io_still_ends) {
    plug();
    WDFDEVICE c = children().at(0).device;
    CDC_BUS_INTERFACE& b = bus(c);
    ASSERT_EQ(b.cdc_data_io_init(c, 1, 1), STATUS_SUCCESS);
    ASSERT_EQ(b.cdc_transport_enable(c), STATUS_SUCCESS);

    std::atomic<bool> unplugged{false};
    std::thread remover;
    // Formatting the read: after the pin, before the send.
    sim::fault_on_call("WdfUsbTargetPipeFormatRequestForRead", [&] {
        remover = std::thread([&] {
            host_->unplug(devices_.back());
            unplugged = true;
        });
        // The drain has cancelled what was sent and waits for this call.
        EXPECT_TRUE(eventually([&] { return traced("ctrl_usb_device_drain: 1 calls running") == 1; }));
    });
    std::vector<uint8_t> buffer(64);
    std::atomic<int> read{-1};
    std::thread reader([&] { read = b.cdc_data_in_sync(c, buffer.data(), 64, 0) ? 1 : 0; });
    const bool ended = eventually([&] { return read.load() != -1; });
    if (!ended) {
        // Let the stuck read go so the test can end.
        devices_.back()->push_in(0x82, {1});
    }
    reader.join();
    if (remover.joinable()) remover.join();
    EXPECT_TRUE(ended);
    EXPECT_EQ(read.load(), 0);
    EXPECT_TRUE(unplugged.load());
    EXPECT_TRUE(children().empty());
}

// The same with an asynchronous read: it goes out after the unregistration
// cancelled what was in flight, and the device's release of its hardware
// takes it back, cancelled, while the device is still there.
TEST_F(control_rundown, an_asynchronous_read_sent_after_the_removal_cancelled_the_io_is_cancelled_by_the_release) {
    plug();
    WDFDEVICE c = children().at(0).device;
    CDC_BUS_INTERFACE& b = bus(c);
    ASSERT_EQ(b.cdc_data_io_init(c, 1, 1), STATUS_SUCCESS);
    ASSERT_EQ(b.cdc_transport_enable(c), STATUS_SUCCESS);
    struct reads {
        std::atomic<int> count{0};
        std::atomic<NTSTATUS> status{STATUS_PENDING};
        static VOID callback(PVOID ctx, NTSTATUS status, ULONG) {
            auto* self = static_cast<reads*>(ctx);
            self->status = status;
            self->count++;
        }
    } done;

    std::thread remover;
    sim::fault_on_call("WdfUsbTargetPipeFormatRequestForRead", [&] {
        remover = std::thread([&] { host_->unplug(devices_.back()); });
        EXPECT_TRUE(eventually([&] { return traced("ctrl_usb_device_drain: 1 calls running") == 1; }));
    });
    std::vector<uint8_t> buffer(64);
    EXPECT_TRUE(b.cdc_data_in_async(c, buffer.data(), 64, reads::callback, &done, 0));
    remover.join();
    EXPECT_EQ(done.count.load(), 1);
    EXPECT_EQ(done.status.load(), STATUS_CANCELLED);
    EXPECT_TRUE(children().empty());
}
}  // namespace
