// The driver's USB function device through idle and system sleep: a
// remote-wake device with an idle time-out idles and comes back, one without
// stays in D0, and sleep and resume go through its power callbacks.
#include "tests/enum/enum_fixture.h"

namespace cdc::enum_test {
namespace {

namespace catalogue = sim::usb::catalogue;

using strings = std::vector<std::string>;

class usb_power : public enum_fixture {
 protected:
    WDFDEVICE plug_modem(bool remote_wakeup = true) {
        catalogue::device_options options;
        options.remote_wakeup = remote_wakeup;
        sim::device_stack* stack = plug(catalogue::acm_modem(options));
        if (stack == nullptr) return nullptr;
        EXPECT_EQ(stack->start_status(), STATUS_SUCCESS);
        stack_ = stack;
        return stack->device();
    }

    strings events_since(size_t from) const {
        const auto& all = stack_->events();
        return strings(all.begin() + static_cast<long>(from), all.end());
    }

    sim::device_stack* stack_ = nullptr;
};

TEST_F(usb_power, a_remote_wake_device_with_an_idle_timeout_idles_and_wakes) {
    set_value("IdleTimeout", 5);
    WDFDEVICE device = plug_modem();
    ASSERT_NE(device, nullptr);
    sim::debugger_clear();

    ASSERT_TRUE(host_->idle(device));
    EXPECT_EQ(host_->power_state(device), WdfPowerDeviceD2);
    EXPECT_TRUE(traced("usb_evt_dev_self_managed_io_suspend: Stopped control request after 0 attempts"));
    auto* fdx = static_cast<DEVICE_CONTEXT*>(stack_->context("DEVICE_CONTEXT"));
    ASSERT_NE(fdx, nullptr);
    EXPECT_EQ(fdx->d0_exited, 1);
    EXPECT_EQ(fdx->io_enabled, 0);

    size_t mark = stack_->events().size();
    ASSERT_EQ(WdfDeviceStopIdle(device, TRUE), STATUS_SUCCESS);
    WdfDeviceResumeIdle(device);
    EXPECT_EQ(host_->power_state(device), WdfPowerDeviceD0);
    EXPECT_EQ(fdx->d0_exited, 0);
    EXPECT_EQ(fdx->io_enabled, 1);
    strings back = events_since(mark);
    ASSERT_FALSE(back.empty());
    EXPECT_EQ(back.front(), "d0_entry(D2)");
}

// A child's clearing of the data pipes wakes an idle device before it resets
// them: the resets reach the device.
TEST_F(usb_power, clearing_the_data_pipes_of_an_idle_device_wakes_it_first) {
    set_value("IdleTimeout", 5);
    WDFDEVICE device = plug_modem();
    ASSERT_NE(device, nullptr);
    std::vector<sim::child_info> kids = host_->children(*stack_);
    ASSERT_EQ(kids.size(), 1u);
    WDFDEVICE child = kids[0].device;
    CDC_BUS_INTERFACE bus;
    ASSERT_EQ(sim::query_interface(child, GUID_CDC_BUS_INTERFACE, reinterpret_cast<PINTERFACE>(&bus), sizeof(bus),
                                   CDC_BUS_INTERFACE_VERSION, const_cast<char*>(CDC_BUS_DRIVER_VERSION)),
              STATUS_SUCCESS);
    ASSERT_EQ(bus.cdc_data_io_init(child, 1, 1), STATUS_SUCCESS);
    ASSERT_EQ(bus.cdc_transport_enable(child), STATUS_SUCCESS);
    ASSERT_TRUE(host_->idle(device));
    ASSERT_EQ(host_->power_state(device), WdfPowerDeviceD2);
    device_->clear_traffic();

    EXPECT_EQ(bus.qd_clear_data(child), STATUS_SUCCESS);
    EXPECT_EQ(host_->power_state(device), WdfPowerDeviceD0);
    auto clears = device_->control_traffic(sim::usb::match::clear_feature);
    ASSERT_EQ(clears.size(), 2u);
    EXPECT_EQ(clears[0].packet().wIndex, 0x82);
    EXPECT_EQ(clears[1].packet().wIndex, 0x02);
    EXPECT_EQ(bus.cdc_transport_disable(child), STATUS_SUCCESS);
    EXPECT_EQ(bus.cdc_data_io_uninit(child), STATUS_SUCCESS);
    bus.header.InterfaceDereference(bus.header.Context);
}

// The suspend shuts the control channel, the restart opens it again: back in
// D0 a child's control transfer goes out.
TEST_F(usb_power, control_transfers_go_out_again_once_an_idle_device_is_back) {
    set_value("IdleTimeout", 5);
    WDFDEVICE device = plug_modem();
    ASSERT_NE(device, nullptr);
    std::vector<sim::child_info> kids = host_->children(*stack_);
    ASSERT_EQ(kids.size(), 1u);
    WDFDEVICE child = kids[0].device;
    CDC_BUS_INTERFACE bus;
    ASSERT_EQ(sim::query_interface(child, GUID_CDC_BUS_INTERFACE, reinterpret_cast<PINTERFACE>(&bus), sizeof(bus),
                                   CDC_BUS_INTERFACE_VERSION, const_cast<char*>(CDC_BUS_DRIVER_VERSION)),
              STATUS_SUCCESS);
    ASSERT_TRUE(host_->idle(device));
    ASSERT_EQ(WdfDeviceStopIdle(device, TRUE), STATUS_SUCCESS);
    ASSERT_EQ(host_->power_state(device), WdfPowerDeviceD0);
    device_->clear_traffic();
    // SET_CONTROL_LINE_STATE, DTR and RTS: the channel takes it and it reaches
    // the device (whose answer is its own).
    EXPECT_NE(bus.class_control_sync(child, FALSE, 0x22, 3, 0, nullptr, nullptr, 0), STATUS_DEVICE_BUSY);
    auto sent = device_->control_traffic(sim::usb::match::class_or_vendor);
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].packet().bRequest, 0x22);
    WdfDeviceResumeIdle(device);
    bus.header.InterfaceDereference(bus.header.Context);
}

