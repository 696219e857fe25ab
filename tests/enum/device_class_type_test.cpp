// "DeviceClassType" forces the function type whatever interface 0 says.
#include "enum/enum_fixture.h"

namespace cdc::enum_test {
namespace {

namespace catalogue = sim::usb::catalogue;

using device_class_type = enum_fixture;

// An ACM-looking communication interface (subclass 2, protocol 0) and a data
// interface with an empty default setting and bulk pipes in setting 1.
descriptor_set acm_looking_ecm() {
    return descriptor_builder()
        .device(test_vendor, 0x0120)
        .configuration()
        .interface(0, 0, USB_DEVICE_CLASS_COMMUNICATIONS, 2, 0)
        .endpoint(0x81, ep::interrupt, 16, 16)
        .interface(1, 0, USB_DEVICE_CLASS_CDC_DATA, 0, 0)
        .interface(1, 1, USB_DEVICE_CLASS_CDC_DATA, 0, 0)
        .endpoint(0x82, ep::bulk, 64)
        .endpoint(0x02, ep::bulk, 64)
        .build();
}

TEST_F(device_class_type, value_7_fails_the_start_without_the_override) {
    set_value("DeviceClassType", 7);
    EXPECT_EQ(plug_status(catalogue::acm_modem()), STATUS_INVALID_PARAMETER);
    EXPECT_TRUE(traced("usb_qd_device_type_get_override: Unknown device type 7"));
    EXPECT_FALSE(traced("Use registry override"));
    EXPECT_TRUE(requests(USB_REQUEST_SET_CONFIGURATION).empty());
}

TEST_F(device_class_type, ecm_matches_a_subclass_2_interface_as_ecm) {
    set_value("DeviceClassType", 2);
    DEVICE_CONTEXT* fdx = plug_started(acm_looking_ecm());
    ASSERT_NE(fdx, nullptr);
    EXPECT_EQ(enumerator(fdx), "usbcdcecm");
    EXPECT_EQ(fdx->alt_enable, 1u);
    EXPECT_EQ(fdx->alt_disable, 0u);
    EXPECT_EQ(fdx->pipe_data_in, nullptr);
    EXPECT_TRUE(traced("usb_qd_select_interfaces: CDC (2) ECM (6) device"));
    EXPECT_TRUE(traced("usb_qd_find_interfaces_cdc: CDC ECM COMMUNNICATION interface"));
}

// As ACM its data pipes would have to be in the default setting, which is empty.
TEST_F(device_class_type, without_it_the_same_device_fails_as_acm) {
    EXPECT_EQ(plug_status(acm_looking_ecm()), STATUS_INVALID_PARAMETER);
    EXPECT_TRUE(traced("usb_qd_select_interfaces: CDC (2) ACM (2) device"));
    EXPECT_TRUE(traced("usb_qd_configure_pipes: Error configuring in/out pipes"));
    EXPECT_TRUE(traced("Use registry override"));
}

// ECM asks for protocol 0; the modem's communication interface says 1.
TEST_F(device_class_type, ecm_refuses_a_communication_interface_with_protocol_1) {
    set_value("DeviceClassType", 2);
    EXPECT_EQ(plug_status(catalogue::acm_modem()), STATUS_INVALID_PARAMETER);
    EXPECT_TRUE(traced("usb_qd_find_interfaces_cdc: CDC COMM interface not found !"));
    EXPECT_TRUE(traced("Use registry override"));
}

TEST_F(device_class_type, acm_on_a_vendor_interface_is_proprietary_acm) {
    set_value("DeviceClassType", 1);
    DEVICE_CONTEXT* fdx = plug_started(catalogue::vendor_serial_3ep());
    ASSERT_NE(fdx, nullptr);
    EXPECT_EQ(enumerator(fdx), "usbcdcacm");
    EXPECT_TRUE(traced("usb_qd_select_interfaces: CDC (2) ACM (2) device"));
    EXPECT_TRUE(traced("usb_qd_cdc_config_proprietary: Configuring a proprietary device"));
    EXPECT_FALSE(traced("usb_qd_select_interfaces: Unknown class ff"));
    EXPECT_EQ(fdx->usb_ifc_comm, fdx->usb_ifc_data);
    EXPECT_NE(fdx->pipe_comm_notify, nullptr);
}

// The interface's own protocol (2) still decides the ICCD layout.
TEST_F(device_class_type, iccd_on_a_vendor_interface_uses_its_protocol) {
    set_value("DeviceClassType", 5);
    DEVICE_CONTEXT* fdx = plug_started(catalogue::vendor_serial_3ep());
    ASSERT_NE(fdx, nullptr);
    EXPECT_EQ(enumerator(fdx), "usbiccd");
    EXPECT_TRUE(traced("usb_qd_select_interfaces: ICCD (b)  (0) device"));
    EXPECT_EQ(fdx->usb_ifc_data, nullptr);
    EXPECT_EQ(fdx->pipe_data_in, nullptr);
    ASSERT_NE(fdx->pipe_comm_notify, nullptr);
    EXPECT_EQ(fdx->notify_ep, 0x81u);
}

TEST_F(device_class_type, dfu_on_a_two_interface_device_falls_back_to_the_override) {
    set_value("DeviceClassType", 6);
    EXPECT_EQ(plug_status(catalogue::acm_modem()), STATUS_INVALID_PARAMETER);
    EXPECT_TRUE(traced("usb_qd_select_interfaces: DFU (fe)  (1) device"));
    EXPECT_TRUE(traced("usb_qd_select_interfaces: DFU class supports only a single interface"));
    EXPECT_TRUE(traced("Use registry override"));
}

TEST_F(device_class_type, eem_on_a_vendor_interface_names_the_function) {
    set_value("DeviceClassType", 4);
    DEVICE_CONTEXT* fdx = plug_started(catalogue::vendor_serial_2ep());
    ASSERT_NE(fdx, nullptr);
    EXPECT_EQ(enumerator(fdx), "usbcdceem");
    EXPECT_TRUE(traced("usb_qd_select_interfaces: CDC (2) EEM (c) device"));
}

}  // namespace
}  // namespace cdc::enum_test
