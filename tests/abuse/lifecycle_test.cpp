// Slots called out of order: before the pools exist, after they are gone,
// and twice in a row where a child driver pairs its calls badly.
#include "abuse/abuse_fixture.h"

namespace cdc::abuse_test {
namespace {

using lifecycle = abuse;

TEST_P(lifecycle, data_slots_before_init_fail_without_touching_usb) {
    UCHAR buffer[64] = {};
    completions done;
    const auto before = device_->traffic().size();

    EXPECT_FALSE(bus_.cdc_data_in_async(child_, buffer, sizeof(buffer), completions::callback, &done, no_timeout));
    EXPECT_FALSE(bus_.cdc_data_out_async(child_, buffer, sizeof(buffer), completions::callback, &done, no_timeout));
    EXPECT_FALSE(bus_.cdc_data_in_sync(child_, buffer, sizeof(buffer), no_timeout));
    EXPECT_FALSE(bus_.cdc_data_out_sync(child_, buffer, sizeof(buffer), no_timeout));
    EXPECT_EQ(bus_.cdc_inout_purge(child_, TRUE), STATUS_SUCCESS);
    EXPECT_EQ(bus_.cdc_inout_purge(child_, FALSE), STATUS_SUCCESS);
    EXPECT_EQ(bus_.control_request_purge(child_), STATUS_SUCCESS);
    EXPECT_EQ(device_->traffic().size(), before);
    // These act on the pipes, not the pools: they run as ever.
    EXPECT_EQ(bus_.qd_abort_reads(child_), STATUS_SUCCESS);
    EXPECT_EQ(bus_.qd_clear_data(child_), STATUS_SUCCESS);
    // Nothing to give back: counted as the child's mistake only.
    EXPECT_EQ(bus_.cdc_data_io_uninit(child_), STATUS_SUCCESS);
    EXPECT_EQ(traced("usb_cdc_data_io_uninit: no request pools of this child"), 1u);
    EXPECT_EQ(bus_.cdc_transport_disable(child_), STATUS_SUCCESS);
    EXPECT_EQ(traced("usb_transport_disable: the data path was not opened by this child"), 1u);
    EXPECT_TRUE(bus_.cdc_set_notify_cb(child_, nullptr, nullptr));

    EXPECT_EQ(done.all().size(), 0u);
    EXPECT_EQ(fdx()->data_io_count, 0);
    EXPECT_EQ(fdx()->enable_count, 0);
    EXPECT_EQ(fdx()->ref_count, 0);
}

TEST_P(lifecycle, data_slots_after_uninit_fail_like_before_init) {
    open_data_path();
    close_data_path();
    UCHAR buffer[64] = {};
    completions done;
    const auto before = device_->traffic().size();

    EXPECT_FALSE(bus_.cdc_data_in_async(child_, buffer, sizeof(buffer), completions::callback, &done, no_timeout));
    EXPECT_FALSE(bus_.cdc_data_out_sync(child_, buffer, sizeof(buffer), no_timeout));
    EXPECT_EQ(bus_.cdc_inout_purge(child_, TRUE), STATUS_SUCCESS);
    EXPECT_EQ(bus_.qd_abort_reads(child_), STATUS_SUCCESS);
    EXPECT_EQ(bus_.cdc_data_io_uninit(child_), STATUS_SUCCESS);
    EXPECT_EQ(traced("usb_cdc_data_io_uninit: no request pools of this child"), 1u);
    EXPECT_EQ(device_->traffic().size(), before);
    EXPECT_EQ(done.all().size(), 0u);
}

TEST_P(lifecycle, init_twice_counts_and_needs_two_uninits) {
    ASSERT_EQ(bus_.cdc_data_io_init(child_, 2, 2), STATUS_SUCCESS);
    ASSERT_EQ(bus_.cdc_data_io_init(child_, 5, 5), STATUS_SUCCESS);
    EXPECT_EQ(traced("usb_cdc_data_io_init: already performed"), 1u);
    EXPECT_EQ(fdx()->data_io_count, 2);
    ASSERT_EQ(bus_.cdc_transport_enable(child_), STATUS_SUCCESS);
    UCHAR text[] = {'A', 'T', '\r'};
    EXPECT_TRUE(bus_.cdc_data_out_sync(child_, text, sizeof(text), no_timeout));
    ASSERT_EQ(bus_.cdc_transport_disable(child_), STATUS_SUCCESS);

    EXPECT_EQ(bus_.cdc_data_io_uninit(child_), STATUS_SUCCESS);
    EXPECT_EQ(traced("usb_cdc_data_io_uninit: still in use"), 1u);
    EXPECT_EQ(fdx()->data_io_count, 1);
    EXPECT_EQ(bus_.cdc_data_io_uninit(child_), STATUS_SUCCESS);
    EXPECT_EQ(fdx()->data_io_count, 0);
    EXPECT_EQ(fdx()->req_out.destroyed, 1u);
    // A third is one too many: refused as not this child's, count stays at 0.
    EXPECT_EQ(bus_.cdc_data_io_uninit(child_), STATUS_SUCCESS);
    EXPECT_EQ(traced("usb_cdc_data_io_uninit: no request pools of this child"), 1u);
    EXPECT_EQ(fdx()->data_io_count, 0);
}

TEST_P(lifecycle, refused_uninit_with_a_read_waiting_leaves_both_pools_and_the_count) {
    open_data_path();
    UCHAR read[64] = {};
    completions done;
    ASSERT_TRUE(bus_.cdc_data_in_async(child_, read, sizeof(read), completions::callback, &done, no_timeout));
    ASSERT_EQ(bus_.cdc_transport_disable(child_), STATUS_SUCCESS);
    const ULONG out_free = fdx()->req_out.free_count;

    EXPECT_EQ(bus_.cdc_data_io_uninit(child_), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(traced("req_manager_destroy: pending requests"), 1u);
    // Nothing was torn down: the write pool still writes, the count and the
    // child's hold are as before.
    EXPECT_EQ(fdx()->data_io_count, 1);
    EXPECT_EQ(pdx()->data_io_refs, 1);
    EXPECT_EQ(fdx()->req_out.destroyed, 0u);
    EXPECT_EQ(fdx()->req_in.destroyed, 0u);
    EXPECT_EQ(fdx()->req_out.free_count, out_free);
    ASSERT_EQ(bus_.cdc_transport_enable(child_), STATUS_SUCCESS);
    UCHAR text[] = {'A', 'T', '\r'};
    EXPECT_TRUE(bus_.cdc_data_out_sync(child_, text, sizeof(text), no_timeout));
    EXPECT_EQ(device_->take_out(data_out), std::vector<uint8_t>({'A', 'T', '\r'}));

    // Once the read is back the same call succeeds, and only once.
    device_->push_in(data_in, {'O', 'K'});
    ASSERT_TRUE(done.wait_for(1));
    host_->settle();
    ASSERT_EQ(bus_.cdc_transport_disable(child_), STATUS_SUCCESS);
    EXPECT_EQ(bus_.cdc_data_io_uninit(child_), STATUS_SUCCESS);
    EXPECT_EQ(fdx()->data_io_count, 0);
    EXPECT_EQ(fdx()->req_out.destroyed, 1u);
    EXPECT_EQ(fdx()->req_in.destroyed, 1u);
}

TEST_P(lifecycle, refused_uninit_with_a_write_waiting_keeps_the_read_pool_too) {
    open_data_path();
    device_->hold_out(data_out, true);
    UCHAR text[] = {'A', 'T', '\r'};
    completions done;
    ASSERT_TRUE(bus_.cdc_data_out_async(child_, text, sizeof(text), completions::callback, &done, no_timeout));
    ASSERT_EQ(bus_.cdc_transport_disable(child_), STATUS_SUCCESS);

    EXPECT_EQ(bus_.cdc_data_io_uninit(child_), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(fdx()->data_io_count, 1);
    EXPECT_EQ(fdx()->req_in.destroyed, 0u);
    EXPECT_EQ(fdx()->req_out.destroyed, 0u);

    device_->hold_out(data_out, false);
    ASSERT_TRUE(done.wait_for(1));
    host_->settle();
    EXPECT_EQ(bus_.cdc_data_io_uninit(child_), STATUS_SUCCESS);
    EXPECT_EQ(fdx()->data_io_count, 0);
}

TEST_P(lifecycle, unbalanced_enable_and_disable_are_counted_per_child) {
    ASSERT_EQ(bus_.cdc_data_io_init(child_, 2, 2), STATUS_SUCCESS);
    EXPECT_EQ(bus_.cdc_transport_enable(child_), STATUS_SUCCESS);
    EXPECT_EQ(bus_.cdc_transport_enable(child_), STATUS_SUCCESS);
    EXPECT_EQ(fdx()->enable_count, 2);
    EXPECT_EQ(bus_.cdc_transport_disable(child_), STATUS_SUCCESS);
    EXPECT_EQ(fdx()->enable_count, 1);
    UCHAR text[] = {'A', 'T', '\r'};
    EXPECT_TRUE(bus_.cdc_data_out_sync(child_, text, sizeof(text), no_timeout));
    EXPECT_EQ(bus_.cdc_transport_disable(child_), STATUS_SUCCESS);
    EXPECT_EQ(fdx()->enable_count, 0);
    // One disable too many: traced, the count does not go below 0.
    EXPECT_EQ(bus_.cdc_transport_disable(child_), STATUS_SUCCESS);
    EXPECT_EQ(traced("usb_transport_disable: the data path was not opened by this child"), 1u);
    EXPECT_EQ(fdx()->enable_count, 0);
    EXPECT_EQ(bus_.cdc_data_io_uninit(child_), STATUS_SUCCESS);
}

TEST_P(lifecycle, set_notify_cb_twice_keeps_one_reader_and_one_unset_stops_it) {
    int ctx = 0;
    auto cb = [](PVOID, PVOID, ULONG) {};
    EXPECT_TRUE(bus_.cdc_set_notify_cb(child_, &ctx, cb));
    EXPECT_TRUE(bus_.cdc_set_notify_cb(child_, &ctx, cb));
    EXPECT_EQ(fdx()->ref_count, 2);
    EXPECT_EQ(device_->pending(notify_in), 1u);
    EXPECT_TRUE(bus_.cdc_set_notify_cb(child_, nullptr, nullptr));
    EXPECT_TRUE(bus_.cdc_set_notify_cb(child_, nullptr, nullptr));
    EXPECT_EQ(fdx()->ref_count, 0);
    EXPECT_EQ(device_->pending(notify_in), 0u);
    // Unset once more: nothing held, nothing changes.
    EXPECT_TRUE(bus_.cdc_set_notify_cb(child_, nullptr, nullptr));
    EXPECT_EQ(fdx()->ref_count, 0);
}

TEST_P(lifecycle, control_callbacks_set_twice_overwrite_and_uninit_twice_is_harmless) {
    int first = 0;
    int second = 0;
    auto cb = [](PVOID) -> LONG { return 0; };
    EXPECT_EQ(bus_.cdc_data_io_ctrl_cbs_init(child_, 1, cb, cb, nullptr, nullptr, nullptr, &first), STATUS_SUCCESS);
    EXPECT_EQ(bus_.cdc_data_io_ctrl_cbs_init(child_, 0, cb, cb, nullptr, nullptr, nullptr, &second), STATUS_SUCCESS);
    if (control_mode()) {
        EXPECT_EQ(pdx()->ctrl_cbs_ctx, &second);
        EXPECT_EQ(pdx()->ctrl_check_open, 0u);
    } else {
        EXPECT_EQ(pdx()->ctrl_cbs_ctx, nullptr);
    }
    bus_.cdc_data_io_ctrl_cbs_uninit(child_);
    bus_.cdc_data_io_ctrl_cbs_uninit(child_);
    EXPECT_EQ(pdx()->ctrl_cbs_ctx, nullptr);
    EXPECT_EQ(pdx()->ctrl_start_final_cb, nullptr);
}

TEST_P(lifecycle, reference_and_dereference_unbalanced_stop_at_zero) {
    const LONG start = pdx()->cdc_ref_count;
    for (LONG i = 0; i < start + 2; i++) bus_.header.InterfaceDereference(child_);
    EXPECT_EQ(pdx()->cdc_ref_count, 0);
    EXPECT_EQ(traced("usb_cdc_dereference: ref is already 0"), 2u);
    bus_.header.InterfaceReference(child_);
    EXPECT_EQ(pdx()->cdc_ref_count, 1);
}

INSTANTIATE_TEST_SUITE_P(modes, lifecycle, ::testing::Values(mode::direct, mode::control), mode_name);

}  // namespace
}  // namespace cdc::abuse_test