// Idle settings the framework refuses fail the start with its status.
TEST_F(usb_power, refused_idle_settings_fail_the_start) {
    set_value("IdleTimeout", 5);
    sim::fault_fail_nth("WdfDeviceAssignS0IdleSettings", 1);
    catalogue::device_options options;
    options.remote_wakeup = true;
    sim::device_stack* stack = plug(catalogue::acm_modem(options));
    sim::fault_reset();
    ASSERT_NE(stack, nullptr);
    EXPECT_EQ(stack->start_status(), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_TRUE(traced("WdfDeviceAssignS0IdleSettings failed c000009a"));
}

TEST_F(usb_power, without_an_idle_timeout_the_device_does_not_idle) {
    WDFDEVICE device = plug_modem();
    ASSERT_NE(device, nullptr);
    EXPECT_FALSE(host_->idle(device));
    EXPECT_EQ(host_->power_state(device), WdfPowerDeviceD0);
}

TEST_F(usb_power, a_device_without_remote_wake_gets_no_idle_settings) {
    set_value("IdleTimeout", 5);
    WDFDEVICE device = plug_modem(false);
    ASSERT_NE(device, nullptr);
    EXPECT_FALSE(host_->idle(device));
}

TEST_F(usb_power, transfers_to_an_idle_device_fail_without_reaching_it) {
    set_value("IdleTimeout", 5);
    WDFDEVICE device = plug_modem();
    ASSERT_NE(device, nullptr);
    auto* fdx = static_cast<DEVICE_CONTEXT*>(stack_->context("DEVICE_CONTEXT"));
    ASSERT_NE(fdx, nullptr);
    ASSERT_TRUE(host_->idle(device));
    size_t before = device_->control_traffic().size();

    USB_DEVICE_DESCRIPTOR descriptor{};
    WDF_MEMORY_DESCRIPTOR memory;
    WDF_MEMORY_DESCRIPTOR_INIT_BUFFER(&memory, &descriptor, sizeof(descriptor));
    WDF_USB_CONTROL_SETUP_PACKET setup;
    WDF_USB_CONTROL_SETUP_PACKET_INIT(&setup, BmRequestDeviceToHost, BmRequestToDevice, USB_REQUEST_GET_DESCRIPTOR,
                                      USB_DEVICE_DESCRIPTOR_TYPE << 8, 0);
    EXPECT_EQ(
        WdfUsbTargetDeviceSendControlTransferSynchronously(fdx->usb_device, nullptr, nullptr, &setup, &memory, nullptr),
        STATUS_DEVICE_NOT_READY);
    EXPECT_EQ(device_->control_traffic().size(), before);

    ASSERT_EQ(WdfDeviceStopIdle(device, TRUE), STATUS_SUCCESS);
    EXPECT_EQ(
        WdfUsbTargetDeviceSendControlTransferSynchronously(fdx->usb_device, nullptr, nullptr, &setup, &memory, nullptr),
        STATUS_SUCCESS);
    WdfDeviceResumeIdle(device);
}

// The child's function driver, its power policy owner, arms it for wake.
class arming_driver : public sim::function_driver {
 public:
    std::string name() const override { return "arming"; }
    NTSTATUS open() override { return STATUS_SUCCESS; }
    void close() override {}
    bool is_open() const override { return false; }
    bool arms_for_wake() const override { return true; }
};

TEST_F(usb_power, a_child_armed_for_wake_is_woken_when_its_parent_returns_to_d0) {
    host_->register_function_driver("usbcdcacm\\VID_1234&PID_0001",
                                    [](WDFDEVICE) { return std::make_unique<arming_driver>(); });
    set_value("IdleTimeout", 5);
    WDFDEVICE device = plug_modem();
    ASSERT_NE(device, nullptr);
    std::vector<sim::child_info> kids = host_->children(*stack_);
    ASSERT_EQ(kids.size(), 1u);
    WDFDEVICE child = kids[0].device;

    ASSERT_TRUE(host_->idle(device));
    EXPECT_EQ(host_->power_state(child), WdfPowerDeviceD3);
    sim::debugger_clear();
    // The parent's return to D0 scans its children: the driver completes
    // the child's wait-wake, and the child follows its parent into D0.
    ASSERT_EQ(WdfDeviceStopIdle(device, TRUE), STATUS_SUCCESS);
    WdfDeviceResumeIdle(device);
    host_->settle();
    EXPECT_EQ(host_->power_state(child), WdfPowerDeviceD0);
    std::vector<std::string> steps = host_->children(*stack_)[0].events;
    EXPECT_NE(std::find(steps.begin(), steps.end(), "wake_signalled"), steps.end());
    EXPECT_TRUE(traced_with("usb_evt_scan_for_children: WdfDeviceIndicateWakeStatus Failed").empty());
}

TEST_F(usb_power, a_child_not_armed_stays_idle_when_its_parent_returns_to_d0) {
    set_value("IdleTimeout", 5);
    WDFDEVICE device = plug_modem();
    ASSERT_NE(device, nullptr);
    std::vector<sim::child_info> kids = host_->children(*stack_);
    ASSERT_EQ(kids.size(), 1u);
    ASSERT_TRUE(host_->idle(device));
    sim::debugger_clear();
    ASSERT_EQ(WdfDeviceStopIdle(device, TRUE), STATUS_SUCCESS);
    WdfDeviceResumeIdle(device);
    host_->settle();
    EXPECT_EQ(host_->power_state(kids[0].device), WdfPowerDeviceD3);
    EXPECT_EQ(traced_count("usb_evt_scan_for_children: WdfDeviceIndicateWakeStatus Failed c0000010. Probably the "
                           "child was already waken up"),
              1u);
}

TEST_F(usb_power, sleep_and_resume_in_usb_direct_mode) {
    set_value("IdleTimeout", 5);
    WDFDEVICE device = plug_modem();
    ASSERT_NE(device, nullptr);
    auto* fdx = static_cast<DEVICE_CONTEXT*>(stack_->context("DEVICE_CONTEXT"));
    ASSERT_NE(fdx, nullptr);
    sim::debugger_clear();

    ASSERT_EQ(host_->sleep(), STATUS_SUCCESS);
    EXPECT_EQ(host_->power_state(device), WdfPowerDeviceD2) << "armed for wake";
    EXPECT_EQ(fdx->d0_exited, 1);
    ASSERT_EQ(host_->resume(), STATUS_SUCCESS);
    EXPECT_EQ(host_->power_state(device), WdfPowerDeviceD0);
    EXPECT_EQ(fdx->d0_exited, 0);
    EXPECT_EQ(fdx->io_enabled, 1);
    EXPECT_FALSE(traced_with("usb_evt_device_d0_entry: coming from WdfPowerDeviceD2,").empty());
    // The power action the driver traced in its self-managed I/O callbacks: PowerActionSleep (2).
    strings powered = traced_with("-->device=");
    ASSERT_EQ(powered.size(), 2u);
    for (const std::string& line : powered) EXPECT_NE(line.find(" power=2 "), std::string::npos) << line;
}

}  // namespace
}  // namespace cdc::enum_test
