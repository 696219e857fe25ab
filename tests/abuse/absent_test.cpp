// Every slot with no device behind it: in control-device mode a child kept
// open across a surprise removal; in USB-direct mode a device pulled out
// before Plug and Play has noticed (once it has, the child PDO is gone with
// it and a call through a kept interface is the child driver's own bug check,
// not tested).
#include "abuse/abuse_fixture.h"

namespace cdc::abuse_test {
namespace {

using no_device = abuse;

LONG open_cb(PVOID) { return 1; }
LONG final_cb(PVOID) { return 0; }
LONG msg_cb(PVOID, ULONG_PTR) { return 0; }

TEST_P(no_device, every_slot_of_a_detached_child_has_a_fixed_result) {
    int ctx = 0;
    ASSERT_EQ(bus_.cdc_data_io_ctrl_cbs_init(child_, 1, final_cb, final_cb, open_cb, nullptr, nullptr, &ctx),
              STATUS_SUCCESS);
    open_data_path();
    host_->surprise_remove(device_);
    ASSERT_EQ(pdx()->usb_device, nullptr);
    sim::debugger_clear();

    UCHAR setup[8] = {0xA1, 0x21, 0, 0, 0, 0, 7, 0};
    UCHAR buffer[64] = {};
    ULONG bytes = 0x55;
    ULONG idle = 0x1234;
    ULONG count = 0x77;
    ULONG maxps = 0x99;
    UCHAR length = sizeof(buffer);
    USHORT chars = 0;
    USHORT total = 0x4242;
    UNICODE_STRING string = {0, 0, nullptr};
    USB_DEVICE_DESCRIPTOR device_desc;
    completions done;

    EXPECT_EQ(bus_.class_control_sync(child_, TRUE, 0x21, 0, 7, buffer, &bytes, 0), absent);
    EXPECT_EQ(bus_.generic_control_sync(child_, setup, buffer, 7, &bytes, 0), absent);
    EXPECT_EQ(bus_.class_control_async(child_, TRUE, 0x21, 0, 7, buffer, completions::callback, &done, &bytes, 0),
              absent);
    EXPECT_EQ(bus_.generic_control_async(child_, setup, buffer, 7, completions::callback, &done, &bytes, 0), absent);
    EXPECT_EQ(bus_.cdc_transport_enable(child_), absent);
    EXPECT_EQ(bus_.cdc_transport_disable(child_), absent);
    EXPECT_EQ(bus_.cdc_restart_io_target(child_, FALSE), absent);
    EXPECT_FALSE(bus_.cdc_data_in_async(child_, buffer, 64, completions::callback, &done, 0));
    EXPECT_FALSE(bus_.cdc_data_out_async(child_, buffer, 64, completions::callback, &done, 0));
    EXPECT_FALSE(bus_.cdc_data_in_sync(child_, buffer, 64, 0));
    EXPECT_FALSE(bus_.cdc_data_out_sync(child_, buffer, 64, 0));
    EXPECT_FALSE(bus_.cdc_set_notify_cb(child_, &ctx, [](PVOID, PVOID, ULONG) {}));
    EXPECT_EQ(bus_.cdc_inout_purge(child_, TRUE), absent);
    EXPECT_EQ(bus_.cdc_get_functional_descriptor(child_, 0, buffer, &length), absent);
    EXPECT_EQ(bus_.cdc_get_string(child_, 1, &string, &chars), absent);
    EXPECT_EQ(bus_.qd_get_maxps(child_, &maxps, &maxps, &maxps, nullptr), absent);
    EXPECT_EQ(bus_.cdc_data_io_init(child_, 1, 1), absent);
    EXPECT_EQ(bus_.cdc_data_io_uninit(child_), absent);
    EXPECT_EQ(bus_.qd_reset_device(child_), absent);
    EXPECT_EQ(bus_.dfu_get_functional_descriptor(child_, buffer), absent);
    EXPECT_EQ(bus_.qd_get_func_protocol(child_, buffer), absent);
    EXPECT_EQ(bus_.qd_get_device_descriptor(child_, &device_desc), absent);
    EXPECT_EQ(bus_.qd_get_configuration_descriptor_copyout(child_, buffer, &total), absent);
    EXPECT_EQ(bus_.reserved1(child_), STATUS_SUCCESS);
    EXPECT_EQ(bus_.reserved2(child_), STATUS_SUCCESS);
    EXPECT_EQ(bus_.qd_get_idle_timeout(child_, &idle), absent);
    EXPECT_EQ(bus_.control_request_purge(child_), absent);
    EXPECT_FALSE(bus_.qd_is_ext_ctrl_enabled(child_));
    EXPECT_EQ(bus_.qd_ui_number_get(child_), 0xFFFFFFFFu);
    EXPECT_FALSE(bus_.qd_is_zlp_enabled(child_));
    EXPECT_EQ(bus_.qd_children_msg_send(child_, 1, &count), absent);
    EXPECT_FALSE(bus_.qd_is_idle(child_));
    EXPECT_EQ(bus_.qd_device_wakeup_sync(child_, TRUE), absent);
    EXPECT_EQ(bus_.qd_clear_data(child_), absent);
    EXPECT_EQ(bus_.qd_abort_reads(child_), absent);
    // Not routed: they act on the child's own context.
    bus_.qd_children_msg_set(child_, msg_cb, &ctx);
    EXPECT_EQ(pdx()->children_msg_ctx, &ctx);
    EXPECT_EQ(bus_.qd_notify_child_not_in_use(child_), STATUS_SUCCESS);
    EXPECT_EQ(traced("ctrl_qd_notify_child_not_in_use: try to remove not-in-use childen"), 1u);
    bus_.cdc_data_io_ctrl_cbs_uninit(child_);
    EXPECT_EQ(pdx()->ctrl_cbs_ctx, nullptr);
    EXPECT_EQ(bus_.cdc_data_io_ctrl_cbs_init(child_, 1, final_cb, final_cb, open_cb, nullptr, nullptr, &ctx),
              STATUS_SUCCESS);

    // Nothing stored, nothing called back.
    EXPECT_EQ(bytes, 0x55u);
    EXPECT_EQ(idle, 0x1234u);
    EXPECT_EQ(count, 0x77u);
    EXPECT_EQ(maxps, 0x99u);
    EXPECT_EQ(total, 0x4242u);
    EXPECT_EQ(length, sizeof(buffer));
    EXPECT_EQ(done.all().size(), 0u);
    EXPECT_EQ(traced("ctrl_lock_unlock_usb_device: the USB device is disconnected"), 33u);

    // The child driver closes; its child goes at the next not-in-use report.
    // The interface's reference count is the child's own: not routed.
    bus_.cdc_data_io_ctrl_cbs_uninit(child_);
    const LONG refs = pdx()->cdc_ref_count;
    bus_.header.InterfaceDereference(child_);
    EXPECT_EQ(pdx()->cdc_ref_count, refs - 1);
    EXPECT_EQ(traced("ctrl_lock_unlock_usb_device: the USB device is disconnected"), 33u);
    bus_.header.InterfaceDereference = nullptr;
}

INSTANTIATE_TEST_SUITE_P(modes, no_device, ::testing::Values(mode::control), mode_name);

using pulled_out = abuse;

TEST_P(pulled_out, every_slot_of_an_unplugged_but_not_yet_removed_device_fails_or_answers_from_its_state) {
    int ctx = 0;
    open_data_path();
    ASSERT_TRUE(bus_.cdc_set_notify_cb(child_, &ctx, [](PVOID, PVOID, ULONG) {}));
    device_->set_connected(false);
    sim::debugger_clear();

    UCHAR setup[8] = {0xA1, 0x21, 0, 0, 0, 0, 7, 0};
    UCHAR buffer[64] = {};
    ULONG bytes = 0;
    ULONG idle = 0x1234;
    ULONG count = 0x77;
    ULONG maxps = 0;
    UCHAR length = sizeof(buffer);
    USHORT chars = 16;
    WCHAR text[16];
    UNICODE_STRING string = {0, sizeof(text), text};
    USHORT total = 0;
    USB_DEVICE_DESCRIPTOR device_desc;
    completions done;

    // What needs the wire fails with the framework's status.
    EXPECT_FALSE(NT_SUCCESS(bus_.class_control_sync(child_, TRUE, 0x21, 0, 7, buffer, &bytes, 0)));
    EXPECT_FALSE(NT_SUCCESS(bus_.generic_control_sync(child_, setup, buffer, 7, &bytes, 0)));
    EXPECT_FALSE(bus_.cdc_data_in_sync(child_, buffer, 64, 0));
    EXPECT_FALSE(bus_.cdc_data_out_sync(child_, buffer, 64, 0));
    EXPECT_FALSE(NT_SUCCESS(bus_.cdc_get_string(child_, 1, &string, &chars)));
    // Asynchronous ones are accepted and fail in their callback.
    size_t expected = 0;
    if (NT_SUCCESS(
            bus_.class_control_async(child_, TRUE, 0x21, 0, 7, buffer, completions::callback, &done, &bytes, 0))) {
        expected++;
        ASSERT_TRUE(done.wait_for(expected));
    }
    if (bus_.cdc_data_out_async(child_, buffer, 64, completions::callback, &done, 0)) expected++;
    if (bus_.cdc_data_in_async(child_, buffer, 64, completions::callback, &done, 0)) expected++;
    ASSERT_TRUE(done.wait_for(expected));
    for (const auto& e : done.all()) EXPECT_FALSE(NT_SUCCESS(e.status));
    // What the driver keeps answers from its state.
    EXPECT_EQ(bus_.cdc_get_functional_descriptor(child_, 0, buffer, &length), STATUS_SUCCESS);
    EXPECT_EQ(bus_.qd_get_maxps(child_, &maxps, nullptr, nullptr, nullptr), STATUS_SUCCESS);
    EXPECT_EQ(maxps, 16u);
    EXPECT_EQ(bus_.qd_get_func_protocol(child_, buffer), STATUS_SUCCESS);
    EXPECT_EQ(bus_.qd_get_device_descriptor(child_, &device_desc), STATUS_SUCCESS);
    EXPECT_EQ(bus_.qd_get_configuration_descriptor_copyout(child_, nullptr, &total), STATUS_SUCCESS);
    EXPECT_EQ(bus_.qd_get_idle_timeout(child_, &idle), STATUS_SUCCESS);
    EXPECT_EQ(bus_.dfu_get_functional_descriptor(child_, buffer), STATUS_NOT_FOUND);
    EXPECT_NE(bus_.qd_ui_number_get(child_), 0xFFFFFFFFu);
    EXPECT_EQ(bus_.qd_children_msg_send(child_, 1, &count), STATUS_SUCCESS);
    EXPECT_EQ(bus_.qd_device_wakeup_sync(child_, FALSE), STATUS_SUCCESS);
    EXPECT_EQ(bus_.cdc_inout_purge(child_, TRUE), STATUS_SUCCESS);
    EXPECT_EQ(bus_.cdc_inout_purge(child_, FALSE), STATUS_SUCCESS);
    EXPECT_EQ(bus_.qd_abort_reads(child_), STATUS_NO_SUCH_DEVICE);
    EXPECT_EQ(bus_.control_request_purge(child_), STATUS_SUCCESS);
    EXPECT_FALSE(NT_SUCCESS(bus_.qd_clear_data(child_)));
    EXPECT_FALSE(NT_SUCCESS(bus_.cdc_restart_io_target(child_, TRUE)));
    EXPECT_FALSE(NT_SUCCESS(bus_.qd_reset_device(child_)));
    EXPECT_EQ(bus_.qd_notify_child_not_in_use(child_), STATUS_SUCCESS);
    EXPECT_EQ(bus_.reserved1(child_), STATUS_SUCCESS);
    EXPECT_EQ(bus_.reserved2(child_), STATUS_SUCCESS);
    host_->settle();
    // The child driver takes back what it set up, then Plug and Play notices.
    EXPECT_TRUE(bus_.cdc_set_notify_cb(child_, nullptr, nullptr));
    EXPECT_EQ(bus_.cdc_transport_disable(child_), STATUS_SUCCESS);
    EXPECT_EQ(bus_.cdc_data_io_uninit(child_), STATUS_SUCCESS);
    bus_.header.InterfaceDereference(child_);
    bus_.header.InterfaceDereference = nullptr;
    host_->surprise_remove(device_);
    EXPECT_TRUE(stack_->removed());
}

INSTANTIATE_TEST_SUITE_P(modes, pulled_out, ::testing::Values(mode::direct, mode::control), mode_name);

}  // namespace
}  // namespace cdc::abuse_test
