#include "usb/usb_composite.h"

#include <algorithm>
#include <cstdio>

namespace sim::usb {

namespace {

struct function_group {
    uint8_t first_interface = 0;
    std::vector<uint8_t> interfaces;
    size_t association_offset = 0;  // 0: not under an association
    USB_INTERFACE_ASSOCIATION_DESCRIPTOR association{};
};

bool contains(const std::vector<uint8_t>& values, uint8_t value) {
    return std::find(values.begin(), values.end(), value) != values.end();
}

// The associations the generic parent uses: in the order listed, each
// whose range is non-empty, lies within the interfaces the configuration
// has and claims no interface an earlier one claimed.
std::vector<const parsed_association*> usable_associations(const parsed_configuration& config) {
    std::vector<const parsed_association*> usable;
    std::vector<uint8_t> claimed;
    for (const parsed_association& a : config.associations) {
        const unsigned first = a.descriptor.bFirstInterface;
        const unsigned count = a.descriptor.bInterfaceCount;
        bool ok = count != 0;
        for (unsigned n = first; ok && n < first + count; n++) {
            ok = n <= 0xff && config.find_interface(static_cast<uint8_t>(n)) != nullptr &&
                 !contains(claimed, static_cast<uint8_t>(n));
        }
        if (!ok) continue;
        for (unsigned n = first; n < first + count; n++) claimed.push_back(static_cast<uint8_t>(n));
        usable.push_back(&a);
    }
    return usable;
}

// Interfaces in the order the device lists them; an interface inside the
// range of a usable association joins that association's function.
std::vector<function_group> group_interfaces(const parsed_configuration& config) {
    std::vector<function_group> groups;
    std::vector<const parsed_association*> associations = usable_associations(config);
    for (const parsed_interface& ifc : config.interfaces) {
        const parsed_association* owner = nullptr;
        for (const parsed_association* a : associations) {
            unsigned first = a->descriptor.bFirstInterface;
            if (ifc.number >= first && ifc.number < first + a->descriptor.bInterfaceCount) {
                owner = a;
                break;
            }
        }
        if (owner == nullptr) {
            groups.push_back({ifc.number, {ifc.number}, 0, {}});
            continue;
        }
        auto group = std::find_if(groups.begin(), groups.end(),
                                  [owner](const function_group& g) { return g.association_offset == owner->offset; });
        if (group == groups.end()) {
            groups.push_back({owner->descriptor.bFirstInterface, {ifc.number}, owner->offset, owner->descriptor});
        } else {
            group->interfaces.push_back(ifc.number);
        }
    }
    return groups;
}

std::string format_id(const char* format, unsigned a, unsigned b = 0, unsigned c = 0, unsigned d = 0) {
    char text[64];
    const int length = std::snprintf(text, sizeof(text), format, a, b, c, d);
    return std::string(text, static_cast<size_t>(std::max(length, 0)));
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
    const auto config = shared_parse(device.configurations[0]);
    return config->has_header && config->header.bNumInterfaces > 1;
}

std::vector<uint8_t> function_configuration(const std::vector<uint8_t>& configuration,
                                            const std::vector<uint8_t>& interfaces, size_t association_offset) {
    const auto parsed = shared_parse(configuration);
    const descriptor_walk& walk = parsed->walk;
    std::vector<uint8_t> out;
    out.reserve(configuration.size());
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

    if (walk.descriptors[0].length >= 5) {
        const size_t kept = shared_parse(out)->interfaces.size();
        out[2] = static_cast<uint8_t>(out.size() & 0xff);
        out[3] = static_cast<uint8_t>(out.size() >> 8);
        out[4] = static_cast<uint8_t>(kept);
    }
    return out;
}

usb_ids function_ids(const descriptor_set& device, const usb_function& function) {
    const USB_DEVICE_DESCRIPTOR& d = device.device;
    const bool composite = !function.interface_function && is_composite(device);
    uint8_t cls = 0, subclass = 0, protocol = 0;
    if (function.has_association) {
        cls = function.association.bFunctionClass;
        subclass = function.association.bFunctionSubClass;
        protocol = function.association.bFunctionProtocol;
    } else if (!function.interface_function && (d.bDeviceClass != 0 || composite)) {
        cls = d.bDeviceClass;
        subclass = d.bDeviceSubClass;
        protocol = d.bDeviceProtocol;
    } else if (!function.descriptors->configurations.empty()) {
        const auto config = shared_parse(function.descriptors->configurations[0]);
        const parsed_interface* ifc = config->find_interface(function.first_interface);
        if (ifc != nullptr && !ifc->settings.empty()) {
            const USB_INTERFACE_DESCRIPTOR& i = ifc->settings[0].descriptor;
            cls = i.bInterfaceClass;
            subclass = i.bInterfaceSubClass;
            protocol = i.bInterfaceProtocol;
        }
    }
    // The VID/PID part as the functions' own IDs spell it.
    const std::string vid_pid = "USB\\" + device_hardware_id(d.idVendor, d.idProduct);
    const std::string mi =
        function.interface_function ? format_id("&MI_%02X", function.first_interface) : std::string();
    usb_ids ids;
    ids.hardware.reserve(2);
    ids.hardware.push_back(vid_pid + format_id("&REV_%04X", d.bcdDevice) + mi);
    ids.hardware.push_back(vid_pid + mi);
    ids.compatible.reserve(composite ? 4 : 3);
    ids.compatible.push_back(format_id("USB\\Class_%02X&SubClass_%02X&Prot_%02X", cls, subclass, protocol));
    ids.compatible.push_back(format_id("USB\\Class_%02X&SubClass_%02X", cls, subclass));
    ids.compatible.push_back(format_id("USB\\Class_%02X", cls));
    if (composite) ids.compatible.emplace_back("USB\\COMPOSITE");
    return ids;
}

std::string validate_configuration(const std::vector<uint8_t>& configuration) {
    const auto parsed = shared_parse(configuration);
    const parsed_configuration& config = *parsed;
    if (configuration.size() < sizeof(USB_CONFIGURATION_DESCRIPTOR) || configuration[0] != 9 ||
        configuration[1] != USB_CONFIGURATION_DESCRIPTOR_TYPE) {
        return "offset 0: not a 9-byte configuration descriptor";
    }
    if (!config.walk.complete()) return config.walk.problem();
    if (config.interfaces.size() != config.header.bNumInterfaces) {
        return "bNumInterfaces " + std::to_string(config.header.bNumInterfaces) + " but " +
               std::to_string(config.interfaces.size()) + " interfaces";
    }
    for (const parsed_interface& ifc : config.interfaces) {
        for (const parsed_setting& setting : ifc.settings) {
            if (setting.endpoints.size() != setting.descriptor.bNumEndpoints) {
                return "offset " + std::to_string(setting.offset) + ": interface " + std::to_string(ifc.number) +
                       " setting " + std::to_string(setting.descriptor.bAlternateSetting) + " has bNumEndpoints " +
                       std::to_string(setting.descriptor.bNumEndpoints) + " but " +
                       std::to_string(setting.endpoints.size()) + " endpoints";
            }
        }
    }
    return "";
}

std::vector<usb_function> split_functions(const descriptor_set& device, split_mode mode) {
    return split_functions(std::make_shared<const descriptor_set>(device), mode);
}

std::vector<usb_function> split_functions(const std::shared_ptr<const descriptor_set>& shared, split_mode mode) {
    const descriptor_set& device = *shared;
    std::vector<usb_function> functions;
    const uint16_t vid = device.device.idVendor;
    const uint16_t pid = device.device.idProduct;

    if (mode == split_mode::whole_device || !is_composite(device)) {
        usb_function whole;
        whole.hardware_id = device_hardware_id(vid, pid);
        whole.descriptors = shared;
        if (!device.configurations.empty()) {
            const auto config = shared_parse(device.configurations[0]);
            if (!config->interfaces.empty()) whole.first_interface = config->interfaces[0].number;
        }
        functions.push_back(std::move(whole));
        return functions;
    }

    const std::vector<uint8_t>& first = device.configurations[0];
    const auto config = shared_parse(first);
    for (const function_group& group : group_interfaces(*config)) {
        usb_function function;
        function.hardware_id = interface_hardware_id(vid, pid, group.first_interface);
        function.interface_function = true;
        function.first_interface = group.first_interface;
        if (group.association_offset != 0) {
            function.has_association = true;
            function.association = group.association;
        }
        auto view = std::make_shared<descriptor_set>(device);
        view->configurations = {function_configuration(first, group.interfaces, group.association_offset)};
        function.descriptors = std::move(view);
        functions.push_back(std::move(function));
    }
    return functions;
}

}  // namespace sim::usb
