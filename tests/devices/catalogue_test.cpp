// The built-in devices are laid out as real ones, and the builder's computed
// fields and overrides behave as its users rely on.
#include "devices/catalogue.h"

#include <gtest/gtest.h>

#include <set>

#include "devices/descriptor_builder.h"
#include "usb/usb_composite.h"

namespace sim::usb {
namespace {

using catalogue::device_options;

std::vector<uint8_t> endpoint_addresses(const parsed_setting* setting) {
    std::vector<uint8_t> addresses;
    for (const parsed_endpoint& e : setting->endpoints) addresses.push_back(e.descriptor.bEndpointAddress);
    return addresses;
}

class catalogue_devices : public ::testing::TestWithParam<usb_speed> {};

// Counts a host relies on match what is there, every string the device
// descriptor names exists, and bulk packets fit the speed.
TEST_P(catalogue_devices, every_device_is_well_formed_at_every_speed) {
    device_options options;
    options.speed = GetParam();
    for (const catalogue::entry& e : catalogue::entries()) {
        SCOPED_TRACE(e.name);
        EXPECT_EQ(catalogue::find(e.name), &e);
        descriptor_set device = e.make(options);
        EXPECT_EQ(device.speed, GetParam());
        EXPECT_EQ(device.device.bNumConfigurations, device.configurations.size());
        for (uint8_t index : {device.device.iManufacturer, device.device.iProduct, device.device.iSerialNumber}) {
            EXPECT_NE(device.string(index), nullptr) << "string " << int(index);
        }
        parsed_configuration config = parse_configuration(device.configurations.at(0));
        EXPECT_TRUE(config.walk.complete()) << config.walk.problem();
        EXPECT_EQ(+config.header.wTotalLength, device.configurations[0].size());
        EXPECT_EQ(config.header.bNumInterfaces, config.interfaces.size());
        for (const parsed_interface& ifc : config.interfaces) {
            for (const parsed_setting& s : ifc.settings) {
                EXPECT_EQ(s.descriptor.bNumEndpoints, s.endpoints.size());
                for (const parsed_endpoint& ep : s.endpoints) {
                    if ((ep.descriptor.bmAttributes & USB_ENDPOINT_TYPE_MASK) != USB_ENDPOINT_TYPE_BULK) continue;
                    EXPECT_EQ(ep.descriptor.wMaxPacketSize == 512, GetParam() == usb_speed::high);
                }
            }
        }
    }
    EXPECT_EQ(catalogue::find("no-such-device"), nullptr);
}

INSTANTIATE_TEST_SUITE_P(speeds, catalogue_devices, ::testing::Values(usb_speed::full, usb_speed::high));

TEST(catalogue, acm_modem_has_the_functional_descriptors_and_three_endpoints) {
    parsed_configuration config = parse_configuration(catalogue::acm_modem().configurations[0]);

    const parsed_setting* comm = config.find_setting(0, 0);
    const parsed_setting* data = config.find_setting(1, 0);
    ASSERT_NE(comm, nullptr);
    ASSERT_NE(data, nullptr);
    EXPECT_EQ(comm->descriptor.bInterfaceClass, 2);
    EXPECT_EQ(comm->descriptor.bInterfaceSubClass, 2);
    EXPECT_EQ(comm->descriptor.bInterfaceProtocol, 1);
    EXPECT_EQ(comm->extra, (std::vector<uint8_t>{0x05, 0x24, 0x00, 0x10, 0x01,     // header 1.10
                                                 0x05, 0x24, 0x01, 0x03, 0x01,     // call management
                                                 0x04, 0x24, 0x02, 0x06,           // ACM
                                                 0x05, 0x24, 0x06, 0x00, 0x01}));  // union 0 -> 1
    ASSERT_EQ(endpoint_addresses(comm), (std::vector<uint8_t>{0x81}));
    EXPECT_EQ(comm->endpoints[0].descriptor.bmAttributes, USB_ENDPOINT_TYPE_INTERRUPT);
    EXPECT_EQ(+comm->endpoints[0].descriptor.wMaxPacketSize, 16);
    EXPECT_EQ(data->descriptor.bInterfaceClass, USB_DEVICE_CLASS_CDC_DATA);
    EXPECT_EQ(endpoint_addresses(data), (std::vector<uint8_t>{0x82, 0x02}));

    parsed_configuration quiet = parse_configuration(catalogue::acm_without_notification().configurations[0]);
    EXPECT_TRUE(quiet.find_setting(0, 0)->endpoints.empty());
}

TEST(catalogue, ecm_and_obex_data_interfaces_switch_endpoints_on_with_setting_1) {
    for (const descriptor_set& device : {catalogue::ecm_adapter(), catalogue::obex_phone()}) {
        parsed_configuration config = parse_configuration(device.configurations[0]);
        const parsed_interface* data = config.find_interface(1);
        ASSERT_NE(data, nullptr);
        ASSERT_EQ(data->settings.size(), 2u);
        EXPECT_TRUE(data->setting(0)->endpoints.empty());
        EXPECT_EQ(endpoint_addresses(data->setting(1)), (std::vector<uint8_t>{0x82, 0x02}));
    }
    descriptor_set ecm = catalogue::ecm_adapter();
    parsed_configuration config = parse_configuration(ecm.configurations[0]);
    const parsed_setting* comm = config.find_setting(0, 0);
    ASSERT_NE(comm, nullptr);
    ASSERT_EQ(comm->extra.size(), 23u);
    // The ethernet descriptor names the MAC address string.
    EXPECT_EQ(comm->extra[10 + 2], cdc_fd_ethernet);
    EXPECT_NE(ecm.string(comm->extra[10 + 3]), nullptr);
}

TEST(catalogue, iccd_protocols_have_their_endpoints) {
    const struct {
        uint8_t protocol;
        bool interrupt_in;
        std::vector<uint8_t> endpoints;
    } cases[] = {
        {0, true, {0x82, 0x02, 0x81}},
        {1, false, {}},
        {2, true, {0x81}},
    };
    for (const auto& c : cases) {
        parsed_configuration config =
            parse_configuration(catalogue::iccd_reader(c.protocol, c.interrupt_in).configurations[0]);
        const parsed_setting* ifc = config.find_setting(0, 0);
        ASSERT_NE(ifc, nullptr);
        EXPECT_EQ(ifc->descriptor.bInterfaceClass, USB_DEVICE_CLASS_SMART_CARD);
        EXPECT_EQ(ifc->descriptor.bInterfaceProtocol, c.protocol);
        EXPECT_EQ(endpoint_addresses(ifc), c.endpoints) << "protocol " << int(c.protocol);
        ASSERT_EQ(ifc->extra.size(), 54u);
        EXPECT_EQ(ifc->extra[0], 54);
    }
}

TEST(catalogue, power_attributes_follow_the_kind_of_device_unless_chosen) {
    auto attributes = [](const descriptor_set& d) {
        return parse_configuration(d.configurations[0]).header.bmAttributes;
    };
    device_options wake_off;
    wake_off.remote_wakeup = false;
    device_options self_powered;
    self_powered.self_powered = true;

    EXPECT_EQ(attributes(catalogue::acm_modem()), USB_CONFIG_BUS_POWERED | USB_CONFIG_REMOTE_WAKEUP);
    EXPECT_EQ(attributes(catalogue::obex_phone()), USB_CONFIG_BUS_POWERED | USB_CONFIG_SELF_POWERED);
    EXPECT_EQ(attributes(catalogue::vendor_serial_3ep()), USB_CONFIG_BUS_POWERED);
    EXPECT_EQ(attributes(catalogue::acm_modem(wake_off)), USB_CONFIG_BUS_POWERED);
    EXPECT_EQ(attributes(catalogue::dfu_device(self_powered)), USB_CONFIG_BUS_POWERED | USB_CONFIG_SELF_POWERED);
}

TEST(catalogue, dual_acm_splits_into_two_complete_acm_functions) {
    std::vector<usb_function> functions = split_functions(catalogue::dual_acm_composite());

    ASSERT_EQ(functions.size(), 2u);
    for (const usb_function& f : functions) {
        parsed_configuration config = parse_configuration(f.descriptors->configurations[0]);
        const parsed_setting* comm = config.find_setting(f.first_interface, 0);
        const parsed_setting* data = config.find_setting(f.first_interface + 1, 0);
        ASSERT_NE(comm, nullptr) << f.hardware_id;
        ASSERT_NE(data, nullptr) << f.hardware_id;
        EXPECT_EQ(comm->descriptor.bInterfaceSubClass, cdc_subclass_acm);
        EXPECT_EQ(data->endpoints.size(), 2u);
    }
}

TEST(descriptor_builder, counts_interfaces_and_endpoints_unless_overridden) {
    descriptor_set device = descriptor_builder()
                                .configuration()
                                .interface(0, 0, 0xff, 0, 0)
                                .endpoint(0x81, endpoint_type::bulk, 64)
                                .raw({7, 5, 0x83, 2, 64, 0, 0})  // an endpoint the builder does not count
                                .interface(0, 1, 0xff, 0, 0)
                                .endpoint(0x82, endpoint_type::bulk, 64)
                                .num_endpoints(5)
                                .interface(1, 0, 0xff, 0, 0)
                                .build();

    parsed_configuration config = parse_configuration(device.configurations[0]);

    EXPECT_EQ(config.header.bNumInterfaces, 2);
    EXPECT_EQ(config.find_setting(0, 0)->descriptor.bNumEndpoints, 1);
    EXPECT_EQ(config.find_setting(0, 0)->endpoints.size(), 2u);
    EXPECT_EQ(config.find_setting(0, 1)->descriptor.bNumEndpoints, 5);
    EXPECT_EQ(config.find_setting(1, 0)->descriptor.bNumEndpoints, 0);
    EXPECT_EQ(descriptor_builder().configuration().num_interfaces(7).build().configurations[0][4], 7);
}

}  // namespace
}  // namespace sim::usb
