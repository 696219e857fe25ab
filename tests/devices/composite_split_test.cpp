// Splitting composite devices into functions: grouping by association or
// interface, hardware ids, and the configuration each function sees.
#include <gtest/gtest.h>

#include <algorithm>

#include "devices/catalogue.h"
#include "devices/descriptor_builder.h"
#include "devices/sysfs_loader.h"
#include "tests/devices/descriptor_test_support.h"
#include "usb/usb_composite.h"

namespace sim::usb {
namespace {

using test::total_length_of;

std::vector<std::string> hardware_ids(const std::vector<usb_function>& functions) {
    std::vector<std::string> ids;
    for (const usb_function& f : functions) ids.push_back(f.hardware_id);
    return ids;
}

std::vector<uint8_t> interface_numbers(const usb_function& f) {
    std::vector<uint8_t> numbers;
    for (const parsed_interface& i : parse_configuration(f.descriptors->configurations.at(0)).interfaces) {
        numbers.push_back(i.number);
    }
    return numbers;
}

// Class 0, three interfaces without associations; interface 1 has two
// alternate settings.
descriptor_builder three_interfaces(uint8_t device_class, uint8_t subclass, uint8_t protocol) {
    descriptor_builder b;
    b.device(0x1234, 0x5678, device_class, subclass, protocol)
        .configuration()
        .interface(0, 0, 0xff, 0, 0)
        .endpoint(0x81, endpoint_type::interrupt, 8, 4)
        .interface(1, 0, 0xff, 0, 0)
        .interface(1, 1, 0xff, 0, 0)
        .endpoint(0x82, endpoint_type::bulk, 64)
        .interface(2, 0, 0xff, 0, 0);
    return b;
}

TEST(composite_split, real_dual_acm_splits_by_association_into_mi_00_and_mi_02) {
    sysfs_load_result loaded = load_sysfs_file(test::real_descriptor_file("tinyusb-cdc_dual_ports.bin"));
    ASSERT_TRUE(loaded.ok()) << loaded.error;
    const std::vector<uint8_t>& original = loaded.descriptors.configurations[0];

    std::vector<usb_function> functions = split_functions(loaded.descriptors);

    ASSERT_EQ(hardware_ids(functions),
              (std::vector<std::string>{"VID_CAFE&PID_4006&MI_00", "VID_CAFE&PID_4006&MI_02"}));
    const usb_function& second = functions[1];
    EXPECT_TRUE(second.interface_function);
    EXPECT_EQ(second.first_interface, 2);
    EXPECT_EQ(interface_numbers(second), (std::vector<uint8_t>{2, 3}));
    // The header fitted to the function, then the second association and
    // its interfaces exactly as the device sent them.
    const std::vector<uint8_t>& config = second.descriptors->configurations.at(0);
    ASSERT_EQ(config.size(), 75u);
    EXPECT_EQ(total_length_of(config), 75);
    EXPECT_EQ(config[4], 2);  // bNumInterfaces
    EXPECT_TRUE(std::equal(config.begin() + 5, config.begin() + 9, original.begin() + 5));
    EXPECT_TRUE(std::equal(config.begin() + 9, config.end(), original.begin() + 75));
    EXPECT_EQ(second.descriptors->strings, loaded.descriptors.strings);
    EXPECT_EQ(+second.descriptors->device.idProduct, 0x4006);
}

TEST(composite_split, without_associations_each_interface_is_a_function_with_its_settings) {
    std::vector<usb_function> functions = split_functions(three_interfaces(0, 0, 0).build());

    ASSERT_EQ(hardware_ids(functions), (std::vector<std::string>{"VID_1234&PID_5678&MI_00", "VID_1234&PID_5678&MI_01",
                                                                 "VID_1234&PID_5678&MI_02"}));
    parsed_configuration middle = parse_configuration(functions[1].descriptors->configurations.at(0));
    EXPECT_TRUE(middle.walk.complete());
    EXPECT_EQ(middle.header.bNumInterfaces, 1);
    ASSERT_EQ(middle.interfaces.size(), 1u);
    ASSERT_EQ(middle.interfaces[0].settings.size(), 2u);
    EXPECT_EQ(middle.interfaces[0].settings[1].endpoints.size(), 1u);
}

TEST(composite_split, which_devices_are_composite) {
    const struct {
        const char* what;
        descriptor_set device;
        size_t functions;
    } cases[] = {
        {"class 0, three interfaces", three_interfaces(0, 0, 0).build(), 3},
        {"0xEF/2/1 without associations", three_interfaces(0xef, 2, 1).build(), 3},
        {"0xEF/2/2 is not the association triple", three_interfaces(0xef, 2, 2).build(), 1},
        {"class 2 with several interfaces", three_interfaces(2, 0, 0).build(), 1},
        {"vendor class", three_interfaces(0xff, 0, 0).build(), 1},
        {"class 0, one interface",
         descriptor_builder().device(0x1234, 0x5678).configuration().interface(0, 0, 0xff, 0, 0).build(), 1},
        {"class 0, two configurations", three_interfaces(0, 0, 0).configuration(2).interface(0, 0, 0xff, 0, 0).build(),
         1},
        {"no configuration at all", descriptor_builder().device(0x1234, 0x5678).build(), 1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        std::vector<usb_function> functions = split_functions(c.device);
        ASSERT_EQ(functions.size(), c.functions);
        if (c.functions == 1) {
            EXPECT_EQ(functions[0].hardware_id, "VID_1234&PID_5678");
            EXPECT_FALSE(functions[0].interface_function);
            EXPECT_EQ(functions[0].descriptors->configurations, c.device.configurations);
        }
    }
}

TEST(composite_split, whole_device_mode_keeps_a_composite_device_in_one_piece) {
    descriptor_set device = catalogue::dual_acm_composite();

    std::vector<usb_function> functions = split_functions(device, split_mode::whole_device);

    ASSERT_EQ(functions.size(), 1u);
    EXPECT_EQ(functions[0].hardware_id, "VID_1234&PID_0040");
    EXPECT_EQ(functions[0].descriptors->configurations, device.configurations);
    // A set held shared is the whole device's view itself, not a copy.
    auto shared = std::make_shared<const descriptor_set>(device);
    EXPECT_EQ(split_functions(shared, split_mode::whole_device).at(0).descriptors, shared);
}

TEST(composite_split, hardware_ids_use_upper_case_hex_with_leading_zeros) {
    EXPECT_EQ(device_hardware_id(0x00ab, 0x0c0d), "VID_00AB&PID_0C0D");
    EXPECT_EQ(interface_hardware_id(0xabcd, 0xef01, 0x0a), "VID_ABCD&PID_EF01&MI_0A");
    EXPECT_EQ(interface_hardware_id(0x1234, 0x5678, 0xff), "VID_1234&PID_5678&MI_FF");
}

TEST(composite_split, association_and_lone_interface_in_a_class_0_device) {
    std::vector<usb_function> functions = split_functions(catalogue::acm_vendor_composite());

    ASSERT_EQ(hardware_ids(functions),
              (std::vector<std::string>{"VID_1234&PID_0041&MI_00", "VID_1234&PID_0041&MI_02"}));
    EXPECT_EQ(interface_numbers(functions[0]), (std::vector<uint8_t>{0, 1}));
    EXPECT_EQ(interface_numbers(functions[1]), (std::vector<uint8_t>{2}));
    // The lone interface does not see the association of the ACM function.
    EXPECT_TRUE(parse_configuration(functions[1].descriptors->configurations[0]).associations.empty());
    EXPECT_EQ(parse_configuration(functions[0].descriptors->configurations[0]).associations.size(), 1u);
}

TEST(composite_split, descriptors_before_the_first_interface_go_to_every_function) {
    descriptor_set device = descriptor_builder()
                                .device(0x1234, 0x5678)
                                .configuration()
                                .raw({0x03, 0x09, 0x03})  // an OTG descriptor
                                .interface(0, 0, 0xff, 0, 0)
                                .interface(1, 0, 0xff, 0, 0)
                                .build();

    for (const usb_function& f : split_functions(device)) {
        EXPECT_EQ(parse_configuration(f.descriptors->configurations[0]).extra,
                  (std::vector<uint8_t>{0x03, 0x09, 0x03}));
    }
}

TEST(composite_split, a_broken_configuration_gives_functions_only_whole_descriptors) {
    // The last interface is followed by a zero-length descriptor and
    // wTotalLength claims more than the device has.
    descriptor_set device = three_interfaces(0, 0, 0).raw({0x00, 0x24}).total_length(300).build();

    std::vector<usb_function> functions = split_functions(device);

    ASSERT_EQ(functions.size(), 3u);
    for (const usb_function& f : functions) {
        descriptor_walk walk = walk_configuration(f.descriptors->configurations.at(0));
        EXPECT_TRUE(walk.complete()) << f.hardware_id << ": " << walk.problem();
    }
}

}  // namespace
}  // namespace sim::usb
