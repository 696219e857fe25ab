// Configuration and setting selection: what each kind selects, the
// requests the device sees, the pipes that result, endpoint information per
// setting, and devices that refuse.
#include <cstring>

#include "usb_test_support.h"

struct pipe_context {
    int cleanups;
};
WDF_DECLARE_CONTEXT_TYPE(pipe_context);

namespace usb_test {
namespace {

using sim::usb::catalogue::acm_modem;
using sim::usb::catalogue::ecm_adapter;
using sim::usb::catalogue::vendor_serial_3ep;

std::vector<uint8_t> pipe_addresses(WDFUSBINTERFACE itf) {
    std::vector<uint8_t> out;
    for (UCHAR i = 0; i < WdfUsbInterfaceGetNumConfiguredPipes(itf); ++i) {
        WDF_USB_PIPE_INFORMATION info;
        WDF_USB_PIPE_INFORMATION_INIT(&info);
        EXPECT_NE(WdfUsbInterfaceGetConfiguredPipe(itf, i, &info), nullptr);
        out.push_back(info.EndpointAddress);
    }
    return out;
}

class select_config : public usb_host_test {
 protected:
    WDFUSBINTERFACE itf(WDFUSBDEVICE usb, UCHAR index) { return WdfUsbTargetDeviceGetInterface(usb, index); }
};

TEST_F(select_config, single_interface_selects_setting_zero_and_fills_its_outputs) {
    WDFUSBDEVICE usb = create(vendor_serial_3ep());
    device_->clear_traffic();
    WDF_USB_DEVICE_SELECT_CONFIG_PARAMS params;
    WDF_USB_DEVICE_SELECT_CONFIG_PARAMS_INIT_SINGLE_INTERFACE(&params);
    ASSERT_EQ(WdfUsbTargetDeviceSelectConfig(usb, WDF_NO_OBJECT_ATTRIBUTES, &params), STATUS_SUCCESS);
    EXPECT_EQ(params.Types.SingleInterface.ConfiguredUsbInterface, itf(usb, 0));
    EXPECT_EQ(params.Types.SingleInterface.NumberConfiguredPipes, 3);
    EXPECT_EQ(pipe_addresses(itf(usb, 0)), (std::vector<uint8_t>{0x82, 0x02, 0x81}));
    EXPECT_EQ(device_->configuration(), 1);

    std::vector<transfer_record> traffic = control_traffic();
    ASSERT_EQ(traffic.size(), 1u);
    EXPECT_EQ(traffic[0].setup[0], 0x00);
    EXPECT_EQ(traffic[0].setup[1], USB_REQUEST_SET_CONFIGURATION);
    EXPECT_EQ(traffic[0].packet().wValue, 1);
}

TEST_F(select_config, single_interface_on_a_multi_interface_device_is_refused) {
    WDFUSBDEVICE usb = create(acm_modem());
    device_->clear_traffic();
    WDF_USB_DEVICE_SELECT_CONFIG_PARAMS params;
    WDF_USB_DEVICE_SELECT_CONFIG_PARAMS_INIT_SINGLE_INTERFACE(&params);
    EXPECT_EQ(WdfUsbTargetDeviceSelectConfig(usb, WDF_NO_OBJECT_ATTRIBUTES, &params), STATUS_INVALID_PARAMETER);
    EXPECT_TRUE(device_->traffic().empty());
    EXPECT_EQ(WdfUsbInterfaceGetNumConfiguredPipes(itf(usb, 0)), 0);
}

TEST_F(select_config, multi_interface_configures_every_interface_at_setting_zero) {
    WDFUSBDEVICE usb = create(ecm_adapter());
    WDF_USB_DEVICE_SELECT_CONFIG_PARAMS params;
    WDF_USB_DEVICE_SELECT_CONFIG_PARAMS_INIT_MULTIPLE_INTERFACES(&params, 0, nullptr);
    ASSERT_EQ(WdfUsbTargetDeviceSelectConfig(usb, WDF_NO_OBJECT_ATTRIBUTES, &params), STATUS_SUCCESS);
    EXPECT_EQ(params.Types.MultiInterface.NumberOfConfiguredInterfaces, 2);
    EXPECT_EQ(pipe_addresses(itf(usb, 0)), std::vector<uint8_t>{0x81});
    EXPECT_TRUE(pipe_addresses(itf(usb, 1)).empty());  // the data interface's setting 0 has no endpoints
    EXPECT_EQ(WdfUsbInterfaceGetConfiguredSettingIndex(itf(usb, 1)), 0);
    EXPECT_TRUE(control_traffic(sim::usb::match::set_interface).empty());
}

TEST_F(select_config, setting_pairs_select_the_named_settings_with_set_interface) {
    WDFUSBDEVICE usb = create(ecm_adapter());
    device_->clear_traffic();
    WDF_USB_INTERFACE_SETTING_PAIR pairs[2] = {{itf(usb, 0), 0}, {itf(usb, 1), 1}};
    WDF_USB_DEVICE_SELECT_CONFIG_PARAMS params;
    WDF_USB_DEVICE_SELECT_CONFIG_PARAMS_INIT_MULTIPLE_INTERFACES(&params, 2, pairs);
    ASSERT_EQ(WdfUsbTargetDeviceSelectConfig(usb, WDF_NO_OBJECT_ATTRIBUTES, &params), STATUS_SUCCESS);
    EXPECT_EQ(params.Types.MultiInterface.NumberOfConfiguredInterfaces, 2);
    EXPECT_EQ(pipe_addresses(itf(usb, 1)), (std::vector<uint8_t>{0x82, 0x02}));
    EXPECT_EQ(WdfUsbInterfaceGetConfiguredSettingIndex(itf(usb, 1)), 1);
    EXPECT_EQ(device_->alternate_setting(1), 1);

    std::vector<transfer_record> traffic = control_traffic();
    ASSERT_EQ(traffic.size(), 2u);
    EXPECT_EQ(traffic[0].setup[1], USB_REQUEST_SET_CONFIGURATION);
    EXPECT_EQ(traffic[1].setup[0], 0x01);
    EXPECT_EQ(traffic[1].setup[1], USB_REQUEST_SET_INTERFACE);
    EXPECT_EQ(traffic[1].packet().wValue, 1);
    EXPECT_EQ(traffic[1].packet().wIndex, 1);
}

TEST_F(select_config, bad_setting_pairs_are_refused) {
    WDFUSBDEVICE usb = create(ecm_adapter());
    WDF_USB_INTERFACE_SETTING_PAIR bad_setting[1] = {{itf(usb, 1), 2}};
    WDF_USB_DEVICE_SELECT_CONFIG_PARAMS params;
    WDF_USB_DEVICE_SELECT_CONFIG_PARAMS_INIT_MULTIPLE_INTERFACES(&params, 1, bad_setting);
    EXPECT_EQ(WdfUsbTargetDeviceSelectConfig(usb, nullptr, &params), STATUS_INVALID_PARAMETER);
    WDF_USB_INTERFACE_SETTING_PAIR twice[2] = {{itf(usb, 1), 0}, {itf(usb, 1), 1}};
    WDF_USB_DEVICE_SELECT_CONFIG_PARAMS_INIT_MULTIPLE_INTERFACES(&params, 2, twice);
    EXPECT_EQ(WdfUsbTargetDeviceSelectConfig(usb, nullptr, &params), STATUS_INVALID_PARAMETER);
    params.Size = 8;
    EXPECT_EQ(WdfUsbTargetDeviceSelectConfig(usb, nullptr, &params), STATUS_INFO_LENGTH_MISMATCH);
}

TEST_F(select_config, a_new_selection_replaces_the_pipes_of_the_previous_one) {
    WDFUSBDEVICE usb = create(vendor_serial_3ep());
    ASSERT_EQ(select_all(usb), STATUS_SUCCESS);
    WDFUSBPIPE old_pipe = pipe(usb, 0x82);
    ASSERT_NE(old_pipe, nullptr);
    ASSERT_EQ(select_all(usb), STATUS_SUCCESS);
    EXPECT_FALSE(wdf::is_live(old_pipe));
    EXPECT_NE(pipe(usb, 0x82), nullptr);
    EXPECT_EQ(WdfUsbInterfaceGetNumConfiguredPipes(itf(usb, 0)), 3);
}

int g_pipe_cleanups = 0;
VOID count_pipe_cleanup(WDFOBJECT) { g_pipe_cleanups++; }

TEST_F(select_config, pipe_attributes_give_each_pipe_a_context_and_callbacks) {
    WDFUSBDEVICE usb = create(vendor_serial_3ep());
    WDF_OBJECT_ATTRIBUTES attributes;
    WDF_OBJECT_ATTRIBUTES_INIT_CONTEXT_TYPE(&attributes, pipe_context);
    attributes.EvtCleanupCallback = count_pipe_cleanup;
    WDF_USB_DEVICE_SELECT_CONFIG_PARAMS params;
    WDF_USB_DEVICE_SELECT_CONFIG_PARAMS_INIT_SINGLE_INTERFACE(&params);
    ASSERT_EQ(WdfUsbTargetDeviceSelectConfig(usb, &attributes, &params), STATUS_SUCCESS);
    EXPECT_NE(WdfObjectGet_pipe_context(pipe(usb, 0x81)), nullptr);
    g_pipe_cleanups = 0;
    WDF_USB_DEVICE_SELECT_CONFIG_PARAMS_INIT_DECONFIG(&params);
    ASSERT_EQ(WdfUsbTargetDeviceSelectConfig(usb, nullptr, &params), STATUS_SUCCESS);
    EXPECT_EQ(g_pipe_cleanups, 3);
}

TEST_F(select_config, deconfig_sends_configuration_zero_and_removes_every_pipe) {
    WDFUSBDEVICE usb = create(acm_modem());
    ASSERT_EQ(select_all(usb), STATUS_SUCCESS);
    WDF_USB_DEVICE_SELECT_CONFIG_PARAMS params;
    WDF_USB_DEVICE_SELECT_CONFIG_PARAMS_INIT_DECONFIG(&params);
    ASSERT_EQ(WdfUsbTargetDeviceSelectConfig(usb, nullptr, &params), STATUS_SUCCESS);
    EXPECT_EQ(device_->configuration(), 0);
    EXPECT_EQ(WdfUsbInterfaceGetNumConfiguredPipes(itf(usb, 0)), 0);
    EXPECT_EQ(WdfUsbInterfaceGetNumConfiguredPipes(itf(usb, 1)), 0);
    EXPECT_EQ(control_traffic(sim::usb::match::set_configuration).back().packet().wValue, 0);
}

// The driver's way: read configuration N itself and pass the interfaces it wants.
// The interface list is the first configuration's, made at creation: another
// configuration may be selected through interfaces it shares with the first,
// which keep their objects and get the other configuration's pipes.
TEST_F(select_config, interfaces_descriptor_selects_another_configuration_through_the_first_ones_interfaces) {
    descriptor_set set = descriptor_builder()
                             .device(0x1234, 0x0077, 0xff)
                             .num_configurations(2)
                             .configuration(1)
                             .interface(0, 0, 0xff, 0, 0)
                             .endpoint(0x81, endpoint_type::bulk, 64)
                             .configuration(2)
                             .interface(0, 0, 0xff, 1, 0)
                             .endpoint(0x83, endpoint_type::interrupt, 8, 4)
                             .interface(1, 0, 0xff, 2, 0)
                             .interface(1, 1, 0xff, 2, 0)
                             .endpoint(0x84, endpoint_type::bulk, 64)
                             .endpoint(0x05, endpoint_type::bulk, 64)
                             .build();
    WDFUSBDEVICE usb = create(set);
    ASSERT_EQ(WdfUsbTargetDeviceGetNumInterfaces(usb), 1);
    WDFUSBINTERFACE first = itf(usb, 0);

    // GET_DESCRIPTOR(configuration index 1) as the driver sends it.
    WDF_USB_CONTROL_SETUP_PACKET setup;
    WDF_USB_CONTROL_SETUP_PACKET_INIT(&setup, BmRequestDeviceToHost, BmRequestToDevice, USB_REQUEST_GET_DESCRIPTOR,
                                      USB_DESCRIPTOR_MAKE_TYPE_AND_INDEX(USB_CONFIGURATION_DESCRIPTOR_TYPE, 1), 0);
    std::vector<uint8_t> config(set.configurations[1].size());
    WDF_MEMORY_DESCRIPTOR memory;
    WDF_MEMORY_DESCRIPTOR_INIT_BUFFER(&memory, config.data(), static_cast<ULONG>(config.size()));
    ULONG transferred = 0;
    ASSERT_EQ(WdfUsbTargetDeviceSendControlTransferSynchronously(usb, nullptr, nullptr, &setup, &memory, &transferred),
              STATUS_SUCCESS);
    ASSERT_EQ(transferred, config.size());

    sim::usb::parsed_configuration parsed = sim::usb::parse_configuration(config);
    auto* cd = reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(config.data());
    PUSB_INTERFACE_DESCRIPTOR both[2] = {
        reinterpret_cast<PUSB_INTERFACE_DESCRIPTOR>(config.data() + parsed.find_setting(1, 1)->offset),
        reinterpret_cast<PUSB_INTERFACE_DESCRIPTOR>(config.data() + parsed.find_setting(0, 0)->offset)};
    WDF_USB_DEVICE_SELECT_CONFIG_PARAMS params;
    device_->clear_traffic();

    // Interface 1 is not in the list: refused before the device hears of it.
    WDF_USB_DEVICE_SELECT_CONFIG_PARAMS_INIT_INTERFACES_DESCRIPTORS(&params, cd, both, 2);
    EXPECT_EQ(WdfUsbTargetDeviceSelectConfig(usb, nullptr, &params), STATUS_INVALID_DEVICE_REQUEST);
    EXPECT_TRUE(control_traffic().empty());
    EXPECT_EQ(WdfUsbTargetDeviceGetNumInterfaces(usb), 1);

    WDF_USB_DEVICE_SELECT_CONFIG_PARAMS_INIT_INTERFACES_DESCRIPTORS(&params, cd, &both[1], 1);
    ASSERT_EQ(WdfUsbTargetDeviceSelectConfig(usb, nullptr, &params), STATUS_SUCCESS);
    EXPECT_EQ(device_->configuration(), 2);
    ASSERT_EQ(WdfUsbTargetDeviceGetNumInterfaces(usb), 1);
    EXPECT_EQ(itf(usb, 0), first);
    EXPECT_EQ(WdfUsbInterfaceGetInterfaceNumber(first), 0);
    EXPECT_EQ(WdfUsbInterfaceGetNumSettings(first), 1);
    EXPECT_EQ(pipe_addresses(first), std::vector<uint8_t>{0x83});
    std::vector<transfer_record> traffic = control_traffic();
    ASSERT_EQ(traffic.size(), 1u);
    EXPECT_EQ(traffic[0].packet().bRequest, USB_REQUEST_SET_CONFIGURATION);
    EXPECT_EQ(traffic[0].packet().wValue, 2);

    // Selecting the first configuration again makes no new list either.
    WDF_USB_DEVICE_SELECT_CONFIG_PARAMS_INIT_MULTIPLE_INTERFACES(&params, 0, nullptr);
    ASSERT_EQ(WdfUsbTargetDeviceSelectConfig(usb, nullptr, &params), STATUS_SUCCESS);
    EXPECT_EQ(device_->configuration(), 1);
    ASSERT_EQ(WdfUsbTargetDeviceGetNumInterfaces(usb), 1);
    EXPECT_EQ(itf(usb, 0), first);
    EXPECT_EQ(pipe_addresses(first), std::vector<uint8_t>{0x81});

    // The cached configuration stays the first one.
    USHORT size = 0;
    EXPECT_EQ(WdfUsbTargetDeviceRetrieveConfigDescriptor(usb, nullptr, &size), STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(size, set.configurations[0].size());
}

TEST_F(select_config, interfaces_descriptor_refuses_pointers_outside_or_twice) {
    WDFUSBDEVICE usb = create(ecm_adapter());
    std::vector<uint8_t> config = device_->descriptors().configurations[0];
    auto* cd = reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(config.data());
    sim::usb::parsed_configuration parsed = sim::usb::parse_configuration(config);
    PUSB_INTERFACE_DESCRIPTOR twice[2] = {
        reinterpret_cast<PUSB_INTERFACE_DESCRIPTOR>(config.data() + parsed.find_setting(1, 0)->offset),
        reinterpret_cast<PUSB_INTERFACE_DESCRIPTOR>(config.data() + parsed.find_setting(1, 1)->offset)};
    WDF_USB_DEVICE_SELECT_CONFIG_PARAMS params;
    WDF_USB_DEVICE_SELECT_CONFIG_PARAMS_INIT_INTERFACES_DESCRIPTORS(&params, cd, twice, 2);
    EXPECT_EQ(WdfUsbTargetDeviceSelectConfig(usb, nullptr, &params), STATUS_INVALID_PARAMETER);
    PUSB_INTERFACE_DESCRIPTOR misaligned[1] = {reinterpret_cast<PUSB_INTERFACE_DESCRIPTOR>(config.data() + 1)};
    WDF_USB_DEVICE_SELECT_CONFIG_PARAMS_INIT_INTERFACES_DESCRIPTORS(&params, cd, misaligned, 1);
    EXPECT_EQ(WdfUsbTargetDeviceSelectConfig(usb, nullptr, &params), STATUS_INVALID_PARAMETER);
    WDF_USB_DEVICE_SELECT_CONFIG_PARAMS_INIT_INTERFACES_DESCRIPTORS(&params, cd, twice, 0);
    EXPECT_EQ(WdfUsbTargetDeviceSelectConfig(usb, nullptr, &params), STATUS_INVALID_PARAMETER);
}

TEST_F(select_config, composite_functions_share_the_device_configuration) {
    device_ = std::make_shared<sim::usb::device>(sim::usb::catalogue::dual_acm_composite());
    WDFUSBDEVICE first = nullptr;
    WDFUSBDEVICE second = nullptr;
    ASSERT_EQ(WdfUsbTargetDeviceCreate(bind(device_, 0), nullptr, &first), STATUS_SUCCESS);
    ASSERT_EQ(WdfUsbTargetDeviceCreate(bind(device_, 1), nullptr, &second), STATUS_SUCCESS);
    ASSERT_EQ(select_all(first), STATUS_SUCCESS);
    WDFREQUEST read = nullptr;
    ASSERT_EQ(WdfRequestCreate(nullptr, nullptr, &read), STATUS_SUCCESS);
    WDFMEMORY memory = nullptr;
    ASSERT_EQ(WdfMemoryCreate(nullptr, NonPagedPool, 0, 64, &memory, nullptr), STATUS_SUCCESS);
    WDFUSBPIPE in = pipe(first, 0x82);
    ASSERT_EQ(WdfUsbTargetPipeFormatRequestForRead(in, read, memory, nullptr), STATUS_SUCCESS);
    ASSERT_TRUE(WdfRequestSend(read, WdfUsbTargetPipeGetIoTarget(in), nullptr));
    device_->clear_traffic();

    ASSERT_EQ(select_all(second), STATUS_SUCCESS);
    EXPECT_TRUE(control_traffic(sim::usb::match::set_configuration).empty());
    EXPECT_EQ(pipe_addresses(WdfUsbTargetDeviceGetInterface(second, 1)), (std::vector<uint8_t>{0x84, 0x04}));
    EXPECT_EQ(device_->pending(0x82), 1u);  // the first function's read goes on

    device_->push_in(0x82, {1});
    EXPECT_EQ(WdfRequestGetStatus(read), STATUS_SUCCESS);
    WdfObjectDelete(read);
    WdfObjectDelete(memory);
}

// ---- Device-side failures ------------------------------------------------------

TEST_F(select_config, a_device_stalling_set_configuration_fails_the_selection) {
    WDFUSBDEVICE usb = create(acm_modem());
    device_->fail_next_control(sim::usb::match::set_configuration);
    EXPECT_EQ(select_all(usb), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(device_->configuration(), 0);
    EXPECT_EQ(WdfUsbInterfaceGetNumConfiguredPipes(itf(usb, 0)), 0);
    EXPECT_EQ(select_all(usb), STATUS_SUCCESS);  // the fault was for one request
}

TEST_F(select_config, a_failing_set_configuration_leaves_no_pipes_of_the_previous_selection) {
    WDFUSBDEVICE usb = create(acm_modem());
    ASSERT_EQ(select_all(usb), STATUS_SUCCESS);
    WDFUSBPIPE before = pipe(usb, 0x82);
    device_->fail_next_control(sim::usb::match::set_configuration, USBD_STATUS_DEV_NOT_RESPONDING);
    EXPECT_EQ(select_all(usb), STATUS_DEVICE_DATA_ERROR);
    EXPECT_FALSE(wdf::is_live(before)) << "deleted before the device was asked";
    EXPECT_EQ(pipe(usb, 0x82), nullptr);
    EXPECT_EQ(select_all(usb), STATUS_SUCCESS);
    EXPECT_NE(pipe(usb, 0x82), nullptr);
}

TEST_F(select_config, a_device_that_never_answers_set_configuration_times_out_after_two_seconds) {
    WDFUSBDEVICE usb = create(acm_modem());
    device_->hold_next_control(sim::usb::match::set_configuration);
    const int64_t before = sim::clock_now();
    EXPECT_EQ(select_all(usb), STATUS_IO_TIMEOUT);
    EXPECT_EQ(sim::clock_now() - before, int64_t{2} * 10000000);
}

TEST_F(select_config, a_device_refusing_set_interface_fails_the_selection_without_pipes) {
    WDFUSBDEVICE usb = create(ecm_adapter());
    device_->fail_next_control(sim::usb::match::set_interface);
    WDF_USB_INTERFACE_SETTING_PAIR pairs[2] = {{itf(usb, 0), 0}, {itf(usb, 1), 1}};
    WDF_USB_DEVICE_SELECT_CONFIG_PARAMS params;
    WDF_USB_DEVICE_SELECT_CONFIG_PARAMS_INIT_MULTIPLE_INTERFACES(&params, 2, pairs);
    EXPECT_EQ(WdfUsbTargetDeviceSelectConfig(usb, nullptr, &params), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(WdfUsbInterfaceGetNumConfiguredPipes(itf(usb, 0)), 0);
    EXPECT_EQ(WdfUsbInterfaceGetNumConfiguredPipes(itf(usb, 1)), 0);
}

TEST_F(select_config, an_unplugged_device_fails_the_selection) {
    WDFUSBDEVICE usb = create(acm_modem());
    device_->set_connected(false);
    EXPECT_EQ(select_all(usb), STATUS_NO_SUCH_DEVICE);
}

// ---- Interfaces and settings ---------------------------------------------------

TEST_F(select_config, endpoint_information_is_given_for_every_setting) {
    sim::usb::catalogue::device_options high;
    high.speed = sim::usb::usb_speed::high;
    WDFUSBDEVICE usb = create(ecm_adapter(high));
    WDFUSBINTERFACE data = itf(usb, 1);
    ASSERT_EQ(WdfUsbInterfaceGetNumSettings(data), 2);
    EXPECT_EQ(WdfUsbInterfaceGetNumEndpoints(data, 0), 0);
    ASSERT_EQ(WdfUsbInterfaceGetNumEndpoints(data, 1), 2);
    USB_INTERFACE_DESCRIPTOR descriptor;
    WdfUsbInterfaceGetDescriptor(data, 1, &descriptor);
    EXPECT_EQ(descriptor.bAlternateSetting, 1);
    EXPECT_EQ(descriptor.bInterfaceClass, USB_DEVICE_CLASS_CDC_DATA);
    WdfUsbInterfaceGetDescriptor(data, 7, &descriptor);
    EXPECT_EQ(descriptor.bLength, 0);

    WDF_USB_PIPE_INFORMATION info;
    WDF_USB_PIPE_INFORMATION_INIT(&info);
    WdfUsbInterfaceGetEndpointInformation(data, 1, 0, &info);
    EXPECT_EQ(info.EndpointAddress, 0x82);
    EXPECT_EQ(info.MaximumPacketSize, 512u);
    EXPECT_EQ(info.PipeType, WdfUsbPipeTypeBulk);
    EXPECT_EQ(info.SettingIndex, 1);
    EXPECT_EQ(info.MaximumTransferSize, 4u * 1024 * 1024);

    WDF_USB_PIPE_INFORMATION_INIT(&info);
    WdfUsbInterfaceGetEndpointInformation(itf(usb, 0), 0, 0, &info);
    EXPECT_EQ(info.PipeType, WdfUsbPipeTypeInterrupt);
    EXPECT_EQ(info.MaximumPacketSize, 16u);
    EXPECT_NE(info.Interval, 0);

    // No such endpoint: the record stays as it was.
    WDF_USB_PIPE_INFORMATION_INIT(&info);
    WdfUsbInterfaceGetEndpointInformation(data, 0, 0, &info);
    EXPECT_EQ(info.EndpointAddress, 0);
}

TEST_F(select_config, configured_pipe_needs_a_valid_index_and_record) {
    WDFUSBDEVICE usb = create(vendor_serial_3ep());
    ASSERT_EQ(select_all(usb), STATUS_SUCCESS);
    WDF_USB_PIPE_INFORMATION info;
    WDF_USB_PIPE_INFORMATION_INIT(&info);
    EXPECT_EQ(WdfUsbInterfaceGetConfiguredPipe(itf(usb, 0), 3, &info), nullptr);
    info.Size = 4;
    EXPECT_EQ(WdfUsbInterfaceGetConfiguredPipe(itf(usb, 0), 0, &info), nullptr);
    EXPECT_NE(WdfUsbInterfaceGetConfiguredPipe(itf(usb, 0), 0, nullptr), nullptr);
}

TEST_F(select_config, select_setting_switches_pipes_and_sends_set_interface) {
    WDFUSBDEVICE usb = create(ecm_adapter());
    ASSERT_EQ(select_all(usb), STATUS_SUCCESS);
    WDFUSBINTERFACE data = itf(usb, 1);
    device_->clear_traffic();

    WDF_USB_INTERFACE_SELECT_SETTING_PARAMS params;
    WDF_USB_INTERFACE_SELECT_SETTING_PARAMS_INIT_SETTING(&params, 1);
    ASSERT_EQ(WdfUsbInterfaceSelectSetting(data, WDF_NO_OBJECT_ATTRIBUTES, &params), STATUS_SUCCESS);
    EXPECT_EQ(pipe_addresses(data), (std::vector<uint8_t>{0x82, 0x02}));
    EXPECT_EQ(WdfUsbInterfaceGetConfiguredSettingIndex(data), 1);
    EXPECT_EQ(device_->alternate_setting(1), 1);
    WDFUSBPIPE in = pipe(usb, 0x82);

    // Back to setting 0 by descriptor: the bulk pipes go.
    USB_INTERFACE_DESCRIPTOR descriptor;
    WdfUsbInterfaceGetDescriptor(data, 0, &descriptor);
    WDF_USB_INTERFACE_SELECT_SETTING_PARAMS_INIT_DESCRIPTOR(&params, &descriptor);
    ASSERT_EQ(WdfUsbInterfaceSelectSetting(data, WDF_NO_OBJECT_ATTRIBUTES, &params), STATUS_SUCCESS);
    EXPECT_EQ(WdfUsbInterfaceGetNumConfiguredPipes(data), 0);
    EXPECT_FALSE(wdf::is_live(in));

    std::vector<transfer_record> traffic = control_traffic();
    ASSERT_EQ(traffic.size(), 2u);
    EXPECT_EQ(traffic[0].packet().wValue, 1);
    EXPECT_EQ(traffic[1].packet().wValue, 0);
    EXPECT_EQ(traffic[1].packet().wIndex, 1);
}

TEST_F(select_config, selecting_the_setting_in_force_changes_nothing) {
    WDFUSBDEVICE usb = create(ecm_adapter());
    ASSERT_EQ(select_all(usb), STATUS_SUCCESS);
    WDFUSBINTERFACE data = itf(usb, 1);
    WDF_USB_INTERFACE_SELECT_SETTING_PARAMS params;
    WDF_USB_INTERFACE_SELECT_SETTING_PARAMS_INIT_SETTING(&params, 1);
    ASSERT_EQ(WdfUsbInterfaceSelectSetting(data, WDF_NO_OBJECT_ATTRIBUTES, &params), STATUS_SUCCESS);
    WDFUSBPIPE in = pipe(usb, 0x82);
    device_->clear_traffic();

    ASSERT_EQ(WdfUsbInterfaceSelectSetting(data, WDF_NO_OBJECT_ATTRIBUTES, &params), STATUS_SUCCESS);
    USB_INTERFACE_DESCRIPTOR descriptor;
    WdfUsbInterfaceGetDescriptor(data, 1, &descriptor);
    WDF_USB_INTERFACE_SELECT_SETTING_PARAMS_INIT_DESCRIPTOR(&params, &descriptor);
    ASSERT_EQ(WdfUsbInterfaceSelectSetting(data, WDF_NO_OBJECT_ATTRIBUTES, &params), STATUS_SUCCESS);
    EXPECT_TRUE(control_traffic().empty()) << "no SET_INTERFACE";
    EXPECT_EQ(pipe(usb, 0x82), in) << "the same pipe object";
}

TEST_F(select_config, a_new_setting_cancels_and_deletes_the_old_pipes_before_set_interface) {
    WDFUSBDEVICE usb = create(ecm_adapter());
    ASSERT_EQ(select_all(usb), STATUS_SUCCESS);
    WDFUSBINTERFACE data = itf(usb, 1);
    WDF_USB_INTERFACE_SELECT_SETTING_PARAMS params;
    WDF_USB_INTERFACE_SELECT_SETTING_PARAMS_INIT_SETTING(&params, 1);
    ASSERT_EQ(WdfUsbInterfaceSelectSetting(data, WDF_NO_OBJECT_ATTRIBUTES, &params), STATUS_SUCCESS);
    WDFUSBPIPE in = pipe(usb, 0x82);
    completion_log log;
    WDFREQUEST r = nullptr;
    ASSERT_EQ(WdfRequestCreate(WDF_NO_OBJECT_ATTRIBUTES, nullptr, &r), STATUS_SUCCESS);
    ASSERT_EQ(WdfUsbTargetPipeFormatRequestForRead(in, r, nullptr, nullptr), STATUS_SUCCESS);
    WdfRequestSetCompletionRoutine(r, completion_log::routine, &log);
    ASSERT_TRUE(WdfRequestSend(r, WdfUsbTargetPipeGetIoTarget(in), nullptr));
    // The SET_INTERFACE fails: by then the read was cancelled and the pipe is gone.
    device_->fail_next_control(sim::usb::match::set_interface);
    WDF_USB_INTERFACE_SELECT_SETTING_PARAMS_INIT_SETTING(&params, 0);
    EXPECT_EQ(WdfUsbInterfaceSelectSetting(data, WDF_NO_OBJECT_ATTRIBUTES, &params), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(log.count(), 1);
    EXPECT_EQ(log.status, STATUS_CANCELLED);
    EXPECT_FALSE(wdf::is_live(in));
    EXPECT_EQ(WdfUsbInterfaceGetNumConfiguredPipes(data), 0);
    WdfObjectDelete(r);
}

TEST_F(select_config, select_setting_failures) {
    WDFUSBDEVICE usb = create(ecm_adapter());
    WDFUSBINTERFACE data = itf(usb, 1);
    WDF_USB_INTERFACE_SELECT_SETTING_PARAMS params;
    WDF_USB_INTERFACE_SELECT_SETTING_PARAMS_INIT_SETTING(&params, 1);
    EXPECT_EQ(WdfUsbInterfaceSelectSetting(data, nullptr, &params), STATUS_INVALID_DEVICE_STATE);  // not configured
    ASSERT_EQ(select_all(usb), STATUS_SUCCESS);
    WDF_USB_INTERFACE_SELECT_SETTING_PARAMS_INIT_SETTING(&params, 2);
    EXPECT_EQ(WdfUsbInterfaceSelectSetting(data, nullptr, &params), STATUS_INVALID_PARAMETER);
    device_->fail_next_control(sim::usb::match::set_interface);
    WDF_USB_INTERFACE_SELECT_SETTING_PARAMS_INIT_SETTING(&params, 1);
    EXPECT_EQ(WdfUsbInterfaceSelectSetting(data, nullptr, &params), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(WdfUsbInterfaceGetConfiguredSettingIndex(data), 0);
}

TEST_F(select_config, pipe_queries) {
    WDFUSBDEVICE usb = create(vendor_serial_3ep());
    ASSERT_EQ(select_all(usb), STATUS_SUCCESS);
    WDFUSBPIPE in = pipe(usb, 0x82);
    WDFUSBPIPE out = pipe(usb, 0x02);
    WDFUSBPIPE irq = pipe(usb, 0x81);
    EXPECT_TRUE(WdfUsbTargetPipeIsInEndpoint(in));
    EXPECT_FALSE(WdfUsbTargetPipeIsOutEndpoint(in));
    EXPECT_TRUE(WdfUsbTargetPipeIsOutEndpoint(out));
    EXPECT_EQ(WdfUsbTargetPipeGetType(in), WdfUsbPipeTypeBulk);
    EXPECT_EQ(WdfUsbTargetPipeGetType(irq), WdfUsbPipeTypeInterrupt);
    WDF_USB_PIPE_INFORMATION info;
    WDF_USB_PIPE_INFORMATION_INIT(&info);
    WdfUsbTargetPipeGetInformation(out, &info);
    EXPECT_EQ(info.EndpointAddress, 0x02);
    EXPECT_EQ(info.MaximumPacketSize, 32u);
    EXPECT_EQ(WdfIoTargetGetDevice(WdfUsbTargetPipeGetIoTarget(in)),
              WdfIoTargetGetDevice(WdfUsbTargetDeviceGetIoTarget(usb)));
    EXPECT_EQ(WdfIoTargetGetState(WdfUsbTargetPipeGetIoTarget(in)), WdfIoTargetStarted);
}

using select_config_DeathTest = usb_host_death_test;

TEST_F(select_config_DeathTest, the_driver_may_not_delete_pipes_or_interfaces) {
    WDFUSBDEVICE usb = create(vendor_serial_3ep());
    ASSERT_EQ(select_all(usb), STATUS_SUCCESS);
    EXPECT_DEATH(WdfObjectDelete(pipe(usb, 0x82)), "may not delete a framework-owned WDFUSBPIPE");
    EXPECT_DEATH(WdfObjectDelete(WdfUsbTargetDeviceGetInterface(usb, 0)),
                 "may not delete a framework-owned WDFUSBINTERFACE");
}

TEST_F(select_config_DeathTest, a_pipe_handle_where_an_interface_is_expected_is_a_bug_check) {
    WDFUSBDEVICE usb = create(vendor_serial_3ep());
    ASSERT_EQ(select_all(usb), STATUS_SUCCESS);
    WDFUSBPIPE p = pipe(usb, 0x82);
    EXPECT_DEATH(WdfUsbInterfaceGetNumSettings(reinterpret_cast<WDFUSBINTERFACE>(p)),
                 "WDFUSBPIPE where WDFUSBINTERFACE was expected");
}

}  // namespace
}  // namespace usb_test
