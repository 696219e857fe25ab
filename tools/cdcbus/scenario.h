// What cdcbus does once its options are read: set up the registry, load the
// driver, plug the device, let the PnP manager enumerate its children, unplug
// it, unload, and print the summary.
#pragma once

#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>
#include <vector>

namespace cdcbus {

struct options {
    std::vector<std::string> reg_files;
    std::optional<uint32_t> debug_level;
    bool control_device = false;
    bool root_device = false;
    std::string descriptors;  // sysfs descriptors file; empty: the built-in modem
    bool json = false;
    std::string location;  // empty: the host's default port
    bool whole_device = false;
};

int run_scenario(const options& opts, FILE* out, FILE* err);

// ---- The summary ---------------------------------------------------------------

struct pipe_summary {
    std::string role;  // "notification", "data in", "data out"
    unsigned endpoint = 0;
    std::string type;  // "bulk", "interrupt", ...
    unsigned max_packet = 0;
};

struct interface_summary {
    std::string role;  // "communication", "data", "communication and data"
    unsigned number = 0;
    unsigned interface_class = 0, subclass = 0, protocol = 0;
    unsigned settings = 0;
    unsigned current_setting = 0;
};

struct child_summary {
    std::string device_id;
    std::vector<std::string> hardware_ids;
    std::vector<std::string> compatible_ids;
    std::string instance_id;
    std::string device_text;
    std::string location_text;
    uint32_t address = 0;
    uint32_t ui_number = 0;
};

struct device_summary {
    std::string hardware_id;
    std::string location;
    uint32_t start_status = 0;
    std::optional<std::string> function;
    std::vector<interface_summary> interfaces;
    std::vector<pipe_summary> pipes;
    bool alternate_settings = false;  // the data interface is switched by setting
    unsigned alt_enable = 0, alt_disable = 0;
    std::vector<child_summary> children;
};

void print_summary(const std::vector<device_summary>& devices, FILE* out);
void print_json(const std::vector<device_summary>& devices, FILE* out);

}  // namespace cdcbus
