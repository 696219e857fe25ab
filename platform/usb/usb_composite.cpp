#include "usb/usb_composite.h"

#include <algorithm>
#include <cstdio>

namespace sim::usb {

namespace {

struct function_group {
    uint8_t first_interface = 0;
    std::vector<uint8_t> interfaces;
    size_t association_offset = 0;  // 0: not under an association
};

bool contains(const std::vector<uint8_t>& values, uint8_t value) {
    return std::find(values.begin(), values.end(), value) != values.end();
}

// Interfaces in the order the device lists them; an interface inside the
// range of an association joins the function of the first such association.
std::vector<function_group> group_interfaces(const parsed_configuration& config) {
    std::vector<function_group> groups;
    for (const parsed_interface& ifc : config.interfaces) {
        const parsed_association* owner = nullptr;
        for (const parsed_association& a : config.associations) {
            unsigned first = a.descriptor.bFirstInterface;
            if (ifc.number >= first && ifc.number < first + a.descriptor.bInterfaceCount) {
                owner = &a;
                break;
            }
        }
        if (owner == nullptr) {
            groups.push_back({ifc.number, {ifc.number}, 0});
            continue;
        }
        auto group = std::find_if(groups.begin(), groups.end(),
                                  [owner](const function_group& g) { return g.association_offset == owner->offset; });
        if (group == groups.end()) {
            groups.push_back({owner->descriptor.bFirstInterface, {ifc.number}, owner->offset});
        } else {
            group->interfaces.push_back(ifc.number);
        }
    }
    return groups;
}

std::string format_id(const char* format, unsigned a, unsigned b, unsigned c = 0) {
    char text[40];
    std::snprintf(text, sizeof(text), format, a, b, c);
    return text;
}

}  // namespace

std::string device_hardware_id(uint16_t vendor_id, uint16_t product_id) {
    return format_id("VID_%04X&PID_%04X", vendor_id, product_id);
}

std::string interface_hardware_id(uint16_t vendor_id, uint16_t product_id, uint8_t interface_number) {
    return format_id("VID_%04X&PID_%04X&MI_%02X", vendor_id, product_id, interface_number);
}

bool is_composite(const descriptor_set& device) {
    const USB_DEVICE_DESCRIPTOR& d = device.device;
    bool composite_class = d.bDeviceClass == 0 || (d.bDeviceClass == USB_DEVICE_CLASS_MISCELLANEOUS &&
                                                   d.bDeviceSubClass == 0x02 && d.bDeviceProtocol == 0x01);
    if (!composite_class || d.bNumConfigurations != 1 || device.configurations.empty()) return false;
    parsed_configuration config = parse_configuration(device.configurations[0]);
    return config.has_header && config.header.bNumInterfaces > 1;
}

std::vector<uint8_t> function_configuration(const std::vector<uint8_t>& configuration,
                                            const std::vector<uint8_t>& interfaces, size_t association_offset) {
    descriptor_walk walk = walk_configuration(configuration);
    std::vector<uint8_t> out;
    if (walk.descriptors.empty() || walk.descriptors[0].type != USB_CONFIGURATION_DESCRIPTOR_TYPE) return out;

    enum class owner { shared, mine, other } state = owner::shared;
    for (const descriptor_entry& entry : walk.descriptors) {
        const uint8_t* bytes = configuration.data() + entry.offset;
        if (entry.type == USB_INTERFACE_ASSOCIATION_DESCRIPTOR_TYPE) {
            state = association_offset != 0 && entry.offset == association_offset ? owner::mine : owner::other;
        } else if (entry.type == USB_INTERFACE_DESCRIPTOR_TYPE && entry.length > 2) {
            state = contains(interfaces, bytes[2]) ? owner::mine : owner::other;
        }
        if (state != owner::other) out.insert(out.end(), bytes, bytes + entry.length);
    }

    std::vector<uint8_t> kept;
    parsed_configuration parsed = parse_configuration(out);
    for (const parsed_interface& ifc : parsed.interfaces) kept.push_back(ifc.number);
    if (walk.descriptors[0].length >= 5) {
        out[2] = static_cast<uint8_t>(out.size() & 0xff);
        out[3] = static_cast<uint8_t>(out.size() >> 8);
        out[4] = static_cast<uint8_t>(kept.size());
    }
    return out;
}

std::vector<usb_function> split_functions(const descriptor_set& device, split_mode mode) {
    std::vector<usb_function> functions;
    const uint16_t vid = device.device.idVendor;
    const uint16_t pid = device.device.idProduct;

    if (mode == split_mode::whole_device || !is_composite(device)) {
        usb_function whole;
        whole.hardware_id = device_hardware_id(vid, pid);
        whole.descriptors = device;
        if (!device.configurations.empty()) {
            parsed_configuration config = parse_configuration(device.configurations[0]);
            if (!config.interfaces.empty()) whole.first_interface = config.interfaces[0].number;
        }
        functions.push_back(std::move(whole));
        return functions;
    }

    const std::vector<uint8_t>& first = device.configurations[0];
    for (const function_group& group : group_interfaces(parse_configuration(first))) {
        usb_function function;
        function.hardware_id = interface_hardware_id(vid, pid, group.first_interface);
        function.interface_function = true;
        function.first_interface = group.first_interface;
        function.descriptors = device;
        function.descriptors.configurations = {
            function_configuration(first, group.interfaces, group.association_offset)};
        functions.push_back(std::move(function));
    }
    return functions;
}

}  // namespace sim::usb
