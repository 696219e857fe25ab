// Bulk reads and writes through the bus interface: the zero-length packet
// rule, the pools behind it, purges and pipe restarts, as the device sees them.
#include "transfer/bus_fixture.h"

namespace cdc::transfer_test {
namespace {

constexpr uint8_t data_in = modem_data_in;
constexpr uint8_t data_out = modem_data_out;

using data_transfer = open_modem_fixture;

TEST_F(data_transfer, write_of_whole_packets_is_followed_by_one_zlp_and_one_callback) {
    CDC_BUS_INTERFACE& b = open_modem();
    std::vector<uint8_t> payload(64, 0x5a);
    completions done;

    ASSERT_TRUE(b.cdc_data_out_async(child_, payload.data(), 64, completions::callback, &done, no_timeout));
    ASSERT_TRUE(done.wait_for(1));
    host_->settle();

    EXPECT_EQ(out_lengths(), (std::vector<size_t>{64, 0}));
    ASSERT_EQ(done.all().size(), 1u);
    EXPECT_EQ(done.all()[0].status, STATUS_SUCCESS);
    EXPECT_EQ(done.all()[0].bytes, 64u);
    close(b);
}

TEST_F(data_transfer, partial_packet_writes_go_out_alone) {
    CDC_BUS_INTERFACE& b = open_modem();
    std::vector<uint8_t> payload(65, 1);
    completions done;

    ASSERT_TRUE(b.cdc_data_out_async(child_, payload.data(), 65, completions::callback, &done, no_timeout));
    ASSERT_TRUE(b.cdc_data_out_async(child_, payload.data(), 63, completions::callback, &done, no_timeout));
    ASSERT_TRUE(b.cdc_data_out_async(child_, payload.data(), 0, completions::callback, &done, no_timeout));
    ASSERT_TRUE(done.wait_for(3));

    EXPECT_EQ(out_lengths(), (std::vector<size_t>{65, 63, 0}));
    std::vector<ULONG> bytes;
    for (const auto& e : done.all()) bytes.push_back(e.bytes);
    std::sort(bytes.begin(), bytes.end());
    EXPECT_EQ(bytes, (std::vector<ULONG>{0, 63, 65}));
    close(b);
}

TEST_F(data_transfer, without_enable_zlp_every_write_gets_a_zlp) {
    CDC_BUS_INTERFACE& b = open_modem(4, 4, 0);
    std::vector<uint8_t> payload(10, 7);
    completions done;

    ASSERT_TRUE(b.cdc_data_out_async(child_, payload.data(), 10, completions::callback, &done, no_timeout));
    ASSERT_TRUE(done.wait_for(1));
    ASSERT_TRUE(b.cdc_data_out_async(child_, payload.data(), 0, completions::callback, &done, no_timeout));
    ASSERT_TRUE(done.wait_for(2));

    EXPECT_EQ(out_lengths(), (std::vector<size_t>{10, 0, 0, 0}));
    EXPECT_EQ(done.all()[0].bytes, 10u);
    close(b);
}

TEST_F(data_transfer, synchronous_write_sends_its_zlp_and_recycles_both_records) {
    CDC_BUS_INTERFACE& b = open_modem(1, 1);
    std::vector<uint8_t> payload(128, 3);

    // One OUT pair: a record stuck behind a forgotten ZLP would starve the third write.
    for (int i = 0; i < 3; i++) {
        ASSERT_TRUE(b.cdc_data_out_sync(child_, payload.data(), 128, no_timeout)) << i;
        host_->settle();
        sim::io_threads_stop();
    }
    EXPECT_EQ(out_lengths(), (std::vector<size_t>{128, 0, 128, 0, 128, 0}));
    close(b);
}

TEST_F(data_transfer, reads_report_what_the_device_sent) {
    CDC_BUS_INTERFACE& b = open_modem();
    std::vector<uint8_t> buffer(64);
    completions done;

    ASSERT_TRUE(b.cdc_data_in_async(child_, buffer.data(), 64, completions::callback, &done, no_timeout));
    device_->push_in(data_in, {'h', 'e', 'l', 'l', 'o'});
    ASSERT_TRUE(done.wait_for(1));
    EXPECT_EQ(done.all()[0].status, STATUS_SUCCESS);
    EXPECT_EQ(done.all()[0].bytes, 5u);
    EXPECT_EQ(std::string(buffer.begin(), buffer.begin() + 5), "hello");

    device_->push_in(data_in, {'x'});
    EXPECT_TRUE(b.cdc_data_in_sync(child_, buffer.data(), 64, no_timeout));
    EXPECT_EQ(buffer[0], 'x');
    close(b);
}

TEST_F(data_transfer, exhausted_pool_refuses_until_a_record_comes_back) {
    CDC_BUS_INTERFACE& b = open_modem(2, 1);
    std::vector<uint8_t> buffer(64);
    completions done;

    ASSERT_TRUE(b.cdc_data_in_async(child_, buffer.data(), 64, completions::callback, &done, no_timeout));
    ASSERT_TRUE(b.cdc_data_in_async(child_, buffer.data(), 64, completions::callback, &done, no_timeout));
    EXPECT_FALSE(b.cdc_data_in_async(child_, buffer.data(), 64, completions::callback, &done, no_timeout));
    EXPECT_TRUE(traced("usb_qd_request_prepare: no more free requests, status 0"));

    device_->push_in(data_in, {1});
    ASSERT_TRUE(done.wait_for(1));
    EXPECT_TRUE(b.cdc_data_in_async(child_, buffer.data(), 64, completions::callback, &done, no_timeout));

    EXPECT_EQ(b.cdc_inout_purge(child_, TRUE), STATUS_SUCCESS);
    ASSERT_TRUE(done.wait_for(3));
    close(b);
}

TEST_F(data_transfer, purge_cancels_and_refuses_until_every_cancelled_read_is_back) {
    CDC_BUS_INTERFACE& b = open_modem(3, 1);
    std::vector<uint8_t> buffer(3 * 64);
    completions done;

    for (int i = 0; i < 3; i++) {
        ASSERT_TRUE(b.cdc_data_in_async(child_, buffer.data() + 64 * i, 64, completions::callback, &done, no_timeout));
    }
    EXPECT_EQ(b.cdc_inout_purge(child_, TRUE), STATUS_SUCCESS);
    ASSERT_TRUE(done.wait_for(3));
    for (const auto& e : done.all()) EXPECT_EQ(e.status, STATUS_CANCELLED);
    EXPECT_TRUE(traced("usb_cdc_inout_purge: done, in 1, cancelled 3 out of 3"));
    EXPECT_TRUE(traced("update_purge_in_progress: purged"));

    // Every record came back with a fresh request: reads work again.
    ASSERT_TRUE(b.cdc_data_in_async(child_, buffer.data(), 64, completions::callback, &done, no_timeout));
    device_->push_in(data_in, {9});
    ASSERT_TRUE(done.wait_for(4));
    EXPECT_EQ(done.all()[3].status, STATUS_SUCCESS);
    close(b);
}

// With completions inline the cancelled reads come back one by one inside
// the purge: the first one's callback asks for a read while the other is
// still out, and is refused; the callback of the last one is not.
struct read_from_callback {
    CDC_BUS_INTERFACE* bus = nullptr;
    WDFDEVICE child = nullptr;
    std::vector<BOOLEAN> accepted;
    std::vector<uint8_t> buffer = std::vector<uint8_t>(64);
    completions later;

