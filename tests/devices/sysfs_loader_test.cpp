// Loading descriptors in the Linux sysfs format: real files, framing errors
// with their offsets, and what a short last configuration leaves.
#include "devices/sysfs_loader.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "devices/descriptor_builder.h"
#include "tests/devices/descriptor_test_support.h"

namespace sim::usb {
namespace {

using test::real_descriptor_file;

std::vector<uint8_t> device_descriptor(uint8_t num_configurations = 1) {
    return {18, 1, 0x00, 0x02, 0, 0, 0, 64, 0x34, 0x12, 0x01, 0x00, 0x00, 0x01, 0, 0, 0, num_configurations};
}

std::vector<uint8_t> concat(std::vector<uint8_t> a, const std::vector<uint8_t>& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

// Configuration with one interface, 18 bytes.
const std::vector<uint8_t> one_interface = {9, 2, 18, 0, 1, 1, 0, 0x80, 50, 9, 4, 0, 0, 0, 0xff, 0, 0, 0};

TEST(sysfs_loader, loads_the_real_descriptor_files) {
    sysfs_load_result dual = load_sysfs_file(real_descriptor_file("tinyusb-cdc_dual_ports.bin"));
    sysfs_load_result ecm = load_sysfs_file(real_descriptor_file("qemu-usb_net-cfgidx1_ecm.bin"));
    sysfs_load_result ch340 = load_sysfs_file(real_descriptor_file("dump-ch340.bin"));
    ASSERT_TRUE(dual.ok()) << dual.error;
    ASSERT_TRUE(ecm.ok()) << ecm.error;
    ASSERT_TRUE(ch340.ok()) << ch340.error;

    EXPECT_EQ(+dual.descriptors.device.idVendor, 0xcafe);
    EXPECT_EQ(dual.descriptors.device.bDeviceClass, USB_DEVICE_CLASS_MISCELLANEOUS);
    ASSERT_EQ(dual.descriptors.configurations.size(), 1u);
    EXPECT_EQ(dual.descriptors.configurations[0].size(), 141u);
    EXPECT_TRUE(dual.warnings.empty());

    // The file keeps one of the device's two configurations.
    EXPECT_EQ(ecm.descriptors.device.bNumConfigurations, 2);
    EXPECT_EQ(ecm.descriptors.configurations.size(), 1u);
    EXPECT_EQ(ecm.warnings, (std::vector<std::string>{"1 configuration(s) present, bNumConfigurations 2"}));

    EXPECT_EQ(+ch340.descriptors.device.idVendor, 0x1a86);
    EXPECT_EQ(+ch340.descriptors.device.idProduct, 0x7523);
    EXPECT_EQ(ch340.descriptors.configurations.at(0).size(), 39u);
    EXPECT_EQ(ch340.descriptors.speed, usb_speed::full);
    EXPECT_TRUE(ch340.descriptors.strings.empty());
}

TEST(sysfs_loader, framing_errors_name_the_offset) {
    std::vector<uint8_t> bad_type = device_descriptor();
    bad_type[1] = 2;
    std::vector<uint8_t> bad_length = device_descriptor();
    bad_length[0] = 17;
    std::vector<uint8_t> tiny_total = one_interface;
    tiny_total[2] = 4;

    const struct {
        std::vector<uint8_t> bytes;
        std::string error;
    } cases[] = {
        {{}, "offset 0: device descriptor truncated (0 bytes)"},
        {{18, 1, 0, 2, 0}, "offset 0: device descriptor truncated (5 bytes)"},
        {concat(bad_type, one_interface), "offset 0: descriptor type 0x02, expected a device descriptor"},
        {concat(bad_length, one_interface), "offset 0: device descriptor bLength 17, expected 18"},
        {device_descriptor(), "offset 18: no configuration descriptor"},
        {concat(device_descriptor(), {9, 2, 18, 0, 1}),
         "offset 18: configuration descriptor header truncated (5 bytes)"},
        {concat(device_descriptor(), {9, 4, 0, 0, 0, 0, 0xff, 0, 0}),
         "offset 18: descriptor type 0x04, expected a configuration descriptor"},
        {concat(device_descriptor(), tiny_total),
         "offset 18: wTotalLength 4 shorter than the configuration descriptor"},
        {concat(concat(device_descriptor(2), one_interface), {9, 2, 9}),
         "offset 36: configuration descriptor header truncated (3 bytes)"},
    };
    for (const auto& c : cases) {
        test::exact_bytes copy(c.bytes);
        sysfs_load_result result = load_sysfs_descriptors(copy.data.get(), copy.size);
        EXPECT_EQ(result.error, c.error);
    }
}

TEST(sysfs_loader, a_last_configuration_shorter_than_its_total_length_is_kept_as_it_is) {
    std::vector<uint8_t> claims_more = one_interface;
    claims_more[2] = 40;

    sysfs_load_result result = load_sysfs_descriptors(concat(device_descriptor(), claims_more));

    ASSERT_TRUE(result.ok()) << result.error;
    EXPECT_EQ(result.descriptors.configurations.at(0), claims_more);
    EXPECT_EQ(result.warnings, (std::vector<std::string>{"offset 18: configuration 0 claims 40 bytes, 18 present"}));
}

TEST(sysfs_loader, configurations_follow_each_other_by_total_length) {
    std::vector<uint8_t> second = one_interface;
    second[5] = 2;
    std::vector<uint8_t> bytes = concat(concat(device_descriptor(2), one_interface), second);

    sysfs_load_result result = load_sysfs_descriptors(bytes);

    ASSERT_TRUE(result.ok()) << result.error;
    ASSERT_EQ(result.descriptors.configurations.size(), 2u);
    EXPECT_EQ(result.descriptors.configurations[1][5], 2);
    EXPECT_TRUE(result.warnings.empty());
}

TEST(sysfs_loader, a_512_byte_bulk_endpoint_means_high_speed) {
    descriptor_set hs = descriptor_builder()
                            .configuration()
                            .interface(0, 0, 0xff, 0, 0)
                            .endpoint(0x81, endpoint_type::bulk, 512)
                            .build();
    std::vector<uint8_t> bytes = concat(device_descriptor_bytes(hs.device), hs.configurations[0]);

    EXPECT_EQ(load_sysfs_descriptors(bytes).descriptors.speed, usb_speed::high);
}

TEST(sysfs_loader, unreadable_file_is_an_error_naming_it) {
    sysfs_load_result result = load_sysfs_file("/nonexistent/descriptors");

    EXPECT_FALSE(result.ok());
    EXPECT_EQ(result.error.rfind("/nonexistent/descriptors: cannot open", 0), 0u) << result.error;
}

TEST(sysfs_loader, a_directory_given_as_the_file_is_an_error_not_a_crash) {
    sysfs_load_result result = load_sysfs_file(CDC_SOURCE_DIR);

    EXPECT_FALSE(result.ok());
    EXPECT_EQ(result.error.rfind(std::string(CDC_SOURCE_DIR) + ": cannot", 0), 0u) << result.error;
}

TEST(sysfs_loader, a_device_directory_adds_its_strings) {
    std::string dir = ::testing::TempDir() + "/sysfs_loader_device";
    std::filesystem::create_directories(dir);
    std::vector<uint8_t> device = device_descriptor();
    device[15] = 2;  // iProduct
    device[16] = 3;  // iSerialNumber
    std::vector<uint8_t> bytes = concat(device, one_interface);
    std::ofstream(dir + "/descriptors", std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    std::ofstream(dir + "/product") << "Mod\xc3\xa9m \xf0\x9f\x93\x9e\n";
    std::ofstream(dir + "/serial") << "A1\n";
    std::ofstream(dir + "/manufacturer") << "never read: iManufacturer is 0\n";

    sysfs_load_result result = load_sysfs_directory(dir);

    ASSERT_TRUE(result.ok()) << result.error;
    EXPECT_EQ(result.descriptors.strings.size(), 2u);
    EXPECT_EQ(result.descriptors.strings[2], u"Mod\u00e9m \U0001F4DE");
    EXPECT_EQ(result.descriptors.strings[3], u"A1");
}

}  // namespace
}  // namespace sim::usb
