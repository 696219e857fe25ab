// The scenario API shared by tests and the command-line program: a simulated
// Windows host that loads the driver image, adds device stacks through the
// PnP manager, and lets the caller inspect what the driver did.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "sim/registry.h"
#include "wdf.h"

namespace wdf {
class device;
struct device_init;
struct pdo_properties;
}  // namespace wdf

namespace sim {

// The PDO a bus driver below reports: what the function driver's stack is
// built on.
struct device_stack_config {
    std::string enumerator = "USB";
    std::string device_id = "VID_1234&PID_5678";    // middle part of the instance path
    std::string instance_id = "6&1a2b3c4d&0&0001";  // last part of the instance path
    std::string description = "USB Serial Device";
    std::vector<std::string> hardware_ids;    // default: <enumerator>\<device_id>
    std::vector<std::string> compatible_ids;
    std::string pdo_name;  // default: \Device\USBPDO-<n> or \Device\<n> off the USB bus
};

struct device_interface_info {
    std::string class_guid;  // {c671678c-...}
    std::string symbolic_link;
    bool enabled;
};

class device_stack {
   public:
    device_stack(const device_stack_config& config, unsigned ordinal);
    ~device_stack();

    const device_stack_config& config() const { return config_; }
    NTSTATUS add_status() const { return add_status_; }
    WDFDEVICE device() const;  // NULL when device add failed or created none
    bool removed() const { return removed_; }

    // What device add configured.
    const WDF_PNPPOWER_EVENT_CALLBACKS& pnp_callbacks() const;
    bool pnp_callbacks_set() const;
    WDF_DEVICE_IO_TYPE io_type() const;
    bool owns_child_list() const;
    const WDF_CHILD_LIST_CONFIG& child_list_config() const;
    WDFCHILDLIST child_list() const;
    std::vector<device_interface_info> interfaces() const;
    const WDF_DEVICE_PNP_CAPABILITIES* pnp_capabilities() const;  // nullptr when never set
    const PNP_BUS_INFORMATION* bus_information() const;
    // The driver's context record of the given type name, or nullptr.
    void* context(const char* type_name) const;
    // The instance's hardware key (its Device Parameters subkey).
    std::string hardware_key() const;

   private:
    friend class host;
    device_stack_config config_;
    std::unique_ptr<wdf::pdo_properties> pdo_;
    std::unique_ptr<wdf::device_init> init_;
    wdf::device* device_ = nullptr;
    NTSTATUS add_status_ = STATUS_PENDING;
    bool removed_ = false;
};

class host {
   public:
    host();
    ~host();
    host(const host&) = delete;
    host& operator=(const host&) = delete;

    sim::registry& registry();
    // The driver's service key and its Parameters key.
    static std::string service_key();
    static std::string parameters_key();

    // Loads the driver image and calls its DriverEntry; on failure the image is
    // unloaded again. The path defaults to the one the build recorded.
    NTSTATUS load_driver(const std::string& image);
    bool driver_loaded() const { return module_ != nullptr; }
    // Removes every device stack, deletes the framework driver object, unloads
    // the image and bug checks if anything leaked.
    void unload_driver();

    // Builds a device stack on a PDO and calls the driver's device add.
    device_stack& add_device(const device_stack_config& config);
    // Removes a stack as the PnP manager does when its device goes away.
    void remove_device(device_stack& stack);
    const std::vector<std::unique_ptr<device_stack>>& stacks() const { return stacks_; }

   private:
    void* module_ = nullptr;
    PDRIVER_OBJECT driver_object_ = nullptr;
    std::vector<std::unique_ptr<device_stack>> stacks_;
    unsigned usb_pdo_counter_ = 0;
    unsigned other_pdo_counter_ = 0;
};

// The host currently alive (one per process at a time), or nullptr.
host* current_host();

}  // namespace sim
