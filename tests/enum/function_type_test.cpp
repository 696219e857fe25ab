// Function type detection at hardware start: which function a device offers,
// the interfaces, pipes and alternate settings chosen for it, and the
// failures that send the start to the registry override.
#include "enum/enum_fixture.h"

namespace cdc::enum_test {
namespace {

namespace catalogue = sim::usb::catalogue;

// ---- Outcome by function type ------------------------------------------------------

struct outcome {
    const char* name;
    descriptor_set (*make)();
    const char* enumerator;
    int comm;  // interface number, -1 none
    int data;
    UCHAR data_in;  // endpoint address, 0 none
    UCHAR data_out;
    ULONG alt_enable;
    ULONG alt_disable;
    ULONG notify;  // endpoint address, no_endpoint none
    ULONG pipe_type;
};

void PrintTo(const outcome& o, std::ostream* os) { *os << o.name; }

// EEM with a separate data interface; its communication interface carries an
// interrupt endpoint the function does not use.
descriptor_set eem_with_data_interface() {
    return descriptor_builder()
        .device(test_vendor, 0x0101)
        .configuration()
        .interface(0, 0, USB_DEVICE_CLASS_COMMUNICATIONS, 12, 7)
        .endpoint(0x83, ep::interrupt, 16, 16)
        .interface(1, 0, USB_DEVICE_CLASS_CDC_DATA, 0, 0)
        .endpoint(0x81, ep::bulk, 64)
        .endpoint(0x01, ep::bulk, 64)
        .build();
}

descriptor_set iccd_protocol(uint8_t protocol) {
    return descriptor_builder()
        .device(test_vendor, 0x0102)
        .configuration()
        .interface(0, 0, USB_DEVICE_CLASS_SMART_CARD, 0, protocol)
        .endpoint(0x81, ep::interrupt, 8, 16)
        .build();
}

const outcome outcomes[] = {
    {"acm", [] { return catalogue::acm_modem(); }, "usbcdcacm", 0, 1, 0x82, 0x02, 0, 0, 0x81, 3},
    {"eem", eem_with_data_interface, "usbcdceem", 0, 1, 0x81, 0x01, 0, 0, no_endpoint, 3},
    {"ecm", [] { return catalogue::ecm_adapter(); }, "usbcdcecm", 0, 1, 0, 0, 1, 0, 0x81, 3},
    {"obex", [] { return catalogue::obex_phone(); }, "usbcdcobex", 0, 1, 0, 0, 1, 0, no_endpoint, 3},
    {"iccd_protocol_0", [] { return catalogue::iccd_reader(0, true); }, "usbiccd", 0, 0, 0x82, 0x02, 0, 0, 0x81, 3},
    {"iccd_protocol_1", [] { return catalogue::iccd_reader(1, true); }, "usbiccd", 0, -1, 0, 0, 0, 0, 0x81, 3},
    {"iccd_protocol_3", [] { return iccd_protocol(3); }, "usbiccd", 0, -1, 0, 0, 0, 0, no_endpoint, 3},
    {"dfu", [] { return catalogue::dfu_device(); }, "usbdfu", 0, -1, 0, 0, 0, 0, no_endpoint, 3},
    {"vendor_3ep", [] { return catalogue::vendor_serial_3ep(); }, "usbcdcacm", 0, 0, 0x82, 0x02, 0, 0, 0x81, 3},
    {"vendor_2ep", [] { return catalogue::vendor_serial_2ep(); }, "usbcdcacm", 0, 0, 0x81, 0x02, 0, 0, no_endpoint, 3},
    {"vendor_interrupt_pair", [] { return catalogue::vendor_interrupt_pair(); }, "usbcdcacm", 0, 0, 0x81, 0x01, 0, 0,
     no_endpoint, 4},
    {"eem_single_interface", [] { return catalogue::eem_adapter(); }, "usbcdceem", 0, 0, 0x81, 0x02, 0, 0, no_endpoint,
     3},
};

class function_types : public enum_fixture, public ::testing::WithParamInterface<outcome> {};

TEST_P(function_types, start_selects_interfaces_pipes_and_settings) {
    const outcome& o = GetParam();
    DEVICE_CONTEXT* fdx = plug_started(o.make());
    ASSERT_NE(fdx, nullptr);

    EXPECT_EQ(enumerator(fdx), o.enumerator);
    ASSERT_NE(fdx->usb_ifc_comm, nullptr);
    EXPECT_EQ(interface_number(fdx->usb_ifc_comm), o.comm);
    if (o.data < 0) {
        EXPECT_EQ(fdx->usb_ifc_data, nullptr);
    } else {
        ASSERT_NE(fdx->usb_ifc_data, nullptr);
        EXPECT_EQ(interface_number(fdx->usb_ifc_data), o.data);
        EXPECT_EQ(fdx->usb_ifc_data == fdx->usb_ifc_comm, o.data == o.comm);
    }
    if (o.data_in == 0) {
        EXPECT_EQ(fdx->pipe_data_in, nullptr);
        EXPECT_EQ(fdx->pipe_data_out, nullptr);
    } else {
        ASSERT_NE(fdx->pipe_data_in, nullptr);
        ASSERT_NE(fdx->pipe_data_out, nullptr);
        EXPECT_EQ(endpoint_of(fdx->pipe_data_in), o.data_in);
        EXPECT_EQ(endpoint_of(fdx->pipe_data_out), o.data_out);
        EXPECT_EQ(fdx->data_in_ep, o.data_in);
        EXPECT_EQ(fdx->data_out_ep, o.data_out);
    }
    EXPECT_EQ(fdx->alt_enable, o.alt_enable);
    EXPECT_EQ(fdx->alt_disable, o.alt_disable);
    EXPECT_EQ(fdx->notify_ep, o.notify);
    if (o.notify == no_endpoint) {
        EXPECT_EQ(fdx->pipe_comm_notify, nullptr);
    } else {
        ASSERT_NE(fdx->pipe_comm_notify, nullptr);
        EXPECT_EQ(endpoint_of(fdx->pipe_comm_notify), o.notify);
    }
    EXPECT_EQ(fdx->data_pipe_type, o.pipe_type);
    EXPECT_EQ(fdx->cdc_override_configuration, 0);
    EXPECT_TRUE(traced("usb_qd_select_interfaces: device configured ok"));
    EXPECT_FALSE(traced("Use registry override"));

    // The framework selected the first configuration at its default settings.
    std::vector<sim::usb::setup_packet> configs = requests(USB_REQUEST_SET_CONFIGURATION);
    ASSERT_EQ(configs.size(), 1u);
    EXPECT_EQ(configs[0].wValue, 1);
    EXPECT_TRUE(requests(USB_REQUEST_SET_INTERFACE).empty());
}

INSTANTIATE_TEST_SUITE_P(outcome_table, function_types, ::testing::ValuesIn(outcomes),
                         [](const ::testing::TestParamInfo<outcome>& info) { return std::string(info.param.name); });

// ---- Traces of the detection --------------------------------------------------------

using detection = enum_fixture;

TEST_F(detection, acm_names_class_subclass_and_communication_interface) {
    plug_started(catalogue::acm_modem());
    EXPECT_TRUE(traced("usb_qd_select_interfaces: CDC (2) ACM (2) device"));
    EXPECT_TRUE(traced("usb_qd_find_interfaces_cdc: CDC ACM COMMUNNICATION interface"));
    EXPECT_EQ(traced_with("usb_qd_find_interfaces_cdc: CDC DATA interface, ifc ").size(), 1u);
    EXPECT_EQ(traced_with("  interface: ifc num 0, alt 0, eps 1, class 2, sub class 2, protocol 1, ii ").size(), 1u);
    EXPECT_EQ(traced_with("  interface: ifc num 1, alt 0, eps 2, class a, sub class 0, protocol 0, ii ").size(), 1u);
    EXPECT_EQ(traced_with("  pipe: max packet size 10, ep addr 81, poll interval ").size(), 1u);
}

TEST_F(detection, vendor_class_is_an_unknown_class_configured_as_proprietary) {
    plug_started(catalogue::vendor_serial_3ep());
    EXPECT_TRUE(traced("usb_qd_select_interfaces: Unknown (ff)  (1) device"));
    EXPECT_TRUE(traced("usb_qd_select_interfaces: Unknown class ff"));
    EXPECT_TRUE(traced("usb_qd_cdc_config_proprietary: Configuring a proprietary device"));
}

TEST_F(detection, iccd_with_protocol_above_2_is_unsupported_but_starts) {
    DEVICE_CONTEXT* fdx = plug_started(iccd_protocol(3));
    ASSERT_NE(fdx, nullptr);
    EXPECT_TRUE(traced("Unsupported protocol 3"));
    EXPECT_TRUE(traced("usb_qd_select_interfaces: ICCD (b)  (0) device"));
}

TEST_F(detection, missing_notification_pipe_is_only_a_notice) {
    DEVICE_CONTEXT* fdx = plug_started(catalogue::acm_without_notification());
    ASSERT_NE(fdx, nullptr);
    EXPECT_TRUE(traced("usb_qd_select_interfaces: no notification pipe"));
    EXPECT_EQ(fdx->pipe_comm_notify, nullptr);
    EXPECT_EQ(fdx->notify_ep, no_endpoint);
    EXPECT_NE(fdx->pipe_data_in, nullptr);
}

TEST_F(detection, later_of_two_interrupt_in_pipes_becomes_the_notification_pipe) {
    DEVICE_CONTEXT* fdx = plug_started(descriptor_builder()
                                           .device(test_vendor, 0x0103)
                                           .configuration()
                                           .interface(0, 0, USB_DEVICE_CLASS_COMMUNICATIONS, 2, 1)
                                           .endpoint(0x81, ep::interrupt, 16, 16)
                                           .endpoint(0x83, ep::interrupt, 8, 16)
                                           .interface(1, 0, USB_DEVICE_CLASS_CDC_DATA, 0, 0)
                                           .endpoint(0x82, ep::bulk, 64)
                                           .endpoint(0x02, ep::bulk, 64)
                                           .build());
    ASSERT_NE(fdx, nullptr);
    ASSERT_NE(fdx->pipe_comm_notify, nullptr);
    EXPECT_EQ(endpoint_of(fdx->pipe_comm_notify), 0x83);
    EXPECT_EQ(fdx->notify_ep, 0x83u);
    EXPECT_EQ(fdx->notify_maxps, 8u);
}

// A CDC subclass the driver does not name leaves the function without a name.
TEST_F(detection, unknown_cdc_subclass_at_interface_0_has_no_enumerator) {
    DEVICE_CONTEXT* fdx = plug_started(descriptor_builder()
                                           .device(test_vendor, 0x0104)
                                           .configuration()
                                           .interface(0, 0, USB_DEVICE_CLASS_COMMUNICATIONS, 13, 0)
                                           .endpoint(0x81, ep::bulk, 64)
                                           .endpoint(0x02, ep::bulk, 64)
                                           .build());
    ASSERT_NE(fdx, nullptr);
    EXPECT_EQ(fdx->ids.qd_enumerator, nullptr);
    EXPECT_TRUE(traced("usb_qd_select_interfaces: CDC (2) Unknown (d) device"));
    EXPECT_TRUE(traced("usb_qd_find_interfaces_cdc: CDC COMM interface not found !"));
    EXPECT_NE(fdx->pipe_data_in, nullptr);
}

TEST_F(detection, smart_card_subclass_other_than_0_has_no_enumerator) {
    DEVICE_CONTEXT* fdx = plug_started(descriptor_builder()
                                           .device(test_vendor, 0x0105)
                                           .configuration()
                                           .interface(0, 0, USB_DEVICE_CLASS_SMART_CARD, 1, 0)
                                           .endpoint(0x81, ep::bulk, 64)
                                           .endpoint(0x02, ep::bulk, 64)
                                           .build());
    ASSERT_NE(fdx, nullptr);
    EXPECT_EQ(fdx->ids.qd_enumerator, nullptr);
    EXPECT_TRUE(traced("usb_qd_select_interfaces: ICCD (b)  (1) device"));
    EXPECT_TRUE(traced("usb_qd_select_interfaces: Unknown class b"));
}

// The framework's copy of the configuration, read at every start.
TEST_F(detection, config_desc_holds_the_first_configuration) {
    descriptor_set set = catalogue::acm_modem();
    DEVICE_CONTEXT* fdx = plug_started(set);
    ASSERT_NE(fdx, nullptr);
    ASSERT_NE(fdx->config_desc, nullptr);
    const std::vector<uint8_t>& first = set.configurations[0];
    EXPECT_EQ(std::vector<uint8_t>(static_cast<uint8_t*>(fdx->config_desc),
                                   static_cast<uint8_t*>(fdx->config_desc) + first.size()),
              first);
}

// Names of one function type are one constant: two devices of the type
// share its address.
TEST_F(detection, enumerator_names_are_shared_constants) {
    DEVICE_CONTEXT* first = plug_started(catalogue::acm_modem());
    ASSERT_NE(first, nullptr);
    const WCHAR* name = first->ids.qd_enumerator;
    sim::plug_options other;
    other.location = "6&1a2b3c4d&0&2";
    other.whole_device = true;
    std::vector<sim::device_stack*> stacks =
        host_->plug(std::make_shared<sim::usb::device>(catalogue::vendor_serial_2ep()), other);
    ASSERT_EQ(stacks.size(), 1u);
    auto* second = static_cast<DEVICE_CONTEXT*>(stacks[0]->context("DEVICE_CONTEXT"));
    ASSERT_NE(second, nullptr);
    EXPECT_EQ(second->ids.qd_enumerator, name);
}

// ---- Failures that fall back to the registry override ------------------------------

using detection_failure = enum_fixture;

TEST_F(detection_failure, ecm_data_interface_without_second_setting) {
    EXPECT_EQ(plug_status(descriptor_builder()
                              .device(test_vendor, 0x0110)
                              .configuration()
                              .interface(0, 0, USB_DEVICE_CLASS_COMMUNICATIONS, 6, 0)
                              .endpoint(0x81, ep::interrupt, 16, 16)
                              .interface(1, 0, USB_DEVICE_CLASS_CDC_DATA, 0, 0)
                              .endpoint(0x82, ep::bulk, 64)
                              .endpoint(0x02, ep::bulk, 64)
                              .build()),
              STATUS_INVALID_PARAMETER);
    EXPECT_TRUE(traced(
        "usb_qd_configure_pipes: A CDC device (non-ACM) should have two alternate settings for the data interface"));
    EXPECT_TRUE(traced("usb_qd_select_interfaces: Error configuring pipes"));
    EXPECT_TRUE(traced("Use registry override"));
}

TEST_F(detection_failure, dfu_with_two_interfaces) {
    EXPECT_EQ(plug_status(descriptor_builder()
                              .device(test_vendor, 0x0111)
                              .configuration()
                              .interface(0, 0, USB_DEVICE_CLASS_APPLICATION_SPECIFIC, 1, 2)
                              .interface(1, 0, USB_DEVICE_CLASS_VENDOR_SPECIFIC, 0, 0)
                              .build()),
              STATUS_INVALID_PARAMETER);
    EXPECT_TRUE(traced("usb_qd_select_interfaces: DFU class supports only a single interface"));
    EXPECT_TRUE(traced("Use registry override"));
    EXPECT_TRUE(requests(USB_REQUEST_SET_CONFIGURATION).empty());
}

TEST_F(detection_failure, acm_without_data_interface_among_several) {
    EXPECT_EQ(plug_status(descriptor_builder()
                              .device(test_vendor, 0x0112)
                              .configuration()
                              .interface(0, 0, USB_DEVICE_CLASS_COMMUNICATIONS, 2, 1)
                              .endpoint(0x83, ep::interrupt, 16, 16)
                              .interface(1, 0, USB_DEVICE_CLASS_VENDOR_SPECIFIC, 0, 0)
                              .endpoint(0x81, ep::bulk, 64)
                              .endpoint(0x01, ep::bulk, 64)
                              .build()),
              STATUS_INVALID_PARAMETER);
    EXPECT_TRUE(traced("usb_qd_find_interfaces_cdc: CDC DATA interface not found !"));
    EXPECT_FALSE(traced("usb_qd_find_interfaces_cdc: CDC COMM interface not found !"));
    EXPECT_TRUE(traced("usb_qd_select_interfaces: Error finding CDC interfaces. Probably a proprietary device"));
    EXPECT_TRUE(traced("usb_qd_select_interfaces: Only one interface per proprietary function is supported"));
    EXPECT_TRUE(traced("Use registry override"));
}

TEST_F(detection_failure, proprietary_interface_with_one_endpoint) {
    EXPECT_EQ(plug_status(descriptor_builder()
                              .device(test_vendor, 0x0113)
                              .configuration()
                              .interface(0, 0, USB_DEVICE_CLASS_VENDOR_SPECIFIC, 0, 0)
                              .endpoint(0x81, ep::bulk, 64)
                              .build()),
              STATUS_INVALID_PARAMETER);
    EXPECT_TRUE(
        traced("usb_qd_cdc_config_proprietary: Not a CDC proprietary device. Interface has 1 pipes instead "
               "of 2 or 3"));
    EXPECT_TRUE(traced("usb_qd_select_interfaces: Error configuring proprietary device"));
    EXPECT_TRUE(traced("Use registry override"));
}

// Only a two-endpoint interface may fall back to interrupt data pipes.
TEST_F(detection_failure, three_endpoints_without_bulk_get_no_interrupt_fallback) {
    EXPECT_EQ(plug_status(descriptor_builder()
                              .device(test_vendor, 0x0114)
                              .configuration()
                              .interface(0, 0, USB_DEVICE_CLASS_VENDOR_SPECIFIC, 0, 0)
                              .endpoint(0x81, ep::interrupt, 64, 1)
                              .endpoint(0x01, ep::interrupt, 64, 1)
                              .endpoint(0x82, ep::interrupt, 8, 1)
                              .build()),
              STATUS_INVALID_PARAMETER);
    EXPECT_EQ(traced_count("usb_qd_get_data_pipes: no in/out pipes"), 1u);
    EXPECT_TRUE(traced("usb_qd_cdc_config_proprietary: no data in/out pipes"));
}

TEST_F(detection_failure, two_endpoints_neither_all_bulk_nor_all_interrupt) {
    EXPECT_EQ(plug_status(descriptor_builder()
                              .device(test_vendor, 0x0115)
                              .configuration()
                              .interface(0, 0, USB_DEVICE_CLASS_VENDOR_SPECIFIC, 0, 0)
                              .endpoint(0x81, ep::bulk, 64)
                              .endpoint(0x01, ep::interrupt, 64, 1)
                              .build()),
              STATUS_INVALID_PARAMETER);
    EXPECT_EQ(traced_count("usb_qd_get_data_pipes: no in/out pipes"), 2u);
    EXPECT_TRUE(traced("usb_qd_cdc_config_proprietary: no data in/out pipes"));
}

TEST_F(detection_failure, selection_refused_by_the_device) {
    descriptor_set set = catalogue::acm_modem();
    device_ = std::make_shared<sim::usb::device>(set);
    device_->fail_next_control(sim::usb::match::set_configuration);
    sim::plug_options options;
    options.whole_device = true;
    std::vector<sim::device_stack*> stacks = host_->plug(device_, options);
    ASSERT_EQ(stacks.size(), 1u);
    EXPECT_FALSE(NT_SUCCESS(stacks[0]->start_status()));
    EXPECT_EQ(traced_with("usb_qd_select_interfaces: WdfUsbTargetDeviceSelectConfig failed ").size(), 1u);
    EXPECT_TRUE(traced("Use registry override"));
}

}  // namespace
}  // namespace cdc::enum_test
