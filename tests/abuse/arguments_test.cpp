// Slots given NULL or undersized buffers, lengths that do not fit, NULL
// out-parameters and NULL callbacks.
#include "abuse/abuse_fixture.h"

namespace cdc::abuse_test {
namespace {

using arguments = abuse;

TEST_P(arguments, data_transfers_with_null_or_empty_buffers) {
    open_data_path();
    completions done;
    UCHAR one[1] = {'X'};

    // A zero-length write is a zero-length packet; a NULL buffer with length 0 is the same.
    EXPECT_TRUE(bus_.cdc_data_out_sync(child_, nullptr, 0, no_timeout));
    EXPECT_TRUE(bus_.cdc_data_out_sync(child_, one, 1, no_timeout));
    EXPECT_EQ(device_->take_out(data_out), std::vector<uint8_t>{});
    EXPECT_EQ(device_->take_out(data_out), std::vector<uint8_t>({'X'}));
    // A NULL buffer with a length is refused before anything is sent.
    const auto before = device_->traffic().size();
    EXPECT_FALSE(bus_.cdc_data_out_sync(child_, nullptr, 64, no_timeout));
    EXPECT_FALSE(bus_.cdc_data_in_async(child_, nullptr, 64, completions::callback, &done, no_timeout));
    EXPECT_EQ(device_->traffic().size(), before);
    // A one-byte read of a longer packet is the device's overrun, reported in the callback.
    ASSERT_TRUE(bus_.cdc_data_in_async(child_, one, 1, completions::callback, &done, no_timeout));
    device_->push_in(data_in, {'O', 'K'});
    ASSERT_TRUE(done.wait_for(1));
    EXPECT_FALSE(NT_SUCCESS(done.all()[0].status));
    host_->settle();
    close_data_path();
}

TEST_P(arguments, async_transfers_without_a_callback_or_context_complete_silently) {
    open_data_path();
    UCHAR text[] = {'A', 'T'};
    completions done;
    const auto before = device_->traffic().size();
    EXPECT_TRUE(bus_.cdc_data_out_async(child_, text, sizeof(text), nullptr, &done, no_timeout));
    EXPECT_TRUE(bus_.cdc_data_out_async(child_, text, sizeof(text), completions::callback, nullptr, no_timeout));
    EXPECT_TRUE(eventually([&] { return device_->traffic().size() >= before + 2; }));
    EXPECT_TRUE(eventually([&] { return busy(fdx()->req_out) == 0; }));
    EXPECT_EQ(done.all().size(), 0u);
    UCHAR buffer[8] = {};
    ULONG bytes = 0;
    // Without a callback the transfer runs synchronously: the same result as the synchronous slot.
    EXPECT_EQ(bus_.class_control_async(child_, TRUE, 0x21, 0, 7, buffer, nullptr, nullptr, &bytes, 0), STATUS_SUCCESS);
    EXPECT_EQ(bytes, 7u);
    host_->settle();
    EXPECT_EQ(done.all().size(), 0u);
    close_data_path();
}

TEST_P(arguments, control_transfers_with_null_buffers_and_out_parameters) {
    open_data_path();
    UCHAR buffer[8] = {};
    ULONG bytes = 0x55;
    // GET_LINE_CODING without a buffer for its seven bytes.
    EXPECT_EQ(bus_.class_control_sync(child_, TRUE, 0x21, 0, 7, nullptr, &bytes, 0), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(bytes, 0u);
    // No count wanted: the same result as with one.
    EXPECT_EQ(bus_.class_control_sync(child_, TRUE, 0x21, 0, 7, buffer, &bytes, 0), STATUS_SUCCESS);
    EXPECT_EQ(bytes, 7u);
    EXPECT_EQ(bus_.class_control_sync(child_, TRUE, 0x21, 0, 7, buffer, nullptr, 0), STATUS_SUCCESS);
    // Six bytes of room for a seven-byte answer: the device's answer does not fit.
    EXPECT_EQ(bus_.class_control_sync(child_, TRUE, 0x21, 0, 6, buffer, &bytes, 0), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(bus_.generic_control_sync(child_, nullptr, buffer, 7, &bytes, 0), STATUS_INVALID_PARAMETER);
    // A setup packet asking for seven bytes with a length of 0: the device is not asked.
    UCHAR setup[8] = {0xA1, 0x21, 0, 0, 0, 0, 7, 0};
    EXPECT_EQ(bus_.generic_control_sync(child_, setup, buffer, 0, &bytes, 0), STATUS_UNSUCCESSFUL);
    // The control channel is free again afterwards.
    EXPECT_EQ(fdx()->control_req_state, 0);
    close_data_path();
}

TEST_P(arguments, descriptor_queries_with_null_and_small_buffers) {
    UCHAR buffer[64] = {};
    UCHAR length = 0;
    // Asked with no room: told the size.
    EXPECT_EQ(bus_.cdc_get_functional_descriptor(child_, 0, buffer, &length), STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(length, 5u);
    length = 1;
    EXPECT_EQ(bus_.cdc_get_functional_descriptor(child_, 0, nullptr, &length), STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(bus_.cdc_get_functional_descriptor(child_, 0, buffer, nullptr), STATUS_INVALID_PARAMETER);
    length = sizeof(buffer);
    EXPECT_EQ(bus_.cdc_get_functional_descriptor(child_, 0x7F, buffer, &length), STATUS_NOT_FOUND);

    EXPECT_EQ(bus_.qd_get_func_protocol(child_, nullptr), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(bus_.qd_get_device_descriptor(child_, nullptr), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(bus_.dfu_get_functional_descriptor(child_, nullptr), STATUS_NOT_FOUND);
    EXPECT_EQ(bus_.qd_get_maxps(child_, nullptr, nullptr, nullptr, nullptr), STATUS_SUCCESS);
    EXPECT_EQ(bus_.qd_get_configuration_descriptor_copyout(child_, nullptr, nullptr), STATUS_SUCCESS);
    EXPECT_EQ(bus_.qd_get_idle_timeout(child_, nullptr), STATUS_SUCCESS);
    EXPECT_EQ(bus_.qd_children_msg_send(child_, 1, nullptr), STATUS_SUCCESS);
    bus_.qd_children_msg_set(child_, nullptr, nullptr);
    EXPECT_EQ(pdx()->children_msg_cb, nullptr);
}

TEST_P(arguments, string_query_with_a_short_buffer_is_not_reported_as_success) {
    USHORT chars = 0;
    WCHAR text[64];
    UNICODE_STRING string = {0, sizeof(text), text};
    EXPECT_EQ(bus_.cdc_get_string(child_, 1, nullptr, &chars), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(bus_.cdc_get_string(child_, 1, &string, nullptr), STATUS_INVALID_PARAMETER);
    // Capacity 0 characters: told how many it needs.
    EXPECT_EQ(bus_.cdc_get_string(child_, 1, &string, &chars), STATUS_BUFFER_TOO_SMALL);
    const USHORT needed = chars;
    ASSERT_GT(needed, 2u);
    // A capacity larger than the string's own buffer: the string's buffer wins.
    WCHAR small[2];
    UNICODE_STRING short_string = {0, sizeof(small), small};
    chars = 64;
    EXPECT_EQ(bus_.cdc_get_string(child_, 1, &short_string, &chars), STATUS_BUFFER_OVERFLOW);
    EXPECT_LE(short_string.Length, sizeof(small));
    // One character short: told again, nothing copied.
    chars = static_cast<USHORT>(needed - 1);
    EXPECT_EQ(bus_.cdc_get_string(child_, 1, &string, &chars), STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(chars, needed);
    chars = 64;
    EXPECT_EQ(bus_.cdc_get_string(child_, 1, &string, &chars), STATUS_SUCCESS);
    EXPECT_EQ(chars, needed);
    EXPECT_EQ(string.Length, needed * sizeof(WCHAR));
}

TEST_P(arguments, control_callbacks_without_finals_or_context_are_refused_in_control_mode_only) {
    auto cb = [](PVOID) -> LONG { return 0; };
    int ctx = 0;
    const NTSTATUS expected = control_mode() ? STATUS_UNSUCCESSFUL : STATUS_SUCCESS;
    EXPECT_EQ(bus_.cdc_data_io_ctrl_cbs_init(child_, 1, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr),
              expected);
    EXPECT_EQ(bus_.cdc_data_io_ctrl_cbs_init(child_, 1, cb, nullptr, nullptr, nullptr, nullptr, &ctx), expected);
    EXPECT_EQ(pdx()->ctrl_cbs_ctx, nullptr);
    // A callback without a context is an unset: nothing is counted or started.
    EXPECT_TRUE(bus_.cdc_set_notify_cb(child_, nullptr, [](PVOID, PVOID, ULONG) {}));
    EXPECT_EQ(device_->pending(notify_in), 0u);
    EXPECT_EQ(fdx()->ref_count, 0);
}

TEST_P(arguments, pool_sizes_of_zero_leave_every_transfer_refused) {
    ASSERT_EQ(bus_.cdc_data_io_init(child_, 0, 0), STATUS_SUCCESS);
    ASSERT_EQ(bus_.cdc_transport_enable(child_), STATUS_SUCCESS);
    UCHAR text[] = {'A'};
    EXPECT_FALSE(bus_.cdc_data_out_sync(child_, text, 1, no_timeout));
    EXPECT_FALSE(bus_.cdc_data_in_sync(child_, text, 1, no_timeout));
    EXPECT_EQ(traced("usb_qd_request_prepare: no more free requests, status 0"), 2u);
    close_data_path();
}

INSTANTIATE_TEST_SUITE_P(modes, arguments, ::testing::Values(mode::direct, mode::control), mode_name);

}  // namespace
}  // namespace cdc::abuse_test
