#include "devices/models/make_device.h"

#include <algorithm>
#include <cstdio>
#include <set>

namespace sim::devices {

namespace {

constexpr uint8_t class_cdc = USB_DEVICE_CLASS_COMMUNICATIONS;
constexpr uint8_t class_cdc_data = USB_DEVICE_CLASS_CDC_DATA;
constexpr uint8_t class_smart_card = USB_DEVICE_CLASS_SMART_CARD;
constexpr uint8_t class_application = USB_DEVICE_CLASS_APPLICATION_SPECIFIC;
constexpr uint8_t subclass_dfu = 0x01;

const usb::parsed_setting* first_setting(const usb::parsed_interface& itf) {
    const usb::parsed_setting* setting = itf.setting(0);
    if (setting == nullptr && !itf.settings.empty()) setting = &itf.settings[0];
    return setting;
}

uint8_t type_of(const usb::parsed_endpoint& e) { return e.descriptor.bmAttributes & USB_ENDPOINT_TYPE_MASK; }
bool is_in(const usb::parsed_endpoint& e) { return (e.descriptor.bEndpointAddress & 0x80) != 0; }

// The first endpoint of the type and direction over every setting.
uint8_t find_endpoint(const usb::parsed_interface& itf, uint8_t type, bool in, uint8_t except = 0) {
    for (const usb::parsed_setting& s : itf.settings) {
        for (const usb::parsed_endpoint& e : s.endpoints) {
            if (type_of(e) == type && is_in(e) == in && e.descriptor.bEndpointAddress != except) {
                return e.descriptor.bEndpointAddress;
            }
        }
    }
    return 0;
}

// Subordinate interfaces of a CDC union descriptor in the setting's
// class-specific descriptors.
std::vector<uint8_t> union_subordinates(const usb::parsed_setting& setting) {
    const std::vector<uint8_t>& extra = setting.extra;
    for (size_t offset = 0; offset + 2 <= extra.size();) {
        const uint8_t length = extra[offset];
        if (length < 2 || offset + length > extra.size()) break;
        if (extra[offset + 1] == usb::cs_interface && length >= 5 && extra[offset + 2] == usb::cdc_fd_union) {
            return {extra.begin() + static_cast<long>(offset + 4), extra.begin() + static_cast<long>(offset + length)};
        }
        offset += length;
    }
    return {};
}

function_layout layout_of(const usb::parsed_configuration& config, const std::vector<uint8_t>& members,
                          uint8_t association_string) {
    function_layout l;
    l.interfaces = members;
    const usb::parsed_interface* comm = nullptr;
    const usb::parsed_interface* data = nullptr;
    for (uint8_t number : members) {
        const usb::parsed_interface* itf = config.find_interface(number);
        const usb::parsed_setting* s = itf != nullptr ? first_setting(*itf) : nullptr;
        if (s == nullptr) continue;
        if (s->descriptor.bInterfaceClass == class_cdc_data) {
            if (data == nullptr) data = itf;
        } else if (comm == nullptr) {
            comm = itf;
        }
    }
    if (comm == nullptr) comm = data;
    if (data == nullptr) data = comm;
    if (comm == nullptr) return l;

    const usb::parsed_setting* s = first_setting(*comm);
    l.comm_interface = comm->number;
    l.data_interface = data->number;
    l.interface_class = s->descriptor.bInterfaceClass;
    l.subclass = s->descriptor.bInterfaceSubClass;
    l.protocol = s->descriptor.bInterfaceProtocol;
    l.class_descriptors = s->extra;
    l.string_index = association_string != 0 ? association_string : s->descriptor.iInterface;

    l.data_in = find_endpoint(*data, USB_ENDPOINT_TYPE_BULK, true);
    l.data_out = find_endpoint(*data, USB_ENDPOINT_TYPE_BULK, false);
    if (l.data_in == 0 || l.data_out == 0) {
        const uint8_t in = find_endpoint(*data, USB_ENDPOINT_TYPE_INTERRUPT, true);
        const uint8_t out = find_endpoint(*data, USB_ENDPOINT_TYPE_INTERRUPT, false);
        l.data_in = in != 0 && out != 0 ? in : 0;
        l.data_out = in != 0 && out != 0 ? out : 0;
    }
    l.notify_in = find_endpoint(*comm, USB_ENDPOINT_TYPE_INTERRUPT, true, l.data_in);
    return l;
}

model_kind kind_of(const function_layout& l) {
    const bool data_pair = l.data_in != 0 && l.data_out != 0;
    switch (l.interface_class) {
        case class_cdc:
            switch (l.subclass) {
                case usb::cdc_subclass_acm:
                    return model_kind::acm_modem;
                case usb::cdc_subclass_ecm:
                    return model_kind::ecm;
                case usb::cdc_subclass_eem:
                    return model_kind::eem;
                case usb::cdc_subclass_obex:
                    return model_kind::obex;
                default:
                    return data_pair ? model_kind::vendor : model_kind::none;
            }
        case class_smart_card:
            return model_kind::iccd;
        case class_application:
            if (l.subclass == subclass_dfu) return model_kind::dfu;
            return data_pair ? model_kind::vendor : model_kind::none;
        default:
            return data_pair ? model_kind::vendor : model_kind::none;
    }
}

std::string hex(uint64_t value, int digits) {
    char text[24];
    std::snprintf(text, sizeof(text), "%0*llX", digits, static_cast<unsigned long long>(value));
    return text;
}

uint64_t fnv1a(const std::string& text) {
    uint64_t hash = 0xcbf29ce484222325ull;
    for (unsigned char c : text) {
        hash ^= c;
        hash *= 0x100000001b3ull;
    }
    return hash;
}

std::u16string widen(const std::string& text) { return std::u16string(text.begin(), text.end()); }

}  // namespace

std::vector<planned_function> plan_functions(const usb::descriptor_set& descriptors) {
    std::vector<planned_function> plan;
    if (descriptors.configurations.empty()) return plan;
    const usb::parsed_configuration config = usb::parse_configuration(descriptors.configurations[0]);
    std::set<uint8_t> claimed;
    auto add = [&](const std::vector<uint8_t>& members, uint8_t string_index) {
        if (members.empty()) return;
        for (uint8_t number : members) claimed.insert(number);
        planned_function f;
        f.layout = layout_of(config, members, string_index);
        f.kind = kind_of(f.layout);
        plan.push_back(std::move(f));
    };

    for (const usb::parsed_association& a : config.associations) {
        std::vector<uint8_t> members;
        for (unsigned n = a.descriptor.bFirstInterface;
             n < unsigned(a.descriptor.bFirstInterface) + a.descriptor.bInterfaceCount && n < 256; ++n) {
            if (config.find_interface(static_cast<uint8_t>(n)) != nullptr && !claimed.count(static_cast<uint8_t>(n))) {
                members.push_back(static_cast<uint8_t>(n));
            }
        }
        add(members, a.descriptor.iFunction);
    }

    for (const usb::parsed_interface& itf : config.interfaces) {
        const usb::parsed_setting* s = first_setting(itf);
        if (s == nullptr || claimed.count(itf.number)) continue;
        const uint8_t cls = s->descriptor.bInterfaceClass;
        if (cls == class_cdc_data) continue;
        std::vector<uint8_t> members = {itf.number};
        if (cls == class_cdc) {
            std::vector<uint8_t> subordinates = union_subordinates(*s);
            const uint8_t sub = s->descriptor.bInterfaceSubClass;
            if (subordinates.empty() &&
                (sub == usb::cdc_subclass_acm || sub == usb::cdc_subclass_ecm || sub == usb::cdc_subclass_obex)) {
                for (const usb::parsed_interface& other : config.interfaces) {
                    const usb::parsed_setting* os = first_setting(other);
                    if (os != nullptr && os->descriptor.bInterfaceClass == class_cdc_data &&
                        !claimed.count(other.number) && other.number != itf.number) {
                        subordinates.push_back(other.number);
                        break;
                    }
                }
            }
            for (uint8_t number : subordinates) {
                if (number != itf.number && config.find_interface(number) != nullptr && !claimed.count(number) &&
                    std::find(members.begin(), members.end(), number) == members.end()) {
                    members.push_back(number);
                }
            }
        }
        add(members, 0);
    }
    return plan;
}

const char* function_name(model_kind kind) {
    switch (kind) {
        case model_kind::acm_modem:
            return "USB Modem";
        case model_kind::ecm:
            return "USB Ethernet (ECM)";
        case model_kind::eem:
            return "USB Ethernet (EEM)";
        case model_kind::obex:
            return "OBEX";
        case model_kind::vendor:
            return "USB Serial";
        case model_kind::iccd:
            return "Smart Card Reader";
        case model_kind::dfu:
            return "Firmware Updater";
        case model_kind::none:
            break;
    }
    return "";
}

std::unique_ptr<function_model> make_model(const planned_function& f) {
    switch (f.kind) {
        case model_kind::acm_modem:
            return std::make_unique<acm_modem>(f.layout);
        case model_kind::ecm:
            return std::make_unique<loopback>(f.layout, loopback::flavor::ecm);
        case model_kind::eem:
            return std::make_unique<loopback>(f.layout, loopback::flavor::eem);
        case model_kind::obex:
            return std::make_unique<loopback>(f.layout, loopback::flavor::obex);
        case model_kind::vendor:
            return std::make_unique<loopback>(f.layout, loopback::flavor::vendor);
        case model_kind::iccd:
            return std::make_unique<iccd>(f.layout);
        case model_kind::dfu:
            return std::make_unique<dfu>(f.layout);
        case model_kind::none:
            break;
    }
    return nullptr;
}

void add_missing_strings(usb::descriptor_set& set, const std::vector<planned_function>& functions,
                         const std::string& location) {
    bool named = false;
    auto name = [&](uint8_t index, const std::string& text) {
        if (index == 0) return;
        named = true;
        if (set.strings.count(index) == 0) set.strings[index] = widen(text);
    };
    auto name_of_interface = [&](uint8_t number) -> std::string {
        for (const planned_function& f : functions) {
            if (!f.layout.owns_interface(number)) continue;
            const std::string function = f.kind == model_kind::none ? "Interface" : function_name(f.kind);
            if (f.layout.interfaces.size() == 1) return function;
            return function + (number == f.layout.comm_interface ? " Control" : " Data");
        }
        return "Interface " + std::to_string(number);
    };

    std::string product;
    for (const planned_function& f : functions) {
        if (f.kind == model_kind::none) continue;
        if (!product.empty()) product += " + ";
        product += function_name(f.kind);
    }
    const USB_DEVICE_DESCRIPTOR& d = set.device;
    name(d.iManufacturer, "Manufacturer " + hex(d.idVendor, 4));
    name(d.iProduct, product.empty() ? "USB Device" : product);
    name(d.iSerialNumber, hex(fnv1a(location) & 0xffffffffffffull, 12));

    for (size_t c = 0; c < set.configurations.size(); ++c) {
        const std::vector<uint8_t>& bytes = set.configurations[c];
        const usb::descriptor_walk walk = usb::walk_configuration(bytes);
        for (const usb::descriptor_entry& e : walk.descriptors) {
            const uint8_t* p = bytes.data() + e.offset;
            if (e.type == USB_CONFIGURATION_DESCRIPTOR_TYPE && e.length >= 9) {
                name(p[6], "Configuration " + std::to_string(p[5]));
            } else if (e.type == USB_INTERFACE_DESCRIPTOR_TYPE && e.length >= 9) {
                name(p[8], c == 0 ? name_of_interface(p[2]) : "Interface " + std::to_string(p[2]));
            } else if (e.type == USB_INTERFACE_ASSOCIATION_DESCRIPTOR_TYPE && e.length >= 8) {
                std::string function = "Function";
                for (const planned_function& f : functions) {
                    if (c == 0 && f.layout.owns_interface(p[2]) && f.kind != model_kind::none) {
                        function = function_name(f.kind);
                    }
                }
                name(p[7], function);
            } else if (e.type == usb::cs_interface && e.length >= 4 && p[2] == usb::cdc_fd_ethernet) {
                // Locally administered, unicast: 02 and five bytes of the port and index.
                name(p[3], "02" + hex(fnv1a(location + "/mac/" + std::to_string(p[3])) & 0xffffffffffull, 10));
            }
        }
    }
    if (named && std::find(set.languages.begin(), set.languages.end(), usb::langid_en_us) == set.languages.end()) {
        set.languages.push_back(usb::langid_en_us);
    }
}

std::shared_ptr<model_device> make_device(usb::descriptor_set descriptors, const model_options& options) {
    std::vector<planned_function> plan = plan_functions(descriptors);
    if (options.add_strings) add_missing_strings(descriptors, plan, options.location);
    auto device = std::make_shared<model_device>(std::move(descriptors));
    for (const planned_function& f : plan) {
        if (std::unique_ptr<function_model> model = make_model(f)) device->add(std::move(model));
    }
    return device;
}

}  // namespace sim::devices