    static VOID callback(PVOID ctx, NTSTATUS status, ULONG bytes) {
        UNREFERENCED_PARAMETER(status);
        UNREFERENCED_PARAMETER(bytes);
        auto* self = static_cast<read_from_callback*>(ctx);
        self->accepted.push_back(self->bus->cdc_data_in_async(self->child, self->buffer.data(), 64,
                                                              completions::callback, &self->later, no_timeout));
    }
};

TEST_F(data_transfer, a_read_asked_for_while_a_purge_is_coming_back_is_refused) {
    CDC_BUS_INTERFACE& b = open_modem(4, 1);
    sim::set_completion_mode(sim::completion_mode::inline_send);
    read_from_callback reader;
    reader.bus = &b;
    reader.child = child_;
    std::vector<uint8_t> buffer(2 * 64);
    for (int i = 0; i < 2; i++) {
        ASSERT_TRUE(
            b.cdc_data_in_async(child_, buffer.data() + 64 * i, 64, read_from_callback::callback, &reader, no_timeout));
    }
    sim::debugger_clear();
    EXPECT_EQ(b.cdc_inout_purge(child_, TRUE), STATUS_SUCCESS);
    EXPECT_EQ(reader.accepted, std::vector<BOOLEAN>({FALSE, TRUE}));
    EXPECT_TRUE(traced("usb_qd_request_prepare: being purged or destroyed, status 0"));

    device_->push_in(data_in, {7});
    ASSERT_TRUE(reader.later.wait_for(1));
    EXPECT_EQ(reader.later.all()[0].status, STATUS_SUCCESS);
    close(b);
}

// A purge whose list cannot take a request returns the failure, cancels
// nothing, and leaves the pool usable: the read it missed still completes.
TEST_F(data_transfer, a_purge_that_cannot_list_a_request_fails_and_leaves_the_read) {
    CDC_BUS_INTERFACE& b = open_modem(1, 1);
    std::vector<uint8_t> buffer(64);
    completions done;
    ASSERT_TRUE(b.cdc_data_in_async(child_, buffer.data(), 64, completions::callback, &done, no_timeout));
    sim::fault_fail_nth("WdfCollectionAdd", 1);
    EXPECT_EQ(b.cdc_inout_purge(child_, TRUE), STATUS_INSUFFICIENT_RESOURCES);
    sim::fault_reset();
    EXPECT_TRUE(traced("usb_cdc_inout_purge: failed adding req num 0 to purge list - c000009a"));
    EXPECT_TRUE(traced("usb_cdc_inout_purge: done, in 1, cancelled 0 out of 0"));

    device_->push_in(data_in, {5});
    ASSERT_TRUE(done.wait_for(1));
    EXPECT_EQ(done.all()[0].status, STATUS_SUCCESS);
    host_->settle();
    close(b);
}

// A restart stops at a failed abort: the pipe is not reset after it.
TEST_F(data_transfer, a_restart_whose_abort_fails_returns_before_the_reset) {
    CDC_BUS_INTERFACE& b = open_modem();
    device_->set_connected(false);
    sim::debugger_clear();
    EXPECT_EQ(b.cdc_restart_io_target(child_, TRUE), STATUS_NO_SUCH_DEVICE);
    EXPECT_TRUE(traced("usb_cdc_restart_io_target: WdfUsbTargetPipeAbortSynchronously, status c000000e"));
    for (const auto& line : sim::debugger_lines()) {
        EXPECT_EQ(line.find("WdfUsbTargetPipeResetSynchronously"), std::string::npos) << line;
    }
    device_->set_connected(true);
}

TEST_F(data_transfer, purge_with_nothing_busy_cancels_nothing) {
    CDC_BUS_INTERFACE& b = open_modem();
    EXPECT_EQ(b.cdc_inout_purge(child_, FALSE), STATUS_SUCCESS);
    EXPECT_TRUE(traced("usb_cdc_inout_purge: done, in 0, cancelled 0 out of 0"));
    close(b);
}

TEST_F(data_transfer, uninit_with_a_pending_read_fails_and_keeps_the_pool) {
    CDC_BUS_INTERFACE& b = open_modem(1, 1);
    std::vector<uint8_t> buffer(64);
    completions done;

    ASSERT_TRUE(b.cdc_data_in_async(child_, buffer.data(), 64, completions::callback, &done, no_timeout));
    EXPECT_EQ(b.cdc_data_io_uninit(child_), STATUS_UNSUCCESSFUL);
    EXPECT_TRUE(traced("req_manager_destroy: pending requests"));
    EXPECT_EQ(b.cdc_inout_purge(child_, TRUE), STATUS_SUCCESS);
    ASSERT_TRUE(done.wait_for(1));
    // The failed uninit already counted down: init again to balance it.
    EXPECT_EQ(b.cdc_data_io_init(child_, 1, 1), STATUS_SUCCESS);
    close(b);
}

TEST_F(data_transfer, restart_resets_the_pipe_on_the_wire) {
    CDC_BUS_INTERFACE& b = open_modem();
    device_->clear_traffic();
    EXPECT_EQ(b.cdc_restart_io_target(child_, TRUE), STATUS_SUCCESS);
    auto clears = device_->control_traffic(sim::usb::match::clear_feature);
    ASSERT_EQ(clears.size(), 1u);
    EXPECT_EQ(clears[0].packet().wIndex, data_in);
    close(b);
}

// A restart whose start fails leaves the pipe's target stopped; aborting
// the reads must still reach the pipe rather than wait for a start.
TEST_F(data_transfer, reads_abort_on_a_pipe_a_failed_restart_left_stopped) {
    CDC_BUS_INTERFACE& b = open_modem();
    sim::fault_fail_nth("WdfIoTargetStart", 1, STATUS_UNSUCCESSFUL);
    EXPECT_EQ(b.cdc_restart_io_target(child_, TRUE), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(b.qd_abort_reads(child_), STATUS_SUCCESS);
    close(b);
}

TEST_F(data_transfer, transfers_without_a_data_path_are_refused) {
    auto children = plug(sim::usb::catalogue::acm_modem());
    child_ = children.at(0);
    CDC_BUS_INTERFACE& b = bus(child_);
    std::vector<uint8_t> buffer(8);
    // No pool yet.
    EXPECT_FALSE(b.cdc_data_out_sync(child_, buffer.data(), 8, no_timeout));
    EXPECT_TRUE(traced("usb_cdc_data_inout: Failed retrieving a request, in 0"));
}

}  // namespace
}  // namespace cdc::transfer_test
