// The registry override configures a device the automatic detection rejects:
// configuration, interfaces, endpoints and alternate settings by number.
#include "enum/enum_fixture.h"

namespace cdc::enum_test {
namespace {

// Automatic detection finds the ACM communication interface but no CDC data
// interface among several, and gives up.
descriptor_builder& rejected_function(descriptor_builder& b, bool notify = true) {
    b.interface(0, 0, USB_DEVICE_CLASS_COMMUNICATIONS, 2, 1);
    if (notify) b.endpoint(0x83, ep::interrupt, 16, 16);
    b.interface(1, 0, USB_DEVICE_CLASS_VENDOR_SPECIFIC, 0, 0).endpoint(0x81, ep::bulk, 64).endpoint(0x01, ep::bulk, 64);
    return b;
}

descriptor_set rejected_device(bool notify = true) {
    descriptor_builder b;
    b.device(test_vendor, 0x0130).configuration();
    return rejected_function(b, notify).build();
}

// The same with a data interface whose default setting is empty.
descriptor_set rejected_switched_device() {
    return descriptor_builder()
        .device(test_vendor, 0x0131)
        .configuration()
        .interface(0, 0, USB_DEVICE_CLASS_COMMUNICATIONS, 2, 1)
        .endpoint(0x83, ep::interrupt, 16, 16)
        .interface(1, 0, USB_DEVICE_CLASS_VENDOR_SPECIFIC, 0, 0)
        .interface(1, 1, USB_DEVICE_CLASS_VENDOR_SPECIFIC, 0, 0)
        .endpoint(0x82, ep::bulk, 512)
        .endpoint(0x02, ep::bulk, 512)
        .build();
}

class registry_override : public enum_fixture {
 protected:
    void required(uint32_t configuration, uint32_t data_interface, uint32_t in_ep, uint32_t out_ep) {
        set_value("Configuration", configuration);
        set_value("DataInterface", data_interface);
        set_value("DataInEp", in_ep);
        set_value("DataOutEp", out_ep);
    }

