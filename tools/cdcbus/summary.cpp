#include <nlohmann/json.hpp>

#include "scenario.h"
#include "script.h"

namespace cdcbus {
namespace {

std::string hex(uint32_t value, int digits) {
    char buf[16];
    snprintf(buf, sizeof(buf), "%0*X", digits, value);
    return buf;
}

std::string join(const std::vector<std::string>& items) {
    std::string text;
    for (const auto& item : items) {
        if (!text.empty()) text += ", ";
        text += item;
    }
    return text;
}

nlohmann::json driver_json(const driver_summary& d) {
    nlohmann::json completions = nlohmann::json::array();
    for (const auto& c : d.completions) {
        completions.push_back({{"op", c.op}, {"status", "0x" + hex(c.status, 8)}, {"bytes", c.bytes}});
    }
    nlohmann::json notifications = nlohmann::json::array();
    for (const auto& n : d.notifications) notifications.push_back(hex_bytes(n));
    return {{"name", d.name},
            {"opened", d.opened},
            {"read", escape_text(d.read)},
            {"completions", completions},
            {"notifications", notifications}};
}

// "cdcbus.inf [CdcBus.NTamd64] "USB CDC ACM function" (service cdcbus) by compatible ID USB\Class_02&SubClass_02"
std::string match_text(const binding_summary& b) {
    if (!b.problem.empty()) return "no driver: " + b.problem;
    if (!b.matched) return b.loaded ? "the loaded driver (no INF installed)" : "no driver: no INF model matches";
    std::string text = b.inf;
    if (!b.models.empty()) text += " [" + b.models + "]";
    text += " \"" + b.description + "\" (service " + b.service + ") by " +
            (b.by_hardware_id ? "hardware ID " : "compatible ID ") + b.id;
    if (!b.loaded && b.service != "usbccgp") text += ", not run here";
    return text;
}

void print_binding(const char* label, const binding_summary& b, const char* indent, FILE* out) {
    fprintf(out, "%s%s %s\\%s\n", indent, label, b.device_id.c_str(), b.instance_id.c_str());
    fprintf(out, "%s  hardware ids:   %s\n", indent, join(b.hardware_ids).c_str());
    fprintf(out, "%s  compatible ids: %s\n", indent, join(b.compatible_ids).c_str());
    fprintf(out, "%s  driver:         %s\n", indent, match_text(b).c_str());
}

nlohmann::json binding_json(const binding_summary& b) {
    nlohmann::json j = {{"device_id", b.device_id},
                        {"instance_id", b.instance_id},
                        {"hardware_ids", b.hardware_ids},
                        {"compatible_ids", b.compatible_ids},
                        {"loaded", b.loaded}};
    if (b.matched) {
        j["match"] = {
            {"inf", b.inf},         {"models", b.models}, {"model", b.description},
            {"service", b.service}, {"id", b.id},         {"by", b.by_hardware_id ? "hardware_id" : "compatible_id"}};
    } else {
        j["match"] = nullptr;
    }
    if (!b.problem.empty()) j["problem"] = b.problem;
    return j;
}

}  // namespace

void print_summary(const std::vector<device_summary>& devices, FILE* out,
                   const std::vector<usb_device_summary>& bindings) {
    fprintf(out, "\n");
    for (const auto& b : bindings) {
        print_binding("Device", b.device, "", out);
        for (const auto& f : b.functions) print_binding("function", f, "  ", out);
    }
    for (const auto& d : devices) {
        fprintf(out, "USB function %s at %s: start status 0x%s\n", d.hardware_id.c_str(), d.location.c_str(),
                hex(d.start_status, 8).c_str());
        fprintf(out, "  function type: %s\n", d.function ? d.function->c_str() : "(none)");
        for (const auto& i : d.interfaces) {
            fprintf(out, "  interface %u (%s): class %s subclass %s protocol %s, setting %u of %u\n", i.number,
                    i.role.c_str(), hex(i.interface_class, 2).c_str(), hex(i.subclass, 2).c_str(),
                    hex(i.protocol, 2).c_str(), i.current_setting, i.settings);
        }
        if (d.alternate_settings) {
            fprintf(out, "  data interface alternate settings: enable %u, disable %u\n", d.alt_enable, d.alt_disable);
        }
        for (const auto& p : d.pipes) {
            fprintf(out, "  pipe 0x%s: %s %s, max packet %u (%s)\n", hex(p.endpoint, 2).c_str(), p.type.c_str(),
                    (p.endpoint & 0x80) ? "IN" : "OUT", p.max_packet, p.role.c_str());
        }
        for (const auto& c : d.children) {
            fprintf(out, "  child %s\n", c.device_id.c_str());
            fprintf(out, "    hardware ids:   %s\n", join(c.hardware_ids).c_str());
            fprintf(out, "    compatible ids: %s\n", join(c.compatible_ids).c_str());
            fprintf(out, "    instance id:    %s\n", c.instance_id.c_str());
            fprintf(out, "    device text:    %s\n", c.device_text.c_str());
            fprintf(out, "    location text:  %s\n", c.location_text.c_str());
            fprintf(out, "    address %u, UI number %u\n", c.address, c.ui_number);
            if (!c.driver) continue;
            const driver_summary& d = *c.driver;
            fprintf(out, "    function driver %s, %s\n", d.name.c_str(), d.opened ? "opened" : "never opened");
            if (!d.read.empty()) fprintf(out, "      read \"%s\"\n", escape_text(d.read).c_str());
            for (const auto& done : d.completions) {
                fprintf(out, "      %s completed 0x%s, %u bytes\n", done.op.c_str(), hex(done.status, 8).c_str(),
                        done.bytes);
            }
            for (const auto& n : d.notifications) fprintf(out, "      notification %s\n", hex_bytes(n).c_str());
        }
    }
}

void print_json(const std::vector<device_summary>& devices, FILE* out,
                const std::vector<usb_device_summary>& bindings) {
    nlohmann::json root;
    root["bindings"] = nlohmann::json::array();
    for (const auto& b : bindings) {
        nlohmann::json device = binding_json(b.device);
        device["functions"] = nlohmann::json::array();
        for (const auto& f : b.functions) device["functions"].push_back(binding_json(f));
        root["bindings"].push_back(device);
    }
    root["devices"] = nlohmann::json::array();
    for (const auto& d : devices) {
        nlohmann::json device;
        device["hardware_id"] = d.hardware_id;
        device["location"] = d.location;
        device["start_status"] = "0x" + hex(d.start_status, 8);
        device["function"] = d.function ? nlohmann::json(*d.function) : nlohmann::json(nullptr);
        device["interfaces"] = nlohmann::json::array();
        for (const auto& i : d.interfaces) {
            device["interfaces"].push_back({{"number", i.number},
                                            {"role", i.role},
                                            {"class", i.interface_class},
                                            {"subclass", i.subclass},
                                            {"protocol", i.protocol},
                                            {"settings", i.settings},
                                            {"current_setting", i.current_setting}});
        }
        device["pipes"] = nlohmann::json::array();
        for (const auto& p : d.pipes) {
            device["pipes"].push_back(
                {{"role", p.role}, {"endpoint", p.endpoint}, {"type", p.type}, {"max_packet", p.max_packet}});
        }
        if (d.alternate_settings) {
            device["alternate_settings"] = {{"enable", d.alt_enable}, {"disable", d.alt_disable}};
        }
        device["children"] = nlohmann::json::array();
        for (const auto& c : d.children) {
            device["children"].push_back({{"device_id", c.device_id},
                                          {"hardware_ids", c.hardware_ids},
                                          {"compatible_ids", c.compatible_ids},
                                          {"instance_id", c.instance_id},
                                          {"device_text", c.device_text},
                                          {"location_text", c.location_text},
                                          {"address", c.address},
                                          {"ui_number", c.ui_number},
                                          {"driver", c.driver ? driver_json(*c.driver) : nlohmann::json(nullptr)}});
        }
        device["transfers"] = nlohmann::json::array();
        for (const auto& t : d.transfers) {
            device["transfers"].push_back({{"endpoint", t.endpoint},
                                           {"type", t.type},
                                           {"direction", t.direction},
                                           {"length", t.length},
                                           {"status", "0x" + hex(t.status, 8)}});
        }
        root["devices"].push_back(device);
    }
    fprintf(out, "%s\n", root.dump(2).c_str());
}

}  // namespace cdcbus
