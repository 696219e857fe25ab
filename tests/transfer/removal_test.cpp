// A device pulled out, or unplugged in order, after its child used the data
// path: every request the driver sent is back before its device goes, and
// unloading finds nothing left behind.
#include "transfer/bus_fixture.h"

namespace cdc::transfer_test {
namespace {

constexpr uint8_t data_in = 0x82;

class device_removal : public bus_fixture {
 protected:
    // An ACM modem whose child opened the data path, wrote, and left a read
    // waiting for data.
    CDC_BUS_INTERFACE& use_data_path() {
        auto children = plug(sim::usb::catalogue::acm_modem());
        EXPECT_EQ(children.size(), 1u);
        child_ = children.at(0);
        CDC_BUS_INTERFACE& b = bus(child_);
        EXPECT_EQ(b.cdc_data_io_init(child_, 2, 2), STATUS_SUCCESS);
        EXPECT_EQ(b.cdc_transport_enable(child_), STATUS_SUCCESS);
        EXPECT_TRUE(b.cdc_data_out_async(child_, write_, sizeof(write_), completions::callback, &done_, no_timeout));
        EXPECT_TRUE(b.cdc_data_in_async(child_, read_, sizeof(read_), completions::callback, &done_, no_timeout));
        EXPECT_TRUE(done_.wait_for(1));
        return b;
    }

    // A child driver lets go of the interface when its device goes away.
    void release(CDC_BUS_INTERFACE& b) {
        b.header.InterfaceDereference(b.header.Context);
        b.header.InterfaceDereference = nullptr;
    }

    WDFDEVICE child_ = nullptr;
    completions done_;
    uint8_t write_[70] = {'A', 'T', '\r'};
    uint8_t read_[64] = {};
};

TEST_F(device_removal, closing_takes_back_the_waiting_read_then_surprise_removal_is_clean) {
    CDC_BUS_INTERFACE& b = use_data_path();
    EXPECT_EQ(b.cdc_transport_disable(child_), STATUS_SUCCESS);

    EXPECT_EQ(b.qd_abort_reads(child_), STATUS_SUCCESS);
    ASSERT_TRUE(done_.wait_for(2));
    EXPECT_EQ(done_.all()[1].status, STATUS_CANCELLED);
    EXPECT_EQ(device_->pending(data_in), 0u);
    EXPECT_EQ(b.cdc_data_io_uninit(child_), STATUS_SUCCESS);
    release(b);

    host_->surprise_remove(device_);
    EXPECT_TRUE(stack_->removed());
}

TEST_F(device_removal, closing_with_a_read_still_waiting_is_refused) {
    CDC_BUS_INTERFACE& b = use_data_path();
    EXPECT_EQ(b.cdc_transport_disable(child_), STATUS_SUCCESS);

    EXPECT_FALSE(NT_SUCCESS(b.cdc_data_io_uninit(child_)));
    EXPECT_EQ(device_->pending(data_in), 1u);

    // Data arriving completes it; the child may then close.
    device_->push_in(data_in, {'O', 'K'});
    ASSERT_TRUE(done_.wait_for(2));
    EXPECT_EQ(done_.all()[1].bytes, 2u);
    host_->settle();
    EXPECT_EQ(b.cdc_data_io_uninit(child_), STATUS_SUCCESS);
    release(b);
    host_->unplug(device_);
    EXPECT_TRUE(stack_->removed());
}

// Unplugged in order with the read still waiting for data and the
// notification reader running: the function device takes both back when it
// releases its hardware, the read cancelled once, before its USB target goes.
TEST_F(device_removal, an_orderly_removal_with_the_data_path_open_cancels_the_waiting_read) {
    CDC_BUS_INTERFACE& b = use_data_path();
    release(b);
    sim::debugger_clear();
    host_->unplug(device_);
    ASSERT_TRUE(done_.wait_for(2));
    EXPECT_EQ(done_.all()[1].status, STATUS_CANCELLED);
    EXPECT_EQ(done_.count(), 2u);
    EXPECT_TRUE(stack_->removed());
}

TEST_F(device_removal, surprise_removal_with_the_data_path_open_fails_the_waiting_read) {
    CDC_BUS_INTERFACE& b = use_data_path();
    release(b);

    host_->surprise_remove(device_);

    ASSERT_TRUE(done_.wait_for(2));
    EXPECT_EQ(done_.all()[1].status, STATUS_NO_SUCH_DEVICE);
    EXPECT_TRUE(stack_->removed());
}

}  // namespace
}  // namespace cdc::transfer_test
