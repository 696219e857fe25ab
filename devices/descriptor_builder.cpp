#include "devices/descriptor_builder.h"

#include <algorithm>
#include <cstring>

namespace sim::usb {

namespace {

void put_u16(std::vector<uint8_t>& out, uint16_t value) {
    out.push_back(static_cast<uint8_t>(value & 0xff));
    out.push_back(static_cast<uint8_t>(value >> 8));
}

void put_u32(std::vector<uint8_t>& out, uint32_t value) {
    put_u16(out, static_cast<uint16_t>(value & 0xffff));
    put_u16(out, static_cast<uint16_t>(value >> 16));
}

}  // namespace

descriptor_builder::descriptor_builder() { device(0, 0); }

descriptor_builder& descriptor_builder::device(uint16_t vendor_id, uint16_t product_id, uint8_t device_class,
                                               uint8_t subclass, uint8_t protocol, uint16_t bcd_usb,
                                               uint8_t max_packet0) {
    USB_DEVICE_DESCRIPTOR& d = set_.device;
    d.bLength = sizeof(USB_DEVICE_DESCRIPTOR);
    d.bDescriptorType = USB_DEVICE_DESCRIPTOR_TYPE;
    d.bcdUSB = bcd_usb;
    d.bDeviceClass = device_class;
    d.bDeviceSubClass = subclass;
    d.bDeviceProtocol = protocol;
    d.bMaxPacketSize0 = max_packet0;
    d.idVendor = vendor_id;
    d.idProduct = product_id;
    return *this;
}

descriptor_builder& descriptor_builder::device_release(uint16_t bcd_device) {
    set_.device.bcdDevice = bcd_device;
    return *this;
}

descriptor_builder& descriptor_builder::speed(usb_speed value) {
    set_.speed = value;
    return *this;
}

descriptor_builder& descriptor_builder::strings(const std::u16string& manufacturer, const std::u16string& product,
                                                const std::u16string& serial) {
    const std::u16string* texts[] = {&manufacturer, &product, &serial};
    UCHAR* indexes[] = {&set_.device.iManufacturer, &set_.device.iProduct, &set_.device.iSerialNumber};
    for (uint8_t i = 0; i < 3; ++i) {
        uint8_t index = static_cast<uint8_t>(i + 1);
        *indexes[i] = texts[i]->empty() ? 0 : index;
        if (texts[i]->empty()) {
            set_.strings.erase(index);
        } else {
            set_.strings[index] = *texts[i];
        }
    }
    return *this;
}

descriptor_builder& descriptor_builder::string(uint8_t index, const std::u16string& text) {
    set_.strings[index] = text;
    return *this;
}

descriptor_builder& descriptor_builder::languages(std::vector<uint16_t> langids) {
    set_.languages = std::move(langids);
    return *this;
}

descriptor_builder& descriptor_builder::num_configurations(uint8_t count) {
    num_configurations_ = count;
    return *this;
}

descriptor_builder& descriptor_builder::configuration(uint8_t value, uint8_t attributes, uint8_t max_power,
                                                      uint8_t string_index) {
    configuration_plan plan;
    plan.header.bLength = sizeof(USB_CONFIGURATION_DESCRIPTOR);
    plan.header.bDescriptorType = USB_CONFIGURATION_DESCRIPTOR_TYPE;
    plan.header.bConfigurationValue = value;
    plan.header.iConfiguration = string_index;
    plan.header.bmAttributes = attributes;
    plan.header.MaxPower = max_power;
    configurations_.push_back(std::move(plan));
    return *this;
}

descriptor_builder::configuration_plan& descriptor_builder::current() {
    if (configurations_.empty()) configuration();
    return configurations_.back();
}

void descriptor_builder::append(chunk_kind kind, std::vector<uint8_t> bytes) {
    current().chunks.push_back({kind, std::move(bytes), std::nullopt});
}

descriptor_builder& descriptor_builder::iad(uint8_t first_interface, uint8_t interface_count, uint8_t function_class,
                                            uint8_t subclass, uint8_t protocol, uint8_t string_index) {
    append(chunk_kind::other, {8, USB_INTERFACE_ASSOCIATION_DESCRIPTOR_TYPE, first_interface, interface_count,
                               function_class, subclass, protocol, string_index});
    return *this;
}

descriptor_builder& descriptor_builder::interface(uint8_t number, uint8_t alternate, uint8_t interface_class,
                                                  uint8_t subclass, uint8_t protocol, uint8_t string_index) {
    append(chunk_kind::interface,
           {9, USB_INTERFACE_DESCRIPTOR_TYPE, number, alternate, 0, interface_class, subclass, protocol, string_index});
    return *this;
}

descriptor_builder& descriptor_builder::endpoint(uint8_t address, endpoint_type type, uint16_t max_packet,
                                                 uint8_t interval) {
    std::vector<uint8_t> bytes = {7, USB_ENDPOINT_DESCRIPTOR_TYPE, address, static_cast<uint8_t>(type)};
    put_u16(bytes, max_packet);
    bytes.push_back(interval);
    append(chunk_kind::endpoint, std::move(bytes));
    return *this;
}

descriptor_builder& descriptor_builder::descriptor(uint8_t type, const std::vector<uint8_t>& body) {
    std::vector<uint8_t> bytes = {static_cast<uint8_t>(body.size() + 2), type};
    bytes.insert(bytes.end(), body.begin(), body.end());
    append(chunk_kind::other, std::move(bytes));
    return *this;
}

descriptor_builder& descriptor_builder::cdc_header(uint16_t bcd_cdc) {
    std::vector<uint8_t> body = {cdc_fd_header};
    put_u16(body, bcd_cdc);
    return descriptor(cs_interface, body);
}

descriptor_builder& descriptor_builder::cdc_call_management(uint8_t capabilities, uint8_t data_interface) {
    return descriptor(cs_interface, {cdc_fd_call_management, capabilities, data_interface});
}

descriptor_builder& descriptor_builder::cdc_acm(uint8_t capabilities) {
    return descriptor(cs_interface, {cdc_fd_acm, capabilities});
}

descriptor_builder& descriptor_builder::cdc_union(uint8_t control_interface, const std::vector<uint8_t>& subordinates) {
    std::vector<uint8_t> body = {cdc_fd_union, control_interface};
    body.insert(body.end(), subordinates.begin(), subordinates.end());
    return descriptor(cs_interface, body);
}

descriptor_builder& descriptor_builder::cdc_ethernet(uint8_t mac_string, uint32_t statistics, uint16_t max_segment,
                                                     uint16_t multicast_filters, uint8_t power_filters) {
    std::vector<uint8_t> body = {cdc_fd_ethernet, mac_string};
    put_u32(body, statistics);
    put_u16(body, max_segment);
    put_u16(body, multicast_filters);
    body.push_back(power_filters);
    return descriptor(cs_interface, body);
}

descriptor_builder& descriptor_builder::cdc_obex(uint16_t bcd_version) {
    std::vector<uint8_t> body = {cdc_fd_obex};
    put_u16(body, bcd_version);
    return descriptor(cs_interface, body);
}

descriptor_builder& descriptor_builder::raw(const std::vector<uint8_t>& bytes) {
    append(chunk_kind::other, bytes);
    return *this;
}

descriptor_builder& descriptor_builder::total_length(uint16_t value) {
    current().total_length = value;
    return *this;
}

descriptor_builder& descriptor_builder::num_interfaces(uint8_t value) {
    current().num_interfaces = value;
    return *this;
}

descriptor_builder& descriptor_builder::num_endpoints(uint8_t value) {
    configuration_plan& plan = current();
    for (auto it = plan.chunks.rbegin(); it != plan.chunks.rend(); ++it) {
        if (it->kind == chunk_kind::interface) {
            it->num_endpoints = value;
            break;
        }
    }
    return *this;
}

descriptor_builder& descriptor_builder::truncate(size_t bytes) {
    current().truncate = bytes;
    return *this;
}

descriptor_set descriptor_builder::build() const {
    descriptor_set set = set_;
    set.device.bNumConfigurations =
        num_configurations_.value_or(static_cast<uint8_t>(std::min<size_t>(configurations_.size(), 255)));

    for (const configuration_plan& plan : configurations_) {
        std::vector<chunk> chunks = plan.chunks;
        std::vector<uint8_t> numbers;
        chunk* last_interface = nullptr;
        for (chunk& c : chunks) {
            if (c.kind == chunk_kind::interface) {
                last_interface = &c;
                c.bytes[4] = c.num_endpoints.value_or(0);
                if (std::find(numbers.begin(), numbers.end(), c.bytes[2]) == numbers.end())
                    numbers.push_back(c.bytes[2]);
            } else if (c.kind == chunk_kind::endpoint && last_interface != nullptr && !last_interface->num_endpoints) {
                ++last_interface->bytes[4];
            }
        }

        USB_CONFIGURATION_DESCRIPTOR header = plan.header;
        std::vector<uint8_t> bytes(sizeof(header));
        for (const chunk& c : chunks) bytes.insert(bytes.end(), c.bytes.begin(), c.bytes.end());
        header.wTotalLength = plan.total_length.value_or(static_cast<uint16_t>(std::min<size_t>(bytes.size(), 0xffff)));
        header.bNumInterfaces =
            plan.num_interfaces.value_or(static_cast<uint8_t>(std::min<size_t>(numbers.size(), 255)));
        std::memcpy(bytes.data(), &header, sizeof(header));
        if (plan.truncate && *plan.truncate < bytes.size()) bytes.resize(*plan.truncate);
        set.configurations.push_back(std::move(bytes));
    }
    return set;
}

}  // namespace sim::usb
