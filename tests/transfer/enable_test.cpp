// Opening and closing the data path: the count, the alternate-setting switch
// of ECM, and the pools and the notification reader across a switch.
#include <thread>

#include "transfer/bus_fixture.h"

namespace cdc::transfer_test {
namespace {

class data_path : public bus_fixture {
 protected:
    std::vector<uint8_t> settings_selected() const {
        std::vector<uint8_t> out;
        for (const auto& r : device_->control_traffic(sim::usb::match::set_interface)) {
            out.push_back(static_cast<uint8_t>(r.packet().wValue));
        }
        return out;
    }
};

struct counter {
    std::atomic<int> packets{0};
    static VOID callback(PVOID ctx, PVOID, ULONG) { static_cast<counter*>(ctx)->packets++; }
};

TEST_F(data_path, ecm_switches_settings_on_the_first_enable_and_the_last_disable) {
    WDFDEVICE child = plug(sim::usb::catalogue::ecm_adapter()).at(0);
    CDC_BUS_INTERFACE& b = bus(child);
    device_->clear_traffic();

    // Closed: the sizes still come from the setting an opening selects.
    ULONG out = 0, in = 0;
    EXPECT_EQ(b.qd_get_maxps(child, nullptr, &out, &in, nullptr), STATUS_SUCCESS);
    EXPECT_EQ(out, 64u);

    ASSERT_EQ(b.cdc_data_io_init(child, 2, 2), STATUS_SUCCESS);
    ASSERT_EQ(b.cdc_transport_enable(child), STATUS_SUCCESS);
    ASSERT_EQ(b.cdc_transport_enable(child), STATUS_SUCCESS);
    EXPECT_EQ(settings_selected(), (std::vector<uint8_t>{1}));

    // The pool made before the opening works on the new pipes.
    std::vector<uint8_t> frame(60, 0xee);
    EXPECT_TRUE(b.cdc_data_out_sync(child, frame.data(), 60, no_timeout));

    ASSERT_EQ(b.cdc_transport_disable(child), STATUS_SUCCESS);
    EXPECT_EQ(settings_selected(), (std::vector<uint8_t>{1}));
    ASSERT_EQ(b.cdc_transport_disable(child), STATUS_SUCCESS);
    EXPECT_EQ(settings_selected(), (std::vector<uint8_t>{1, 0}));
    // Closed: no pipe to restart.
    EXPECT_EQ(b.cdc_restart_io_target(child, TRUE), STATUS_INVALID_DEVICE_STATE);
    EXPECT_FALSE(b.cdc_data_out_sync(child, frame.data(), 60, no_timeout));
    EXPECT_EQ(b.cdc_data_io_uninit(child), STATUS_SUCCESS);
}

// A switch the device refuses fails the opening and gives the notification
// reader its record back: a registration afterwards starts it.
TEST_F(data_path, a_refused_switch_leaves_the_notification_reader_usable) {
    WDFDEVICE child = plug(sim::usb::catalogue::ecm_adapter()).at(0);
    CDC_BUS_INTERFACE& b = bus(child);
    ASSERT_EQ(b.cdc_data_io_init(child, 1, 1), STATUS_SUCCESS);
    device_->fail_next_control(sim::usb::match::set_interface);
    EXPECT_EQ(b.cdc_transport_enable(child), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(device_->alternate_setting(1), 0);

    counter c;
    ASSERT_TRUE(b.cdc_set_notify_cb(child, &c, counter::callback));
    EXPECT_EQ(device_->pending(0x81), 1u);
    EXPECT_TRUE(b.cdc_set_notify_cb(child, nullptr, nullptr));
    EXPECT_EQ(b.cdc_transport_disable(child), STATUS_SUCCESS);
    EXPECT_EQ(b.cdc_data_io_uninit(child), STATUS_SUCCESS);
}

// A child opening the path from its notification callback is refused: the
// switch would take away the record whose completion runs that callback.
// The reader goes on, and the opening asked afterwards switches.
TEST_F(data_path, an_opening_from_a_notification_callback_is_refused_and_the_reader_goes_on) {
    // The notification queued before the registration completes in its send,
    // at the registering child's PASSIVE_LEVEL.
    sim::set_completion_mode(sim::completion_mode::inline_send);
    WDFDEVICE child = plug(sim::usb::catalogue::ecm_adapter()).at(0);
    CDC_BUS_INTERFACE& b = bus(child);
    ASSERT_EQ(b.cdc_data_io_init(child, 1, 1), STATUS_SUCCESS);
    struct opener {
        CDC_BUS_INTERFACE* bus;
        WDFDEVICE child;
        std::atomic<int> packets{0};
        std::atomic<NTSTATUS> opened{STATUS_PENDING};
        static VOID callback(PVOID ctx, PVOID, ULONG) {
            auto* self = static_cast<opener*>(ctx);
            if (self->packets++ == 0) self->opened = self->bus->cdc_transport_enable(self->child);
        }
    } o{&b, child};
    constexpr uint8_t notify_in = 0x81;

    device_->push_in(notify_in, {0xa1, 0x00, 0x01, 0x00, 0x00, 0x00, 0x00, 0x00});
    ASSERT_TRUE(b.cdc_set_notify_cb(child, &o, opener::callback));
    sim::io_threads_stop();
    EXPECT_EQ(o.packets.load(), 1);
    EXPECT_EQ(o.opened.load(), STATUS_UNSUCCESSFUL);
    EXPECT_TRUE(traced("usb_cdc_notify_detach: called from a notification callback"));
    EXPECT_TRUE(settings_selected().empty());

    device_->push_in(notify_in, {0xa1, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00});
    sim::io_threads_stop();
    EXPECT_EQ(o.packets.load(), 2);
    ASSERT_TRUE(b.cdc_set_notify_cb(child, nullptr, nullptr));
    // The refused opening stays counted until its closing.
    EXPECT_EQ(b.cdc_transport_disable(child), STATUS_SUCCESS);
    ASSERT_EQ(b.cdc_transport_enable(child), STATUS_SUCCESS);
    EXPECT_EQ(device_->alternate_setting(1), 1);
    EXPECT_EQ(b.cdc_transport_disable(child), STATUS_SUCCESS);
    EXPECT_EQ(b.cdc_data_io_uninit(child), STATUS_SUCCESS);
}

// An opening that cannot hold the device in D0 fails before the switch, and
// lets go of no hold it never got.
TEST_F(data_path, an_opening_that_cannot_hold_the_device_in_d0_does_not_switch) {
    sim::usb::catalogue::device_options options;
    options.remote_wakeup = true;
    descriptor_set set = sim::usb::catalogue::ecm_adapter(options);
    set_value(set, "IdleTimeout", 5);
    WDFDEVICE child = plug(set).at(0);
    CDC_BUS_INTERFACE& b = bus(child);
    ASSERT_EQ(b.cdc_data_io_init(child, 1, 1), STATUS_SUCCESS);
    device_->clear_traffic();
    sim::fault_fail_nth("WdfDeviceStopIdle", 1);
    EXPECT_EQ(b.cdc_transport_enable(child), STATUS_UNSUCCESSFUL);
    sim::fault_reset();
    EXPECT_TRUE(settings_selected().empty());
    EXPECT_TRUE(traced("usb_cdc_enable_disable: WdfDeviceStopIdle Failed c000009a"));
    EXPECT_TRUE(host_->idle(stack_->device()));
}

TEST_F(data_path, closing_with_a_read_in_flight_is_refused) {
    WDFDEVICE child = plug(sim::usb::catalogue::ecm_adapter()).at(0);
    CDC_BUS_INTERFACE& b = bus(child);
    ASSERT_EQ(b.cdc_data_io_init(child, 1, 1), STATUS_SUCCESS);
    ASSERT_EQ(b.cdc_transport_enable(child), STATUS_SUCCESS);
    std::vector<uint8_t> buffer(64);
    completions done;
    ASSERT_TRUE(b.cdc_data_in_async(child, buffer.data(), 64, completions::callback, &done, no_timeout));

    EXPECT_EQ(b.cdc_transport_disable(child), STATUS_UNSUCCESSFUL);
    EXPECT_TRUE(traced("usb_cdc_enable_disable: in requests are pending"));

    EXPECT_EQ(b.cdc_inout_purge(child, TRUE), STATUS_SUCCESS);
    ASSERT_TRUE(done.wait_for(1));
    // The count went down with the failed closing; one more opening and closing balance it.
    ASSERT_EQ(b.cdc_transport_enable(child), STATUS_SUCCESS);
    EXPECT_EQ(b.cdc_transport_disable(child), STATUS_SUCCESS);
    EXPECT_EQ(b.cdc_data_io_uninit(child), STATUS_SUCCESS);
}

TEST_F(data_path, notification_reader_survives_a_setting_switch) {
    WDFDEVICE child = plug(sim::usb::catalogue::ecm_adapter()).at(0);
    CDC_BUS_INTERFACE& b = bus(child);
    counter seen;
    ASSERT_TRUE(b.cdc_set_notify_cb(child, &seen, counter::callback));

    ASSERT_EQ(b.cdc_transport_enable(child), STATUS_SUCCESS);
    device_->push_in(0x81, {0xA1, 0x00, 1, 0, 0, 0, 0, 0});
    host_->settle();
    sim::io_threads_stop();
    EXPECT_EQ(seen.packets.load(), 1);

    ASSERT_EQ(b.cdc_transport_disable(child), STATUS_SUCCESS);
    device_->push_in(0x81, {0xA1, 0x00, 0, 0, 0, 0, 0, 0});
    host_->settle();
    sim::io_threads_stop();
    EXPECT_EQ(seen.packets.load(), 2);
    EXPECT_TRUE(b.cdc_set_notify_cb(child, nullptr, nullptr));
}

TEST_F(data_path, always_enabled_devices_keep_their_pipes) {
    WDFDEVICE child = plug(sim::usb::catalogue::acm_modem()).at(0);
    CDC_BUS_INTERFACE& b = bus(child);
    ASSERT_EQ(b.cdc_transport_enable(child), STATUS_SUCCESS);
    ASSERT_EQ(b.cdc_transport_disable(child), STATUS_SUCCESS);
    EXPECT_TRUE(traced("usb_cdc_enable_disable: this device is always enabled"));
    EXPECT_TRUE(settings_selected().empty());
}

// Each opening makes a control record and a notification record and each
// closing frees them whole: the framework's objects stay flat.
TEST_F(data_path, opening_and_closing_leaves_no_objects_behind) {
    WDFDEVICE child = plug(sim::usb::catalogue::ecm_adapter()).at(0);
    CDC_BUS_INTERFACE& b = bus(child);
    ASSERT_EQ(b.cdc_transport_enable(child), STATUS_SUCCESS);
    ASSERT_EQ(b.cdc_transport_disable(child), STATUS_SUCCESS);
    const size_t after_first = wdf::live_objects().size();
    for (int i = 0; i < 200; i++) {
        ASSERT_EQ(b.cdc_transport_enable(child), STATUS_SUCCESS);
        ASSERT_EQ(b.cdc_transport_disable(child), STATUS_SUCCESS);
    }
    EXPECT_EQ(wdf::live_objects().size(), after_first);
}

// A device that lets a test act while the host switches one of its
// interfaces' settings, after the device took the new setting and before the
// host has its new pipes.
class switch_watching_device : public sim::usb::device {
 public:
    using sim::usb::device::device;
    std::function<void()> during_switch;  // once, at the next switch

    void on_interface(uint8_t interface_number, uint8_t alternate_setting) override {
        sim::usb::device::on_interface(interface_number, alternate_setting);
        std::function<void()> hook = std::move(during_switch);
        during_switch = nullptr;
        if (hook) hook();
    }
};

// A registration made by one child while the other's opening switches the
// setting counts like any other: the reader keeps running for it after the
// first child has gone.
TEST_F(data_path, a_registration_during_a_switch_keeps_its_reader) {
    descriptor_set set = sim::usb::catalogue::ecm_adapter();
    set_value(set, "ExtraControlEnabled", 1);
    auto device = std::make_shared<switch_watching_device>(set);
    auto children = plug(device);
    ASSERT_EQ(children.size(), 2u);
    CDC_BUS_INTERFACE& first = bus(children[0]);
    CDC_BUS_INTERFACE& second = bus(children[1]);
    counter first_heard, second_heard;
    constexpr uint8_t notify_in = 0x81;

    ASSERT_TRUE(first.cdc_set_notify_cb(children[0], &first_heard, counter::callback));
    device->during_switch = [&] {
        // Another child's thread, as a child driver would call.
        std::thread registration([&] { second.cdc_set_notify_cb(children[1], &second_heard, counter::callback); });
        registration.join();
    };
    ASSERT_EQ(first.cdc_transport_enable(children[0]), STATUS_SUCCESS);
    sim::io_threads_stop();
    ASSERT_TRUE(first.cdc_set_notify_cb(children[0], nullptr, nullptr));
    sim::io_threads_stop();

    ASSERT_EQ(device_->pending(notify_in), 1u);
    device_->push_in(notify_in, {0xa1, 0x00, 0x01, 0x00, 0x00, 0x00, 0x00, 0x00});
    sim::io_threads_stop();
    EXPECT_EQ(second_heard.packets.load(), 1);
    EXPECT_EQ(first_heard.packets.load(), 0);
    ASSERT_TRUE(second.cdc_set_notify_cb(children[1], nullptr, nullptr));
    EXPECT_EQ(first.cdc_transport_disable(children[0]), STATUS_SUCCESS);
}

// Two children opening and closing the data path of one function at the same
// time: each opening or closing runs whole before the next begins, so the
// settings selected alternate, the last closing leaves setting 0, and the
// reader one child keeps registered hears the device afterwards.
TEST_F(data_path, two_children_switching_at_once_switch_one_at_a_time) {
    descriptor_set set = sim::usb::catalogue::ecm_adapter();
    set_value(set, "ExtraControlEnabled", 1);
    auto children = plug(set);
    ASSERT_EQ(children.size(), 2u);
    CDC_BUS_INTERFACE& first = bus(children[0]);
    CDC_BUS_INTERFACE& second = bus(children[1]);
    counter heard;
    ASSERT_TRUE(first.cdc_set_notify_cb(children[0], &heard, counter::callback));
    device_->clear_traffic();

    constexpr int rounds = 3000;
    std::atomic<int> failures{0};
    std::atomic<int> ready{0};
    auto loop = [&](CDC_BUS_INTERFACE& b, WDFDEVICE child) {
        ready++;
        while (ready.load() < 2) std::this_thread::yield();
        for (int i = 0; i < rounds; i++) {
            if (b.cdc_transport_enable(child) != STATUS_SUCCESS) failures++;
            if (b.cdc_transport_disable(child) != STATUS_SUCCESS) failures++;
        }
    };
    std::thread one([&] { loop(first, children[0]); });
    std::thread two([&] { loop(second, children[1]); });
    one.join();
    two.join();
    EXPECT_EQ(failures.load(), 0);

    std::vector<uint8_t> settings = settings_selected();
    ASSERT_FALSE(settings.empty());
    EXPECT_EQ(settings.size() % 2, 0u);
    EXPECT_EQ(settings.back(), 0);
    for (size_t i = 0; i < settings.size(); i++) {
        ASSERT_EQ(settings[i], i % 2 == 0 ? 1 : 0) << "switch " << i;
    }
    // Closed: no data pipe.
    std::vector<uint8_t> frame(60, 0xee);
    ASSERT_EQ(first.cdc_data_io_init(children[0], 1, 1), STATUS_SUCCESS);
    EXPECT_FALSE(first.cdc_data_out_sync(children[0], frame.data(), 60, no_timeout));
    EXPECT_EQ(first.cdc_data_io_uninit(children[0]), STATUS_SUCCESS);

    sim::io_threads_stop();
    ASSERT_EQ(device_->pending(0x81), 1u);
    device_->push_in(0x81, {0xa1, 0x00, 0x01, 0x00, 0x00, 0x00, 0x00, 0x00});
    host_->settle();
    sim::io_threads_stop();
    EXPECT_EQ(heard.packets.load(), 1);
    EXPECT_TRUE(first.cdc_set_notify_cb(children[0], nullptr, nullptr));
}

}  // namespace
}  // namespace cdc::transfer_test
