// GET_DESCRIPTOR as the device answers it: truncation to wLength, strings,
// and stalls for what the device does not have.
#include <gtest/gtest.h>

#include <cstring>

#include "devices/catalogue.h"
#include "devices/descriptor_builder.h"
#include "usb/usb_descriptors.h"

namespace sim::usb {
namespace {

class get_descriptor : public ::testing::Test {
 protected:
    descriptor_set device = descriptor_builder()
                                .device(0x1234, 0x5678, 0, 0, 0, 0x0200, 64)
                                .strings(u"Maker", u"Gadget", u"")
                                .configuration()
                                .interface(0, 0, 0xff, 0, 0)
                                .endpoint(0x81, endpoint_type::bulk, 64)
                                .build();
};

TEST_F(get_descriptor, device_descriptor_is_cut_to_the_requested_length) {
    descriptor_reply first = answer_get_descriptor(device, USB_DEVICE_DESCRIPTOR_TYPE, 0, 0, 8);
    descriptor_reply full = answer_get_descriptor(device, USB_DEVICE_DESCRIPTOR_TYPE, 0, 0, 64);

    ASSERT_FALSE(first.stalled);
    EXPECT_EQ(first.data, (std::vector<uint8_t>{18, 1, 0x00, 0x02, 0, 0, 0, 64}));
    ASSERT_EQ(full.data.size(), 18u);
    EXPECT_EQ(full.data[8], 0x34);
    EXPECT_EQ(full.data[9], 0x12);
    EXPECT_EQ(full.data[17], 1);  // bNumConfigurations
}

TEST_F(get_descriptor, configuration_is_sent_as_far_as_asked_and_as_far_as_the_device_has) {
    descriptor_reply header = answer_get_descriptor(device, USB_CONFIGURATION_DESCRIPTOR_TYPE, 0, 0, 9);
    descriptor_reply whole = answer_get_descriptor(device, USB_CONFIGURATION_DESCRIPTOR_TYPE, 0, 0, 0xffff);
    EXPECT_EQ(header.data.size(), 9u);
    EXPECT_EQ(whole.data, device.configurations[0]);

    // A device whose wTotalLength claims 200 bytes sends the 18 it has.
    descriptor_set liar = descriptor_builder().configuration().interface(0, 0, 0xff, 0, 0).total_length(200).build();
    descriptor_reply short_reply = answer_get_descriptor(liar, USB_CONFIGURATION_DESCRIPTOR_TYPE, 0, 0, 200);
    ASSERT_FALSE(short_reply.stalled);
    EXPECT_EQ(short_reply.data.size(), 18u);
    EXPECT_EQ(short_reply.data[2], 200);
}

TEST_F(get_descriptor, strings_are_utf16le_with_their_length_first) {
    descriptor_reply langids = answer_get_descriptor(device, USB_STRING_DESCRIPTOR_TYPE, 0, 0, 255);
    descriptor_reply product = answer_get_descriptor(device, USB_STRING_DESCRIPTOR_TYPE, 2, langid_en_us, 255);
    descriptor_reply length_only = answer_get_descriptor(device, USB_STRING_DESCRIPTOR_TYPE, 2, langid_en_us, 2);

    EXPECT_EQ(langids.data, (std::vector<uint8_t>{4, 3, 0x09, 0x04}));
    EXPECT_EQ(product.data, (std::vector<uint8_t>{14, 3, 'G', 0, 'a', 0, 'd', 0, 'g', 0, 'e', 0, 't', 0}));
    EXPECT_EQ(length_only.data, (std::vector<uint8_t>{14, 3}));
    EXPECT_EQ(device.device.iSerialNumber, 0);
}

TEST_F(get_descriptor, a_string_too_long_for_one_descriptor_is_cut_at_126_units) {
    device.strings[4] = std::u16string(200, u'x');

    descriptor_reply reply = answer_get_descriptor(device, USB_STRING_DESCRIPTOR_TYPE, 4, langid_en_us, 0xffff);

    ASSERT_EQ(reply.data.size(), 254u);
    EXPECT_EQ(reply.data[0], 254);
}

TEST_F(get_descriptor, what_the_device_lacks_stalls) {
    const struct {
        const char* what;
        uint8_t type;
        uint8_t index;
        uint16_t langid;
    } cases[] = {
        {"configuration index past the last", USB_CONFIGURATION_DESCRIPTOR_TYPE, 1, 0},
        {"device descriptor index 1", USB_DEVICE_DESCRIPTOR_TYPE, 1, 0},
        {"unknown string index", USB_STRING_DESCRIPTOR_TYPE, 9, langid_en_us},
        {"string in an unlisted language", USB_STRING_DESCRIPTOR_TYPE, 2, 0x0407},
        {"interface descriptor on its own", USB_INTERFACE_DESCRIPTOR_TYPE, 0, 0},
        {"device qualifier of a full-speed device", USB_DEVICE_QUALIFIER_DESCRIPTOR_TYPE, 0, 0},
    };
    for (const auto& c : cases) {
        descriptor_reply reply = answer_get_descriptor(device, c.type, c.index, c.langid, 255);
        EXPECT_TRUE(reply.stalled) << c.what;
        EXPECT_TRUE(reply.data.empty()) << c.what;
    }

    device.languages.clear();
    EXPECT_TRUE(answer_get_descriptor(device, USB_STRING_DESCRIPTOR_TYPE, 0, 0, 255).stalled);
    EXPECT_TRUE(answer_get_descriptor(device, USB_STRING_DESCRIPTOR_TYPE, 1, langid_en_us, 255).stalled);
}

TEST(setup_packet, fields_sit_where_the_wire_puts_them) {
    USB_DEFAULT_PIPE_SETUP_PACKET setup{};
    setup.bmRequestType.s.Dir = BMREQUEST_DEVICE_TO_HOST;
    setup.bmRequestType.s.Type = BMREQUEST_CLASS;
    setup.bmRequestType.s.Recipient = BMREQUEST_TO_INTERFACE;
    setup.bRequest = 0x21;
    setup.wValue.W = USB_DESCRIPTOR_MAKE_TYPE_AND_INDEX(USB_STRING_DESCRIPTOR_TYPE, 2);
    setup.wIndex.W = langid_en_us;
    setup.wLength = 0x0102;

    uint8_t bytes[8];
    std::memcpy(bytes, &setup, sizeof(bytes));

    EXPECT_EQ(std::vector<uint8_t>(bytes, bytes + 8), (std::vector<uint8_t>{0xa1, 0x21, 2, 3, 0x09, 0x04, 0x02, 0x01}));
    EXPECT_EQ(setup.wValue.HiByte, USB_STRING_DESCRIPTOR_TYPE);
}

TEST(get_descriptor_high_speed, a_high_speed_device_answers_the_device_qualifier) {
    catalogue::device_options options;
    options.speed = usb_speed::high;
    descriptor_set modem = catalogue::acm_modem(options);

    descriptor_reply reply = answer_get_descriptor(modem, USB_DEVICE_QUALIFIER_DESCRIPTOR_TYPE, 0, 0, 10);

    ASSERT_FALSE(reply.stalled);
    EXPECT_EQ(reply.data, (std::vector<uint8_t>{10, 6, 0x00, 0x02, 2, 0, 0, 64, 1, 0}));
}

}  // namespace
}  // namespace sim::usb
