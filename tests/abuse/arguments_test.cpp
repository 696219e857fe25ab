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
    // One byte short: told the size, nothing written.
    length = 4;
    EXPECT_EQ(bus_.cdc_get_functional_descriptor(child_, 0, buffer, &length), STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(length, 5u);
    EXPECT_EQ(buffer[0], 0u);
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

// Every slot given arguments out of its range, one row each: NULL pointers,
// lengths that do not fit, BOOLEANs that are neither TRUE nor FALSE, pool
// sizes no device needs. The data path is open; the result is the same in
// both modes, and an accepted asynchronous call completes exactly once.
struct argument_case {
    const char* name;
    int64_t (*call)(CDC_BUS_INTERFACE& bus, WDFDEVICE child, completions& done, sim::usb::device& device);
    int64_t expected;
    // Calls that were accepted and owe a callback, and the status it brings
    // (after a purge of the reads).
    size_t callbacks;
    NTSTATUS callback_status;
};

UCHAR setup_in7[8] = {0xA1, 0x21, 0, 0, 0, 0, 7, 0};
UCHAR buffer64[64];
LONG final_stub(PVOID) { return 0; }

#define ARGS(name, expected, callbacks, callback_status, ...)                                                     \
    argument_case {                                                                                               \
        name,                                                                                                     \
            [](CDC_BUS_INTERFACE& bus, WDFDEVICE child, completions& done, sim::usb::device& device) -> int64_t { \
                (void)done;                                                                                       \
                (void)device;                                                                                     \
                __VA_ARGS__;                                                                                      \
            },                                                                                                    \
            expected, callbacks, callback_status                                                                  \
    }

const argument_case argument_cases[] = {
    ARGS("class_control_sync_length_0_null_buffer", STATUS_UNSUCCESSFUL, 0, STATUS_SUCCESS,
         return bus.class_control_sync(child, FALSE, 0x22, 0, 0, nullptr, nullptr, 0)),
    ARGS("class_control_sync_not_a_boolean_direction", STATUS_SUCCESS, 0, STATUS_SUCCESS, ULONG bytes = 0;
         return bus.class_control_sync(child, 7, 0x21, 0, 7, buffer64, &bytes, 0)),
    ARGS("class_control_async_null_buffer", STATUS_INVALID_PARAMETER, 0, STATUS_SUCCESS,
         return bus.class_control_async(child, TRUE, 0x21, 0, 7, nullptr, completions::callback, &done, nullptr, 0)),
    ARGS("generic_control_async_null_setup", STATUS_INVALID_PARAMETER, 0, STATUS_SUCCESS,
         return bus.generic_control_async(child, nullptr, buffer64, 7, completions::callback, &done, nullptr, 0)),
    ARGS("generic_control_async_null_buffer", STATUS_INVALID_PARAMETER, 0, STATUS_SUCCESS,
         return bus.generic_control_async(child, setup_in7, nullptr, 7, completions::callback, &done, nullptr, 0)),
    ARGS("generic_control_async_length_0", STATUS_PENDING, 1, STATUS_UNSUCCESSFUL,
         return bus.generic_control_async(child, setup_in7, buffer64, 0, completions::callback, &done, nullptr, 0)),
    ARGS("generic_control_async_null_callback", 7, 0, STATUS_SUCCESS, ULONG bytes = 0;
         NTSTATUS s = bus.generic_control_async(child, setup_in7, buffer64, 7, nullptr, nullptr, &bytes, 0);
         return s == STATUS_SUCCESS ? bytes : s),
    ARGS("cdc_restart_io_target_not_a_boolean", STATUS_SUCCESS, 0, STATUS_SUCCESS,
         return bus.cdc_restart_io_target(child, 7)),
    ARGS("cdc_inout_purge_not_a_boolean", STATUS_SUCCESS, 0, STATUS_SUCCESS, return bus.cdc_inout_purge(child, 7)),
    ARGS("qd_device_wakeup_sync_not_a_boolean", STATUS_SUCCESS, 0, STATUS_SUCCESS,
         return bus.qd_device_wakeup_sync(child, 7)),
    ARGS("cdc_data_in_async_null_callback", TRUE, 0, STATUS_SUCCESS, device.push_in(data_in, {'A'});
         return bus.cdc_data_in_async(child, buffer64, 64, nullptr, nullptr, 0)),
    ARGS("cdc_data_in_async_length_0", TRUE, 1, STATUS_CANCELLED,
         return bus.cdc_data_in_async(child, buffer64, 0, completions::callback, &done, 0)),
    ARGS("cdc_data_in_sync_null_buffer", FALSE, 0, STATUS_SUCCESS, return bus.cdc_data_in_sync(child, nullptr, 64, 0)),
    ARGS("cdc_data_out_async_null_buffer", FALSE, 0, STATUS_SUCCESS,
         return bus.cdc_data_out_async(child, nullptr, 64, completions::callback, &done, 0)),
    ARGS("cdc_get_functional_descriptor_null_both", STATUS_INVALID_PARAMETER, 0, STATUS_SUCCESS,
         return bus.cdc_get_functional_descriptor(child, 0, nullptr, nullptr)),
    ARGS("cdc_get_string_unknown_index", STATUS_UNSUCCESSFUL, 0, STATUS_SUCCESS, WCHAR text[16];
         UNICODE_STRING string = {0, sizeof(text), text}; USHORT chars = 16;
         return bus.cdc_get_string(child, 0xEE, &string, &chars)),
    ARGS("cdc_data_io_init_out_count_that_doubles_past_32_bits", STATUS_INVALID_PARAMETER, 0, STATUS_SUCCESS,
         return bus.cdc_data_io_init(child, 1, 0x80000000u)),
    ARGS("cdc_data_io_init_more_records_than_a_pool_holds", STATUS_INVALID_PARAMETER, 0, STATUS_SUCCESS,
         return bus.cdc_data_io_init(child, CDC_MAX_POOL_RECORDS + 1, 1)),
    ARGS("cdc_data_io_ctrl_cbs_init_null_everything_but_finals", STATUS_SUCCESS, 0, STATUS_SUCCESS, int ctx;
         NTSTATUS s =
             bus.cdc_data_io_ctrl_cbs_init(child, 0xFFFFFFFF, final_stub, final_stub, nullptr, nullptr, nullptr, &ctx);
         bus.cdc_data_io_ctrl_cbs_uninit(child); return s),
    ARGS("qd_get_configuration_descriptor_copyout_null_buffer", 0x43, 0, STATUS_SUCCESS, USHORT total = 0;
         NTSTATUS s = bus.qd_get_configuration_descriptor_copyout(child, nullptr, &total);
         return s == STATUS_SUCCESS ? total : s),
    ARGS("qd_children_msg_send_null_message", 0, 0, STATUS_SUCCESS, ULONG count = 0x77;
         NTSTATUS s = bus.qd_children_msg_send(child, 0, &count); return s == STATUS_SUCCESS ? count : s),
};

using argument_table = basic_abuse<std::tuple<mode, size_t>>;

TEST_P(argument_table, each_case_has_its_result) {
    const argument_case& c = argument_cases[std::get<1>(GetParam())];
    open_data_path();
    completions done;
    const int64_t result = c.call(bus_, child_, done, *device_);
    EXPECT_EQ(result, c.expected);
    bus_.cdc_inout_purge(child_, TRUE);
    host_->settle();
    ASSERT_TRUE(done.wait_for(c.callbacks));
    EXPECT_EQ(done.all().size(), c.callbacks);
    for (const auto& e : done.all()) EXPECT_EQ(e.status, c.callback_status);
    EXPECT_NE(ReadAcquire(&fdx()->control_req_state), 1);
    bus_.cdc_transport_disable(child_);
    bus_.cdc_data_io_uninit(child_);
    bus_.cdc_data_io_uninit(child_);
    EXPECT_EQ(fdx()->data_io_count, 0);
}

std::vector<std::tuple<mode, size_t>> argument_table_cases() {
    std::vector<std::tuple<mode, size_t>> cases;
    for (mode m : {mode::direct, mode::control}) {
        for (size_t i = 0; i < sizeof(argument_cases) / sizeof(argument_cases[0]); i++) cases.emplace_back(m, i);
    }
    return cases;
}

INSTANTIATE_TEST_SUITE_P(cases, argument_table, ::testing::ValuesIn(argument_table_cases()),
                         [](const ::testing::TestParamInfo<std::tuple<mode, size_t>>& info) {
                             return std::string(std::get<0>(info.param) == mode::direct ? "usb_direct_"
                                                                                        : "control_device_") +
                                    argument_cases[std::get<1>(info.param)].name;
                         });

}  // namespace
}  // namespace cdc::abuse_test