    // The configuration descriptor requests the device received, as (index, wLength).
    std::vector<std::pair<int, int>> configuration_reads() const {
        std::vector<std::pair<int, int>> out;
        for (const auto& setup : requests(USB_REQUEST_GET_DESCRIPTOR)) {
            if (setup.wValue >> 8 == USB_CONFIGURATION_DESCRIPTOR_TYPE)
                out.push_back({setup.wValue & 0xff, setup.wLength});
        }
        return out;
    }
};

TEST_F(registry_override, four_required_values_configure_without_switching) {
    required(1, 1, 0x81, 0x01);
    DEVICE_CONTEXT* fdx = plug_started(rejected_device());
    ASSERT_NE(fdx, nullptr);

    EXPECT_TRUE(traced("Use registry override"));
    const char* dump[] = {"usb_cdc_select_interfaces_override:",
                          " configuration 1",
                          " data ifc 1",
                          " alt enable 0",
                          " alt disable 0",
                          " in ep 81",
                          " out ep 01",
                          " comm ifc ffffffff",
                          " notify ep ffffffff"};
    std::vector<std::string> lines = sim::debugger_lines();
    auto at = std::find(lines.begin(), lines.end(), dump[0]);
    ASSERT_NE(at, lines.end());
    for (const char* line : dump) {
        ASSERT_NE(at, lines.end());
        EXPECT_EQ(*at++, line);
    }
    EXPECT_EQ(traced_with("usb_cdc_select_interfaces_override: num_interfaces ").size(), 1u);
    EXPECT_TRUE(traced("usb_select_configuration: ok"));
    EXPECT_TRUE(traced("usb_cdc_select_interfaces_override: device configured ok"));

    EXPECT_EQ(fdx->cdc_override_configuration, 1);
    ASSERT_NE(fdx->usb_ifc_data, nullptr);
    EXPECT_EQ(interface_number(fdx->usb_ifc_data), 1);
    EXPECT_EQ(fdx->usb_ifc_comm, nullptr);
    EXPECT_EQ(fdx->pipe_comm_notify, nullptr);
    EXPECT_EQ(fdx->notify_ep, no_endpoint);
    EXPECT_EQ(fdx->alt_enable, 0u);
    EXPECT_EQ(fdx->alt_disable, 0u);
    ASSERT_NE(fdx->pipe_data_in, nullptr);
    ASSERT_NE(fdx->pipe_data_out, nullptr);
    EXPECT_EQ(endpoint_of(fdx->pipe_data_in), 0x81);
    EXPECT_EQ(endpoint_of(fdx->pipe_data_out), 0x01);
    EXPECT_EQ(fdx->data_in_maxps, 64u);
    EXPECT_EQ(fdx->data_out_maxps, 64u);
    // The enable made the control request record; the start then reset the count.
    EXPECT_NE(fdx->control_req_mem, nullptr);
    EXPECT_EQ(fdx->enable_count, 0);
    EXPECT_EQ(fdx->io_enabled, 1);

    // The header first for wTotalLength, then the whole configuration; no
    // setting switched.
    std::vector<std::pair<int, int>> reads = configuration_reads();
    ASSERT_GE(reads.size(), 2u);
    EXPECT_EQ(reads[reads.size() - 2], std::make_pair(0, 9));
    EXPECT_EQ(reads.back(), std::make_pair(0, int(rejected_device().configurations[0].size())));
    EXPECT_FALSE(requests(USB_REQUEST_SET_CONFIGURATION).empty());
    EXPECT_TRUE(requests(USB_REQUEST_SET_INTERFACE).empty());
    EXPECT_EQ(device_->configuration(), 1);
}

// Without a communication interface there is no interface to address class
// requests to: the child hears that the configuration lacks it, not that the
// device is gone.
TEST_F(registry_override, class_requests_without_a_communication_interface_are_a_configuration_error) {
    required(1, 1, 0x81, 0x01);
    sim::device_stack* stack = plug(rejected_device());
    ASSERT_NE(stack, nullptr);
    auto children = host_->children(*stack);
    ASSERT_EQ(children.size(), 1u);
    CDC_BUS_INTERFACE bus;
    ASSERT_EQ(sim::query_interface(children[0].device, GUID_CDC_BUS_INTERFACE, reinterpret_cast<PINTERFACE>(&bus),
                                   sizeof(bus), CDC_BUS_INTERFACE_VERSION, const_cast<char*>(CDC_BUS_DRIVER_VERSION)),
              STATUS_SUCCESS);
    UCHAR coding[7] = {};
    ULONG bytes = 0;
    EXPECT_EQ(bus.class_control_sync(children[0].device, TRUE, 0x21, 0, 7, coding, &bytes, 0),
              STATUS_DEVICE_CONFIGURATION_ERROR);
    EXPECT_TRUE(traced("usb_class_control: no USB COMM interface"));
    bus.header.InterfaceDereference(bus.header.Context);
}

TEST_F(registry_override, without_values_the_start_fails_with_invalid_parameter) {
    EXPECT_EQ(plug_status(rejected_device()), STATUS_INVALID_PARAMETER);
    EXPECT_TRUE(traced("Use registry override"));
    EXPECT_FALSE(traced("usb_cdc_select_interfaces_override:"));
}

class registry_override_missing : public registry_override, public ::testing::WithParamInterface<const char*> {};

// The reading stops at the first missing required value, before anything is
// selected.
TEST_P(registry_override_missing, required_value_missing_fails_with_invalid_parameter) {
    const std::pair<const char*, uint32_t> all[] = {
        {"Configuration", 1}, {"DataInterface", 1}, {"DataInEp", 0x81}, {"DataOutEp", 0x01}};
    for (const auto& [name, value] : all) {
        if (std::string(name) != GetParam()) set_value(name, value);
    }
    EXPECT_EQ(plug_status(rejected_device()), STATUS_INVALID_PARAMETER);
    EXPECT_FALSE(traced("usb_cdc_select_interfaces_override:"));
    EXPECT_FALSE(traced("usb_select_configuration: 1"));
}

INSTANTIATE_TEST_SUITE_P(each, registry_override_missing,
                         ::testing::Values("Configuration", "DataInterface", "DataInEp", "DataOutEp"));

TEST_F(registry_override, comm_interface_equal_to_data_interface_serves_as_both) {
    required(1, 0, 0x81, 0x02);
    set_value("CommInterface", 0);
    set_value("NotifyEp", 0x83);
    // Four endpoints: too many for the proprietary layout.
    DEVICE_CONTEXT* fdx = plug_started(descriptor_builder()
                                           .device(test_vendor, 0x0132)
                                           .configuration()
                                           .interface(0, 0, USB_DEVICE_CLASS_VENDOR_SPECIFIC, 0, 0)
                                           .endpoint(0x81, ep::bulk, 64)
                                           .endpoint(0x02, ep::bulk, 64)
                                           .endpoint(0x83, ep::interrupt, 16, 1)
                                           .endpoint(0x04, ep::bulk, 64)
                                           .build());
    ASSERT_NE(fdx, nullptr);
    EXPECT_TRUE(
        traced("usb_qd_cdc_config_proprietary: Not a CDC proprietary device. Interface has 4 pipes instead "
               "of 2 or 3"));
    EXPECT_NE(fdx->usb_ifc_data, nullptr);
    EXPECT_EQ(fdx->usb_ifc_comm, fdx->usb_ifc_data);
    ASSERT_NE(fdx->pipe_comm_notify, nullptr);
    EXPECT_EQ(endpoint_of(fdx->pipe_comm_notify), 0x83);
    EXPECT_EQ(endpoint_of(fdx->pipe_data_out), 0x02);
}

// "NotifyEp" only says there is a notification pipe: the interrupt IN pipe of
// the communication interface is taken, with its own address.
TEST_F(registry_override, notify_ep_takes_the_address_of_the_interrupt_pipe) {
    required(1, 1, 0x81, 0x01);
    set_value("CommInterface", 0);
    set_value("NotifyEp", 0x85);
    DEVICE_CONTEXT* fdx = plug_started(rejected_device());
    ASSERT_NE(fdx, nullptr);
    EXPECT_TRUE(traced(" notify ep 85"));
    ASSERT_NE(fdx->usb_ifc_comm, nullptr);
    EXPECT_EQ(interface_number(fdx->usb_ifc_comm), 0);
    ASSERT_NE(fdx->pipe_comm_notify, nullptr);
    EXPECT_EQ(endpoint_of(fdx->pipe_comm_notify), 0x83);
    EXPECT_EQ(fdx->notify_ep, 0x83u);
    EXPECT_EQ(fdx->notify_maxps, 16u);
}

TEST_F(registry_override, notify_ep_without_interrupt_pipe_fails) {
    required(1, 1, 0x81, 0x01);
    set_value("CommInterface", 0);
    set_value("NotifyEp", 0x83);
    EXPECT_EQ(plug_status(rejected_device(false)), STATUS_INVALID_DEVICE_STATE);
    EXPECT_TRUE(traced("usb_cdc_select_interfaces_override: notification endpoint not found"));
}

TEST_F(registry_override, notify_ep_without_comm_interface_looks_nothing_up) {
    required(1, 1, 0x81, 0x01);
    set_value("NotifyEp", 0x83);
    DEVICE_CONTEXT* fdx = plug_started(rejected_device());
    ASSERT_NE(fdx, nullptr);
    EXPECT_EQ(fdx->usb_ifc_comm, nullptr);
    EXPECT_EQ(fdx->pipe_comm_notify, nullptr);
    EXPECT_EQ(fdx->notify_ep, 0x83u);
}

// Two configurations: the first is rejected by the automatic detection, the
// second is what the override names.
descriptor_set two_configurations(bool second_has_data_interface) {
    descriptor_builder b;
    b.device(test_vendor, 0x0133).configuration(1);
    rejected_function(b);
    b.configuration(2).interface(0, 0, USB_DEVICE_CLASS_COMMUNICATIONS, 2, 1).endpoint(0x83, ep::interrupt, 16, 16);
    if (second_has_data_interface) {
        b.interface(1, 0, USB_DEVICE_CLASS_VENDOR_SPECIFIC, 0, 0)
            .endpoint(0x84, ep::bulk, 64)
            .endpoint(0x04, ep::bulk, 64);
    }
    return b.build();
}

TEST_F(registry_override, second_configuration_is_read_and_selected) {
    required(2, 1, 0x84, 0x04);
    set_value("CommInterface", 0);
    DEVICE_CONTEXT* fdx = plug_started(two_configurations(true));
    ASSERT_NE(fdx, nullptr);
    EXPECT_TRUE(traced("usb_get_configuration_descriptor: entered, configuration 2"));
    EXPECT_EQ(configuration_reads().back().first, 1);
    EXPECT_EQ(device_->configuration(), 2);
    auto* config = static_cast<PUSB_CONFIGURATION_DESCRIPTOR>(fdx->config_desc);
    EXPECT_EQ(config->bConfigurationValue, 2);
    EXPECT_EQ(+config->wTotalLength, two_configurations(true).configurations[1].size());
    EXPECT_EQ(endpoint_of(fdx->pipe_data_in), 0x84);
}

TEST_F(registry_override, second_configuration_lacking_the_data_interface) {
    required(2, 1, 0x84, 0x04);
    set_value("CommInterface", 0);
    EXPECT_EQ(plug_status(two_configurations(false)), STATUS_DEVICE_CONFIGURATION_ERROR);
    EXPECT_TRUE(traced("usb_select_configuration: descriptors number expected 2, found 1"));
    EXPECT_NE(device_->configuration(), 2);
}

TEST_F(registry_override, configuration_0_asks_for_descriptor_index_255) {
    required(0, 1, 0x81, 0x01);
    EXPECT_EQ(plug_status(rejected_device()), STATUS_DEVICE_CONFIGURATION_ERROR);
    EXPECT_EQ(configuration_reads().back(), std::make_pair(255, 9));
    EXPECT_EQ(traced_with("usb_get_configuration_descriptor: failed, status ").size(), 1u);
}

TEST_F(registry_override, no_interface_named_still_reads_the_configuration) {
    required(1, 0xFFFFFFFF, 0x81, 0x01);
    EXPECT_EQ(plug_status(rejected_device()), STATUS_DEVICE_CONFIGURATION_ERROR);
    EXPECT_TRUE(traced("usb_select_configuration: config error num_interface_desc 0"));
    EXPECT_TRUE(traced("usb_get_configuration_descriptor: entered, configuration 1"));
}

TEST_F(registry_override, only_the_communication_interface_named_has_no_data_interface) {
    required(1, 0xFFFFFFFF, 0x81, 0x01);
    set_value("CommInterface", 0);
    EXPECT_EQ(plug_status(rejected_device()), STATUS_INVALID_DEVICE_STATE);
    EXPECT_FALSE(traced("usb_select_configuration: config error num_interface_desc 0"));
    EXPECT_TRUE(traced("usb_cdc_select_interfaces_override: interface not found"));
}

TEST_F(registry_override, alternate_enable_1_leaves_the_data_interface_at_setting_1) {
    required(1, 1, 0x82, 0x02);
    set_value("DataAlternateEnable", 1);
    set_value("DataAlternateDisable", 0);
    set_value("CommInterface", 0);
    set_value("NotifyEp", 0x83);
    DEVICE_CONTEXT* fdx = plug_started(rejected_switched_device());
    ASSERT_NE(fdx, nullptr);
    EXPECT_TRUE(
        traced("usb_cdc_enable_disable: entered, enable 1, toggle_alt_setting 1, cdc_override_configuration 1"));
    EXPECT_TRUE(traced("usb_cdc_enable_disable: select alt 1"));
    std::vector<sim::usb::setup_packet> settings = requests(USB_REQUEST_SET_INTERFACE);
    ASSERT_EQ(settings.size(), 1u);
    EXPECT_EQ(settings[0].wValue, 1);
    EXPECT_EQ(settings[0].wIndex, 1);
    EXPECT_EQ(device_->alternate_setting(1), 1);
    ASSERT_NE(fdx->pipe_data_in, nullptr);
    EXPECT_EQ(endpoint_of(fdx->pipe_data_in), 0x82);
    EXPECT_EQ(fdx->data_in_maxps, 512u);
    ASSERT_NE(fdx->pipe_comm_notify, nullptr);
    EXPECT_EQ(endpoint_of(fdx->pipe_comm_notify), 0x83);
    EXPECT_NE(fdx->notify_req_mem, nullptr);
}

TEST_F(registry_override, equal_alternate_settings_never_switch) {
    required(1, 1, 0x82, 0x02);
    set_value("DataAlternateEnable", 1);
    set_value("DataAlternateDisable", 1);
    // Setting 0 has no endpoints, so the data pipes cannot be found.
    EXPECT_EQ(plug_status(rejected_switched_device()), STATUS_INVALID_DEVICE_STATE);
    EXPECT_TRUE(requests(USB_REQUEST_SET_INTERFACE).empty());
    EXPECT_TRUE(traced("usb_cdc_enable_disable: data in/out endpoints not found"));
    EXPECT_TRUE(traced("usb_cdc_select_interfaces_override: Failed to enable CDC device, status c0000001"));
}

TEST_F(registry_override, missing_alternate_setting_fails_the_enable) {
    required(1, 1, 0x82, 0x02);
    set_value("DataAlternateEnable", 2);
    EXPECT_EQ(plug_status(rejected_switched_device()), STATUS_INVALID_DEVICE_STATE);
    EXPECT_EQ(traced_with("usb_cdc_enable_disable: failed setting alt 2, status 0x").size(), 1u);
    EXPECT_TRUE(traced("usb_cdc_select_interfaces_override: Failed to enable CDC device, status c0000001"));
}

TEST_F(registry_override, selection_refused_by_the_device_is_returned) {
    required(1, 1, 0x81, 0x01);
    descriptor_set set = rejected_device();
    for (const auto& [name, value] : values_) host_->registry().set_dword(hardware_key(set), name, value);
    device_ = std::make_shared<sim::usb::device>(set);
    device_->fail_next_control(sim::usb::match::set_configuration);
    sim::plug_options options;
    options.whole_device = true;
    std::vector<sim::device_stack*> stacks = host_->plug(device_, options);
    ASSERT_EQ(stacks.size(), 1u);
    EXPECT_FALSE(NT_SUCCESS(stacks[0]->start_status()));
    EXPECT_NE(stacks[0]->start_status(), STATUS_INVALID_DEVICE_STATE);
    EXPECT_EQ(traced_with("usb_select_configuration: WdfUsbTargetDeviceSelectConfig failed ").size(), 1u);
}

}  // namespace
}  // namespace cdc::enum_test
