// Walking and parsing configuration bytes, including the broken ones real
// devices send: the walker stops where it must and never reads past them.
#include <gtest/gtest.h>

#include "devices/catalogue.h"
#include "devices/descriptor_builder.h"
#include "devices/sysfs_loader.h"
#include "tests/devices/descriptor_test_support.h"
#include "usb/usb_composite.h"
#include "usb/usb_descriptors.h"

namespace sim::usb {
namespace {

using test::exact_bytes;

// Configuration 1 with one vendor interface and a bulk IN endpoint:
// header at 0, interface at 9, endpoint at 18, 25 bytes in all.
descriptor_builder vendor_device() {
    descriptor_builder b;
    b.device(0x1234, 0x0100).configuration().interface(0, 0, 0xff, 0, 0).endpoint(0x81, endpoint_type::bulk, 64);
    return b;
}

descriptor_walk walk_exact(const std::vector<uint8_t>& bytes) {
    exact_bytes copy(bytes);
    return walk_configuration(copy.data.get(), copy.size);
}

TEST(descriptor_walk, well_formed_configuration_is_walked_to_its_total_length) {
    std::vector<uint8_t> config = vendor_device().build().configurations[0];

    descriptor_walk walk = walk_exact(config);

    EXPECT_TRUE(walk.complete());
    EXPECT_EQ(walk.problem(), "");
    ASSERT_EQ(walk.descriptors.size(), 3u);
    EXPECT_EQ(walk.descriptors[2].offset, 18u);
    EXPECT_EQ(walk.descriptors[2].type, USB_ENDPOINT_DESCRIPTOR_TYPE);
    EXPECT_EQ(walk.stop_offset, 25u);
}

TEST(descriptor_walk, malformed_descriptors_stop_the_walk_where_they_are) {
    struct broken_case {
        const char* what;
        descriptor_set device;
        walk_end end;
        size_t stop_offset;
        size_t whole_descriptors;
        const char* problem;
    };
    const broken_case cases[] = {
        {"zero bLength", vendor_device().raw({0x00, 0x24, 0x01}).build(), walk_end::zero_length, 25, 3,
         "offset 25: descriptor with bLength 0"},
        {"bLength 1", vendor_device().raw({0x01, 0x24}).build(), walk_end::length_too_small, 25, 3,
         "offset 25: descriptor with bLength 1"},
        {"descriptor past wTotalLength", vendor_device().total_length(22).build(), walk_end::past_total_length, 18, 2,
         "offset 18: descriptor runs past wTotalLength 22"},
        {"wTotalLength shorter than the header", vendor_device().total_length(4).build(), walk_end::past_total_length,
         0, 0, "offset 0: descriptor runs past wTotalLength 4"},
        {"wTotalLength beyond the bytes", vendor_device().total_length(100).build(), walk_end::short_buffer, 25, 3,
         "offset 25: wTotalLength 100 but only 25 bytes present"},
        {"descriptor past the bytes", vendor_device().total_length(100).truncate(22).build(), walk_end::past_buffer, 18,
         2, "offset 18: descriptor runs past the 22 bytes present"},
        {"one stray byte at the end", vendor_device().total_length(26).raw({0x07}).build(), walk_end::past_total_length,
         25, 3, "offset 25: descriptor runs past wTotalLength 26"},
    };
    for (const broken_case& c : cases) {
        SCOPED_TRACE(c.what);
        descriptor_walk walk = walk_exact(c.device.configurations[0]);
        EXPECT_EQ(walk.end, c.end) << walk_end_name(walk.end);
        EXPECT_EQ(walk.stop_offset, c.stop_offset);
        EXPECT_EQ(walk.descriptors.size(), c.whole_descriptors);
        EXPECT_EQ(walk.problem(), c.problem);
    }
}

TEST(descriptor_walk, bytes_after_total_length_are_not_walked) {
    std::vector<uint8_t> config = vendor_device().raw({0x00, 0x00}).total_length(25).build().configurations[0];

    descriptor_walk walk = walk_exact(config);

    EXPECT_TRUE(walk.complete());
    EXPECT_EQ(walk.descriptors.size(), 3u);
}

// Every prefix and thousands of corrupted copies of real and catalogue
// configurations go through the walker, the parser and the composite split;
// AddressSanitizer checks that none of them reads outside the bytes.
TEST(descriptor_walk, no_input_makes_walk_parse_or_split_read_out_of_bounds) {
    std::vector<std::vector<uint8_t>> samples;
    for (const char* name : {"tinyusb-cdc_dual_ports.bin", "qemu-usb_net-cfgidx1_ecm.bin", "dump-ch340.bin"}) {
        samples.push_back(load_sysfs_file(test::real_descriptor_file(name)).descriptors.configurations.at(0));
    }
    for (const catalogue::entry& e : catalogue::entries()) samples.push_back(e.make({}).configurations.at(0));

    descriptor_set device = catalogue::dual_acm_composite();
    auto exercise = [&device](const std::vector<uint8_t>& bytes) {
        exact_bytes copy(bytes);
        parsed_configuration parsed = parse_configuration(copy.data.get(), copy.size);
        EXPECT_LE(parsed.walk.stop_offset, copy.size);
        device.configurations = {bytes};
        for (const usb_function& f : split_functions(device)) {
            EXPECT_LE(f.descriptors->configurations.at(0).size(), bytes.size());
        }
    };

    uint32_t seed = 12345;
    auto next = [&seed]() { return seed = seed * 1103515245u + 12345u, seed >> 16; };
    for (const std::vector<uint8_t>& sample : samples) {
        for (size_t n = 0; n <= sample.size(); ++n) exercise({sample.begin(), sample.begin() + n});
        for (int round = 0; round < 300; ++round) {
            std::vector<uint8_t> mutated = sample;
            for (int k = 0; k < 3; ++k) mutated[next() % mutated.size()] = static_cast<uint8_t>(next());
            exercise(mutated);
        }
    }
}

TEST(parse_configuration, groups_settings_endpoints_and_class_bytes_of_a_real_device) {
    sysfs_load_result ecm = load_sysfs_file(test::real_descriptor_file("qemu-usb_net-cfgidx1_ecm.bin"));
    ASSERT_TRUE(ecm.ok()) << ecm.error;

    parsed_configuration config = parse_configuration(ecm.descriptors.configurations[0]);

    ASSERT_TRUE(config.has_header);
    EXPECT_EQ(config.header.bConfigurationValue, 1);
    ASSERT_EQ(config.interfaces.size(), 2u);
    const parsed_setting* comm = config.find_setting(0, 0);
    ASSERT_NE(comm, nullptr);
    EXPECT_EQ(comm->descriptor.bInterfaceSubClass, cdc_subclass_ecm);
    // Header (5), union (5) and ethernet (13) functional descriptors.
    EXPECT_EQ(comm->extra.size(), 23u);
    ASSERT_EQ(comm->endpoints.size(), 1u);
    EXPECT_EQ(comm->endpoints[0].descriptor.bEndpointAddress, 0x81);
    EXPECT_EQ(+comm->endpoints[0].descriptor.wMaxPacketSize, 16);

    const parsed_interface* data = config.find_interface(1);
    ASSERT_NE(data, nullptr);
    ASSERT_EQ(data->settings.size(), 2u);
    EXPECT_TRUE(data->setting(0)->endpoints.empty());
    EXPECT_EQ(data->setting(1)->endpoints.size(), 2u);
    EXPECT_EQ(data->setting(2), nullptr);
}

TEST(parse_configuration, keeps_associations_and_bytes_outside_any_interface) {
    std::vector<uint8_t> config = descriptor_builder()
                                      .configuration()
                                      .raw({0x04, 0x99, 0xaa, 0xbb})
                                      .iad(0, 1, 0xff, 0, 0)
                                      .interface(0, 0, 0xff, 0, 0)
                                      .endpoint(0x81, endpoint_type::isochronous, 192, 1)
                                      .descriptor(cs_endpoint, {0x01, 0x00})
                                      .build()
                                      .configurations[0];

    parsed_configuration parsed = parse_configuration(config);

    EXPECT_EQ(parsed.extra, (std::vector<uint8_t>{0x04, 0x99, 0xaa, 0xbb}));
    ASSERT_EQ(parsed.associations.size(), 1u);
    EXPECT_EQ(parsed.associations[0].offset, 13u);
    const parsed_setting* setting = parsed.find_setting(0, 0);
    ASSERT_NE(setting, nullptr);
    ASSERT_EQ(setting->endpoints.size(), 1u);
    EXPECT_EQ(setting->endpoints[0].extra, (std::vector<uint8_t>{0x04, cs_endpoint, 0x01, 0x00}));
}

TEST(parse_configuration, short_descriptors_read_as_zero_past_their_length) {
    // An interface descriptor cut to 5 bytes: class, subclass, protocol and
    // string index are not the next descriptor's bytes.
    std::vector<uint8_t> config = descriptor_builder()
                                      .configuration()
                                      .raw({0x05, USB_INTERFACE_DESCRIPTOR_TYPE, 0x03, 0x00, 0x02})
                                      .raw({0x04, 0x24, 0xee, 0xee})
                                      .build()
                                      .configurations[0];

    parsed_configuration parsed = parse_configuration(config);

    const parsed_setting* setting = parsed.find_setting(3, 0);
    ASSERT_NE(setting, nullptr);
    EXPECT_EQ(setting->descriptor.bNumEndpoints, 2);
    EXPECT_EQ(setting->descriptor.bInterfaceClass, 0);
    EXPECT_EQ(setting->descriptor.iInterface, 0);
}

TEST(parse_configuration, a_kept_parse_is_only_ever_that_of_the_same_bytes) {
    // Same length, one byte apart: the endpoint's address.
    std::vector<uint8_t> first = vendor_device().build().configurations[0];
    std::vector<uint8_t> second = first;
    second[20] = 0x82;

    std::shared_ptr<const parsed_configuration> a = shared_parse(first);
    std::shared_ptr<const parsed_configuration> b = shared_parse(second);

    EXPECT_EQ(shared_parse(first), a);
    ASSERT_NE(a, b);
    ASSERT_NE(a->find_setting(0, 0), nullptr);
    ASSERT_NE(b->find_setting(0, 0), nullptr);
    EXPECT_EQ(a->find_setting(0, 0)->endpoints.at(0).descriptor.bEndpointAddress, 0x81);
    EXPECT_EQ(b->find_setting(0, 0)->endpoints.at(0).descriptor.bEndpointAddress, 0x82);
    EXPECT_EQ(a->walk.descriptors.size(), parse_configuration(first).walk.descriptors.size());
}

}  // namespace
}  // namespace sim::usb
