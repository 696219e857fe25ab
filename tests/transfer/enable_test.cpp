// Opening and closing the data path: the count, the alternate-setting switch
// of ECM, and the pools and the notification reader across a switch.
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
    EXPECT_FALSE(b.cdc_data_out_sync(child, frame.data(), 60, no_timeout));
    EXPECT_EQ(b.cdc_data_io_uninit(child), STATUS_SUCCESS);
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

}  // namespace
}  // namespace cdc::transfer_test
