// A fluent builder of device descriptors, for tests and the device catalogue.
//
// Calls append descriptors in order to the current configuration (the first
// interface-level call starts configuration 1 if none was started). build()
// fills in wTotalLength, bNumInterfaces (distinct interface numbers),
// bNumEndpoints (endpoints up to the next interface descriptor) and
// bNumConfigurations unless an override says otherwise. Bytes added with
// raw() are counted by nothing, so a test can build any broken device:
//
//   descriptor_builder()
//       .device(0x1234, 0x0001)
//       .configuration()
//       .interface(0, 0, 0xff, 0, 0)
//       .raw({0x00, 0x24})   // a descriptor with bLength 0
//       .total_length(200)   // claims more than the device has
//       .build();
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "usb/usb_descriptors.h"

namespace sim::usb {

enum class endpoint_type : uint8_t {
    control = USB_ENDPOINT_TYPE_CONTROL,
    isochronous = USB_ENDPOINT_TYPE_ISOCHRONOUS,
    bulk = USB_ENDPOINT_TYPE_BULK,
    interrupt = USB_ENDPOINT_TYPE_INTERRUPT,
};

class descriptor_builder {
 public:
    descriptor_builder();

    descriptor_builder& device(uint16_t vendor_id, uint16_t product_id, uint8_t device_class = 0, uint8_t subclass = 0,
                               uint8_t protocol = 0, uint16_t bcd_usb = 0x0200, uint8_t max_packet0 = 64);
    descriptor_builder& device_release(uint16_t bcd_device);
    descriptor_builder& speed(usb_speed value);
    // Strings 1, 2 and 3, referenced by the device descriptor; an empty text
    // leaves its index 0.
    descriptor_builder& strings(const std::u16string& manufacturer, const std::u16string& product,
                                const std::u16string& serial);
    descriptor_builder& string(uint8_t index, const std::u16string& text);
    descriptor_builder& languages(std::vector<uint16_t> langids);
    descriptor_builder& num_configurations(uint8_t count);

    // attributes: USB_CONFIG_BUS_POWERED (always set by a real device) with
    // USB_CONFIG_SELF_POWERED and USB_CONFIG_REMOTE_WAKEUP; max_power in 2 mA units.
    descriptor_builder& configuration(uint8_t value = 1, uint8_t attributes = USB_CONFIG_BUS_POWERED,
                                      uint8_t max_power = 50, uint8_t string_index = 0);
    descriptor_builder& iad(uint8_t first_interface, uint8_t interface_count, uint8_t function_class, uint8_t subclass,
                            uint8_t protocol, uint8_t string_index = 0);
    descriptor_builder& interface(uint8_t number, uint8_t alternate, uint8_t interface_class, uint8_t subclass,
                                  uint8_t protocol, uint8_t string_index = 0);
    // interval: frames (full speed) or 2^(interval-1) microframes (high speed); 0 for bulk.
    descriptor_builder& endpoint(uint8_t address, endpoint_type type, uint16_t max_packet, uint8_t interval = 0);

    // A descriptor of the given type; bLength is computed from the body.
    descriptor_builder& descriptor(uint8_t type, const std::vector<uint8_t>& body);
    descriptor_builder& cdc_header(uint16_t bcd_cdc = 0x0110);
    descriptor_builder& cdc_call_management(uint8_t capabilities, uint8_t data_interface);
    descriptor_builder& cdc_acm(uint8_t capabilities);
    descriptor_builder& cdc_union(uint8_t control_interface, const std::vector<uint8_t>& subordinates);
    descriptor_builder& cdc_ethernet(uint8_t mac_string, uint32_t statistics = 0, uint16_t max_segment = 1514,
                                     uint16_t multicast_filters = 0, uint8_t power_filters = 0);
    descriptor_builder& cdc_obex(uint16_t bcd_version = 0x0100);

    // ---- Escape hatches for broken devices -----------------------------------------
    // Bytes appended as they are, recognised as nothing.
    descriptor_builder& raw(const std::vector<uint8_t>& bytes);
    // Overrides of the computed fields of the current configuration / interface.
    descriptor_builder& total_length(uint16_t value);
    descriptor_builder& num_interfaces(uint8_t value);
    descriptor_builder& num_endpoints(uint8_t value);
    // The device sends only the first `bytes` bytes of the current configuration.
    descriptor_builder& truncate(size_t bytes);

    descriptor_set build() const;

 private:
    enum class chunk_kind { interface, endpoint, other };
    struct chunk {
        chunk_kind kind;
        std::vector<uint8_t> bytes;
        std::optional<uint8_t> num_endpoints;  // interface chunks only
    };
    struct configuration_plan {
        USB_CONFIGURATION_DESCRIPTOR header{};
        std::vector<chunk> chunks;
        std::optional<uint16_t> total_length;
        std::optional<uint8_t> num_interfaces;
        std::optional<size_t> truncate;
    };

    configuration_plan& current();
    void append(chunk_kind kind, std::vector<uint8_t> bytes);

    descriptor_set set_;
    std::vector<configuration_plan> configurations_;
    std::optional<uint8_t> num_configurations_;
};

}  // namespace sim::usb
