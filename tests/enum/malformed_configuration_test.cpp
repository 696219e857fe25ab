// Broken configuration descriptors end the driver's walks without reading
// outside what the device sent (the AddressSanitizer build checks the reads).
// The first configuration is one the automatic detection rejects; the
// registry override then names a broken second one.
#include "enum/enum_fixture.h"

namespace cdc::enum_test {
namespace {

class malformed_configuration : public enum_fixture {
 protected:
    void SetUp() override {
        enum_fixture::SetUp();
        set_value("Configuration", 2);
        set_value("DataInterface", 0);
        set_value("DataInEp", 0x81);
        set_value("DataOutEp", 0x02);
    }

    // Configuration 1: a vendor interface with one endpoint, which sends the
    // start to the override; configuration 2 is started for the caller.
    static descriptor_builder& with_rejected_first(descriptor_builder& b) {
        b.device(test_vendor, 0x0140)
            .configuration(1)
            .interface(0, 0, USB_DEVICE_CLASS_VENDOR_SPECIFIC, 0, 0)
            .endpoint(0x81, ep::bulk, 64)
            .configuration(2);
        return b;
    }

    static descriptor_builder& data_interface(descriptor_builder& b) {
        b.interface(0, 0, USB_DEVICE_CLASS_VENDOR_SPECIFIC, 0, 0)
            .endpoint(0x81, ep::bulk, 64)
            .endpoint(0x02, ep::bulk, 64);
        return b;
    }

    // GET_DESCRIPTOR requests for configuration index 1, as their wLength.
    std::vector<int> second_configuration_reads() const {
        std::vector<int> out;
        for (const auto& setup : requests(USB_REQUEST_GET_DESCRIPTOR)) {
            if (setup.wValue == USB_DESCRIPTOR_MAKE_TYPE_AND_INDEX(USB_CONFIGURATION_DESCRIPTOR_TYPE, 1)) {
                out.push_back(setup.wLength);
            }
        }
        return out;
    }
};

TEST_F(malformed_configuration, well_formed_second_configuration_starts) {
    descriptor_builder b;
    data_interface(with_rejected_first(b));
    DEVICE_CONTEXT* fdx = plug_started(b.build());
    ASSERT_NE(fdx, nullptr);
    EXPECT_EQ(device_->configuration(), 2);
    EXPECT_EQ(endpoint_of(fdx->pipe_data_out), 0x02);
}

TEST_F(malformed_configuration, zero_blength_before_the_interface_ends_the_walk) {
    descriptor_builder b;
    with_rejected_first(b).raw({0x00, 0x24});
    data_interface(b);
    EXPECT_EQ(plug_status(b.build()), STATUS_DEVICE_CONFIGURATION_ERROR);
    EXPECT_TRUE(traced("usb_select_configuration: descriptors number expected 1, found 0"));
}

TEST_F(malformed_configuration, blength_1_ends_the_walk) {
    descriptor_builder b;
    with_rejected_first(b).raw({0x01});
    data_interface(b);
    EXPECT_EQ(plug_status(b.build()), STATUS_DEVICE_CONFIGURATION_ERROR);
    EXPECT_TRUE(traced("usb_select_configuration: descriptors number expected 1, found 0"));
}

// wTotalLength ends inside the interface descriptor.
TEST_F(malformed_configuration, descriptor_running_past_total_length_is_not_examined) {
    descriptor_builder b;
    data_interface(with_rejected_first(b)).total_length(9 + 5);
    EXPECT_EQ(plug_status(b.build()), STATUS_DEVICE_CONFIGURATION_ERROR);
    EXPECT_TRUE(traced("usb_select_configuration: descriptors number expected 1, found 0"));
}

// An interface descriptor shorter than 9 bytes is not passed on as one.
TEST_F(malformed_configuration, short_interface_descriptor_is_not_taken) {
    descriptor_builder b;
    with_rejected_first(b).raw({0x05, USB_INTERFACE_DESCRIPTOR_TYPE, 0x00, 0x00, 0x02});
    EXPECT_EQ(plug_status(b.build()), STATUS_DEVICE_CONFIGURATION_ERROR);
    EXPECT_TRUE(traced("usb_select_configuration: descriptors number expected 1, found 0"));
}

// The device sends what it has; only that counts as the configuration.
TEST_F(malformed_configuration, total_length_larger_than_what_the_device_returns) {
    descriptor_builder b;
    data_interface(with_rejected_first(b)).total_length(200);
    descriptor_set set = b.build();
    size_t real_size = set.configurations[1].size();
    DEVICE_CONTEXT* fdx = plug_started(set);
    ASSERT_NE(fdx, nullptr);
    EXPECT_TRUE(traced("usb_get_configuration_descriptor: wTotalLength c8, bNumInterfaces 1, bConfigurationValue 2"));
    EXPECT_EQ(second_configuration_reads(), (std::vector<int>{9, 200}));
    auto* config = static_cast<PUSB_CONFIGURATION_DESCRIPTOR>(fdx->config_desc);
    EXPECT_EQ(+config->wTotalLength, real_size);
}

TEST_F(malformed_configuration, header_cut_short_is_no_configuration) {
    descriptor_builder b;
    data_interface(with_rejected_first(b)).truncate(5);
    EXPECT_EQ(plug_status(b.build()), STATUS_DEVICE_CONFIGURATION_ERROR);
    EXPECT_TRUE(traced("usb_get_configuration_descriptor: failed to retrieve size"));
    EXPECT_TRUE(traced("usb_get_configuration_descriptor: failed, status c0000182"));
}

TEST_F(malformed_configuration, total_length_0_creates_no_buffer) {
    descriptor_builder b;
    data_interface(with_rejected_first(b)).total_length(0);
    EXPECT_EQ(plug_status(b.build()), STATUS_DEVICE_CONFIGURATION_ERROR);
    EXPECT_TRUE(traced("usb_get_configuration_descriptor: failed to retrieve size"));
    EXPECT_EQ(second_configuration_reads(), std::vector<int>{9});
}

// Shorter than its own header: as unusable as 0.
TEST_F(malformed_configuration, total_length_below_the_header_size) {
    descriptor_builder b;
    data_interface(with_rejected_first(b)).total_length(4);
    EXPECT_EQ(plug_status(b.build()), STATUS_DEVICE_CONFIGURATION_ERROR);
    EXPECT_TRUE(traced("usb_get_configuration_descriptor: failed to retrieve size"));
    EXPECT_EQ(second_configuration_reads(), std::vector<int>{9});
}

}  // namespace
}  // namespace cdc::enum_test
