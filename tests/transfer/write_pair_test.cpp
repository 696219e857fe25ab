// A write followed by its zero-length packet is one transfer to the child:
// one callback, after both requests are back, telling the first failure of
// the two with the bytes that really went out; a synchronous one returns only
// when both are done. Also what a failure leaves behind on the control
// channel and the pools, and calls a child may not make above PASSIVE_LEVEL.
#include "transfer/bus_fixture.h"

namespace cdc::transfer_test {
namespace {

constexpr uint8_t data_out = modem_data_out;
constexpr UCHAR get_line_coding = 0x21;

class write_pair : public open_modem_fixture {
 protected:
    void TearDown() override {
        sim::fault_reset();
        open_modem_fixture::TearDown();
    }

    // "EnableZLP" by default, two records a pool.
    CDC_BUS_INTERFACE& open_modem() { return open_modem_fixture::open_modem(2, 2); }
};

// The packet's send fails after the data request went out: the write is
// reported once whichever of the two ends last, and both records return.
TEST_F(write_pair, a_packet_that_cannot_be_sent_ends_the_write_once) {
    CDC_BUS_INTERFACE& b = open_modem();
    std::vector<uint8_t> payload(64, 0x11);

    // The data request completes inside its send, before the packet fails.
    sim::set_completion_mode(sim::completion_mode::inline_send);
    completions first;
    sim::fault_fail_nth("WdfRequestSend", 2);
    ASSERT_TRUE(b.cdc_data_out_async(child_, payload.data(), 64, completions::callback, &first, no_timeout));
    ASSERT_TRUE(first.wait_for(1));
    EXPECT_EQ(first.all()[0].status, STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(first.all()[0].bytes, 64u);

    // The data request is still at the device when the packet fails.
    sim::set_completion_mode(sim::completion_mode::threads);
    device_->hold_out(data_out, true);
    completions second;
    sim::fault_fail_nth("WdfRequestSend", 2);
    ASSERT_TRUE(b.cdc_data_out_async(child_, payload.data(), 64, completions::callback, &second, no_timeout));
    EXPECT_EQ(second.count(), 0u);
    device_->hold_out(data_out, false);
    ASSERT_TRUE(second.wait_for(1));
    sim::io_threads_stop();
    EXPECT_EQ(second.all()[0].status, STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(second.all()[0].bytes, 64u);

    EXPECT_EQ(out_lengths(), (std::vector<size_t>{64, 64}));
    EXPECT_EQ(first.count() + second.count(), 2u);
    close(b);
}

TEST_F(write_pair, the_first_failure_of_the_pair_is_reported_with_the_bytes_sent) {
    CDC_BUS_INTERFACE& b = open_modem();
    std::vector<uint8_t> payload(128, 0x22);

    // The data request times out at the device, the packet behind it goes.
    completions data_failed;
    device_->fail_next_transfer(data_out, USBD_STATUS_TIMEOUT);
    ASSERT_TRUE(b.cdc_data_out_async(child_, payload.data(), 128, completions::callback, &data_failed, no_timeout));
    ASSERT_TRUE(data_failed.wait_for(1));
    sim::io_threads_stop();
    EXPECT_EQ(data_failed.all()[0].status, STATUS_IO_TIMEOUT);
    EXPECT_EQ(data_failed.all()[0].bytes, 0u);

    // The data goes, the packet times out.
    completions packet_failed;
    device_->inject(data_out, sim::usb::fault::make_short(128));
    device_->inject(data_out, sim::usb::fault::make_error(USBD_STATUS_TIMEOUT));
    ASSERT_TRUE(b.cdc_data_out_async(child_, payload.data(), 128, completions::callback, &packet_failed, no_timeout));
    ASSERT_TRUE(packet_failed.wait_for(1));
    sim::io_threads_stop();
    EXPECT_EQ(packet_failed.all()[0].status, STATUS_IO_TIMEOUT);
    EXPECT_EQ(packet_failed.all()[0].bytes, 128u);

    // Both go.
    completions both;
    ASSERT_TRUE(b.cdc_data_out_async(child_, payload.data(), 128, completions::callback, &both, no_timeout));
    ASSERT_TRUE(both.wait_for(1));
    sim::io_threads_stop();
    EXPECT_EQ(both.all()[0].status, STATUS_SUCCESS);
    EXPECT_EQ(both.all()[0].bytes, 128u);
    close(b);
}

// A child that closes right after a synchronous whole-packet write finds
// nothing of it in flight.
TEST_F(write_pair, a_synchronous_write_returns_with_its_packet_done) {
    CDC_BUS_INTERFACE& b = open_modem();
    std::vector<uint8_t> payload(64, 0x33);
    std::vector<size_t> expected;

    for (int i = 0; i < 20; i++) {
        ASSERT_TRUE(b.cdc_data_out_sync(child_, payload.data(), 64, no_timeout));
        ASSERT_EQ(b.cdc_data_io_uninit(child_), STATUS_SUCCESS) << "try " << i;
        ASSERT_EQ(b.cdc_data_io_init(child_, 2, 2), STATUS_SUCCESS);
        expected.push_back(64);
        expected.push_back(0);
    }
    EXPECT_EQ(out_lengths(), expected);

    // A packet that fails fails the write.
    device_->inject(data_out, sim::usb::fault::make_short(64));
    device_->inject(data_out, sim::usb::fault::make_error(USBD_STATUS_TIMEOUT));
    EXPECT_FALSE(b.cdc_data_out_sync(child_, payload.data(), 64, no_timeout));
    close(b);
}

// The device answering "gone" once (a port reset on the way, say) does not
// fail every later transfer: the control channel and the pools recover.
TEST_F(write_pair, a_device_gone_answer_does_not_stick) {
    CDC_BUS_INTERFACE& b = open_modem();
    // GET_DESCRIPTOR(device), which the device answers from its descriptors.
    uint8_t get_device[8] = {0x80, 0x06, 0x00, 0x01, 0x00, 0x00, 18, 0};
    uint8_t descriptor[18] = {};
    completions control;

    device_->fail_next_control(sim::usb::match::get_descriptor(USB_DEVICE_DESCRIPTOR_TYPE), USBD_STATUS_DEVICE_GONE);
    ASSERT_EQ(b.generic_control_async(child_, get_device, descriptor, 18, completions::callback, &control, nullptr,
                                      no_timeout),
              STATUS_PENDING);
    ASSERT_TRUE(control.wait_for(1));
    EXPECT_EQ(control.all()[0].status, STATUS_NO_SUCH_DEVICE);
    sim::io_threads_stop();
    ASSERT_EQ(b.generic_control_async(child_, get_device, descriptor, 18, completions::callback, &control, nullptr,
                                      no_timeout),
              STATUS_PENDING);
    ASSERT_TRUE(control.wait_for(2));
    EXPECT_EQ(control.all()[1].status, STATUS_SUCCESS);
    EXPECT_EQ(control.all()[1].bytes, 18u);
    sim::io_threads_stop();

    // The same for a data record: the pool hands it out again and it works.
    std::vector<uint8_t> payload(10, 0x44);
    completions data;
    device_->fail_next_transfer(data_out, USBD_STATUS_DEVICE_GONE, 2);
    for (int i = 0; i < 2; i++) {
        ASSERT_TRUE(b.cdc_data_out_async(child_, payload.data(), 10, completions::callback, &data, no_timeout));
        ASSERT_TRUE(data.wait_for(i + 1));
        sim::io_threads_stop();
    }
    for (int i = 0; i < 4; i++) {
        EXPECT_TRUE(b.cdc_data_out_sync(child_, payload.data(), 10, no_timeout)) << "write " << i;
    }
    EXPECT_EQ(data.all()[0].status, STATUS_NO_SUCH_DEVICE);
    close(b);
}

// A call without a completion callback waits for its transfer: above
// PASSIVE_LEVEL it is refused, named, and nothing is sent.
TEST_F(write_pair, a_waiting_call_above_passive_level_is_refused) {
    CDC_BUS_INTERFACE& b = open_modem();
    std::vector<uint8_t> payload(10, 0x55);
    uint8_t coding[7] = {};

    KIRQL old = sim::irql_raise(DISPATCH_LEVEL);
    BOOLEAN written = b.cdc_data_out_async(child_, payload.data(), 10, nullptr, nullptr, no_timeout);
    BOOLEAN read = b.cdc_data_in_sync(child_, payload.data(), 10, no_timeout);
    NTSTATUS control =
        b.class_control_async(child_, TRUE, get_line_coding, 0, 7, coding, nullptr, nullptr, nullptr, no_timeout);
    sim::irql_lower(old);

    EXPECT_FALSE(written);
    EXPECT_FALSE(read);
    EXPECT_EQ(control, STATUS_INVALID_DEVICE_STATE);
    EXPECT_TRUE(traced("usb_cdc_data_inout: no completion callback above PASSIVE_LEVEL"));
    EXPECT_TRUE(traced("usb_generic_control_send: no completion callback above PASSIVE_LEVEL"));
    EXPECT_TRUE(out_lengths().empty());
    close(b);
}

TEST_F(write_pair, the_reader_enters_under_its_own_name) {
    CDC_BUS_INTERFACE& b = open_modem();
    int ctx = 0;
    auto cb = [](PVOID, PVOID, ULONG) {};
    ASSERT_TRUE(b.cdc_set_notify_cb(child_, &ctx, cb));
    EXPECT_TRUE(traced("usb_interrupt_pipe_start_cont_reader: Entered"));
    ASSERT_TRUE(b.cdc_set_notify_cb(child_, nullptr, nullptr));
    close(b);
}

// At information level, not as an error.
class write_pair_at_error_level : public write_pair {
 protected:
    uint32_t debug_level() const override { return 1; }
};

TEST_F(write_pair_at_error_level, a_request_that_cannot_be_replaced_is_not_an_error) {
    CDC_BUS_INTERFACE& b = open_modem();
    std::vector<uint8_t> payload(10, 0x66);
    completions done;

    // The failed write's record gets a new request when it comes back.
    device_->fail_next_transfer(data_out, USBD_STATUS_TIMEOUT);
    sim::fault_fail_nth("WdfRequestCreate", 1);
    ASSERT_TRUE(b.cdc_data_out_async(child_, payload.data(), 10, completions::callback, &done, no_timeout));
    ASSERT_TRUE(done.wait_for(1));
    sim::io_threads_stop();
    EXPECT_EQ(sim::fault_last_failed_site(), "WdfRequestCreate");
    for (const auto& line : sim::debugger_lines()) {
        EXPECT_EQ(line.find("failed creating a new request"), std::string::npos) << line;
    }
    // The record is made whole at its next use.
    EXPECT_TRUE(b.cdc_data_out_sync(child_, payload.data(), 10, no_timeout));
    close(b);
}

}  // namespace
}  // namespace cdc::transfer_test
