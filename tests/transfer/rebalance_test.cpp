// A resource rebalance of the host controller's tree stops a function device
// and starts it again: what its child had in flight comes back cancelled, the
// notification reader stops, and the children the restart reports find a
// working device.
#include "transfer/bus_fixture.h"

namespace cdc::transfer_test {
namespace {

constexpr uint8_t notify_in = 0x81;
constexpr uint8_t data_in = 0x82;

class device_rebalance : public bus_fixture {
 protected:
    // An ACM modem whose child opened the data path, left a read waiting for
    // data and listens to the notifications.
    void use_modem() {
        auto children = plug(sim::usb::catalogue::acm_modem());
        ASSERT_EQ(children.size(), 1u);
        child_ = children[0];
        path_ = host_->children(*stack_).at(0).instance_path;
        CDC_BUS_INTERFACE& b = bus(child_);
        ASSERT_EQ(b.cdc_data_io_init(child_, 2, 2), STATUS_SUCCESS);
        ASSERT_EQ(b.cdc_transport_enable(child_), STATUS_SUCCESS);
        ASSERT_TRUE(b.cdc_data_in_async(child_, read_, sizeof(read_), completions::callback, &done_, no_timeout));
        ASSERT_TRUE(b.cdc_set_notify_cb(child_, &heard_, notified::callback));
        ASSERT_EQ(device_->pending(data_in), 1u);
        ASSERT_EQ(device_->pending(notify_in), 1u);
        // Its driver lets go of the interface when its device goes, which the
        // rebalance's re-enumeration brings.
        b.header.InterfaceDereference(b.header.Context);
        b.header.InterfaceDereference = nullptr;
    }

    WDFDEVICE child_ = nullptr;
    std::string path_;
    completions done_;
    notified heard_;
    uint8_t read_[64] = {};
};

TEST_F(device_rebalance, the_stop_cancels_the_waiting_read_and_stops_the_reader_then_the_new_child_is_served) {
    use_modem();

    // While the host controller's resources are reassigned, nothing of the
    // stopped start is left at the device.
    size_t reads_waiting = 1;
    size_t notify_reads_waiting = 1;
    ASSERT_EQ(host_->rebalance(*stack_,
                               [&] {
                                   reads_waiting = device_->pending(data_in);
                                   notify_reads_waiting = device_->pending(notify_in);
                               }),
              STATUS_SUCCESS);
    EXPECT_EQ(reads_waiting, 0u) << "the stop cancels the read it had sent";
    EXPECT_EQ(notify_reads_waiting, 0u) << "the stop ends the notification reader";

    // The child heard of its read once, cancelled.
    ASSERT_EQ(done_.all().size(), 1u);
    EXPECT_EQ(done_.all()[0].status, STATUS_CANCELLED);
    EXPECT_EQ(device_->pending(data_in), 0u);
    EXPECT_EQ(device_->pending(notify_in), 0u);
    EXPECT_EQ(heard_.count(), 0u);

    // The stop reported the child missing and the restart reported it again:
    // the PnP manager replaced its PDO.
    auto children = host_->children(*stack_);
    ASSERT_EQ(children.size(), 1u);
    EXPECT_EQ(children[0].instance_path, path_);
    EXPECT_EQ(children[0].start_status, STATUS_SUCCESS);

    // The new child gets the reader armed again on the restarted pipes, and
    // its data path works.
    WDFDEVICE child = children[0].device;
    CDC_BUS_INTERFACE& b = bus(child);
    notified again;
    ASSERT_TRUE(b.cdc_set_notify_cb(child, &again, notified::callback));
    EXPECT_EQ(device_->pending(notify_in), 1u);
    const std::vector<uint8_t> serial_state = {0xA1, 0x20, 0, 0, 0, 0, 2, 0, 0x03, 0x00};
    device_->push_in(notify_in, serial_state);
    ASSERT_TRUE(again.wait_for(1));
    EXPECT_EQ(again.packets[0], serial_state);
    EXPECT_EQ(heard_.count(), 0u) << "the old child's registration died with it";

    completions read;
    ASSERT_EQ(b.cdc_data_io_init(child, 2, 2), STATUS_SUCCESS);
    ASSERT_EQ(b.cdc_transport_enable(child), STATUS_SUCCESS);
    ASSERT_TRUE(b.cdc_data_in_async(child, read_, sizeof(read_), completions::callback, &read, no_timeout));
    device_->push_in(data_in, {'O', 'K'});
    ASSERT_TRUE(read.wait_for(1));
    EXPECT_EQ(read.all()[0].status, STATUS_SUCCESS);
    EXPECT_EQ(read.all()[0].bytes, 2u);
    ASSERT_TRUE(b.cdc_set_notify_cb(child, nullptr, nullptr));
    EXPECT_EQ(b.cdc_transport_disable(child), STATUS_SUCCESS);
    EXPECT_EQ(b.cdc_data_io_uninit(child), STATUS_SUCCESS);
    EXPECT_EQ(done_.count(), 1u) << "nothing of the old child completes twice";
}

}  // namespace
}  // namespace cdc::transfer_test
