// What cdcbus does once its options are read: set up the registry, load the
// driver and the function drivers, run the actions (the built-in
// demonstration, a descriptor file plugged and unplugged, or a script),
// unload, write the capture and print the summary.
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
    std::string script;             // scenario script; empty: none
    std::string pcap;               // capture file; empty: none
    bool serve = false;             // actions from `in` until it ends, serial children on pseudo-terminals
    std::vector<std::string> infs;  // driver packages installed besides the project's
};

// The INF installed unless CDCBUS_INF names another: beside the program, else the source tree's.
std::string project_inf_path();

int run_scenario(const options& opts, FILE* out, FILE* err, FILE* in = stdin);

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

struct completion_summary {
    std::string op;  // "read", "write", "class"
    uint32_t status = 0;
    uint32_t bytes = 0;
};

// What a child's function driver saw, taken as it unloaded.
struct driver_summary {
    std::string name;
    bool opened = false;
    std::vector<uint8_t> read;
    std::vector<completion_summary> completions;
    std::vector<std::vector<uint8_t>> notifications;
};

// One transfer the device saw, in order of completion.
struct transfer_summary {
    unsigned endpoint = 0;
    std::string type;       // "control", "bulk", "interrupt", "port reset", "port cycle"
    std::string direction;  // "in", "out"
    size_t length = 0;      // bytes moved
    uint32_t status = 0;    // USBD status
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
    std::optional<driver_summary> driver;
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
    std::vector<transfer_summary> transfers;
};

// Which INF model and driver the PnP manager chose for a device node.
struct binding_summary {
    std::string device_id;
    std::string instance_id;
    std::vector<std::string> hardware_ids;
    std::vector<std::string> compatible_ids;
    bool matched = false;
    std::string inf, models, description, service, id;
    bool by_hardware_id = false;
    std::string problem;  // why nothing could load, beyond no match
    bool loaded = false;  // the host ran the driver on it
};

// A plugged USB device: the hub's node and the generic parent's functions.
struct usb_device_summary {
    binding_summary device;
    std::vector<binding_summary> functions;
};

void print_summary(const std::vector<device_summary>& devices, FILE* out,
                   const std::vector<usb_device_summary>& bindings = {});
void print_json(const std::vector<device_summary>& devices, FILE* out,
                const std::vector<usb_device_summary>& bindings = {});

}  // namespace cdcbus
