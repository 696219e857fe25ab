#include "sim/host.h"

#include <dlfcn.h>

#include <cstring>

#include "sim/kernel.h"
#include "wdf/wdf_childlist.h"
#include "wdf/wdf_internal.h"

struct _DRIVER_OBJECT {
    void* image;
};

namespace sim {
namespace {

host* g_host = nullptr;

const char* driver_service_name = "cdcbus";

std::u16string u16(const std::string& s) { return wdf::to_utf16(s); }

}  // namespace

host* current_host() { return g_host; }

// ---- device_stack ------------------------------------------------------------

device_stack::device_stack(const device_stack_config& config, unsigned ordinal)
    : config_(config), pdo_(new wdf::pdo_properties()), init_(new wdf::device_init()) {
    pdo_->enumerator = u16(config.enumerator);
    pdo_->device_id = u16(config.device_id);
    pdo_->instance_id = u16(config.instance_id);
    pdo_->device_description = u16(config.description);
    if (config.hardware_ids.empty()) {
        pdo_->hardware_ids.push_back(pdo_->enumerator + u"\\" + pdo_->device_id);
    }
    for (const auto& id : config.hardware_ids) pdo_->hardware_ids.push_back(u16(id));
    for (const auto& id : config.compatible_ids) pdo_->compatible_ids.push_back(u16(id));
    if (!config.pdo_name.empty()) {
        pdo_->pdo_name = u16(config.pdo_name);
    } else {
        char name[64];
        bool usb = config.enumerator == "USB" || config.enumerator == "usb";
        snprintf(name, sizeof(name), usb ? "\\Device\\USBPDO-%u" : "\\Device\\%08u", ordinal);
        pdo_->pdo_name = u16(name);
    }
    init_->pdo = pdo_.get();
}

device_stack::~device_stack() = default;

WDFDEVICE device_stack::device() const {
    return removed_ || device_ == nullptr ? nullptr : reinterpret_cast<WDFDEVICE>(device_);
}

const WDF_PNPPOWER_EVENT_CALLBACKS& device_stack::pnp_callbacks() const { return device_->init.pnp; }
bool device_stack::pnp_callbacks_set() const { return device_ != nullptr && device_->init.pnp_set; }
WDF_DEVICE_IO_TYPE device_stack::io_type() const { return device_->init.io_type; }
bool device_stack::owns_child_list() const { return device_ != nullptr && device_->init.has_child_list; }
const WDF_CHILD_LIST_CONFIG& device_stack::child_list_config() const { return device_->init.child_list_config; }
WDFCHILDLIST device_stack::child_list() const {
    return device_ == nullptr ? nullptr : reinterpret_cast<WDFCHILDLIST>(device_->default_child_list);
}

std::vector<device_interface_info> device_stack::interfaces() const {
    std::vector<device_interface_info> out;
    if (device_ == nullptr) return out;
    for (const auto& itf : device_->interfaces) {
        out.push_back({wdf::to_utf8(wdf::guid_text(itf.guid)), wdf::to_utf8(itf.symbolic_link), itf.enabled});
    }
    return out;
}

const WDF_DEVICE_PNP_CAPABILITIES* device_stack::pnp_capabilities() const {
    return device_ != nullptr && device_->pnp_caps_set ? &device_->pnp_caps : nullptr;
}

const PNP_BUS_INFORMATION* device_stack::bus_information() const {
    return device_ != nullptr && device_->bus_info_set ? &device_->bus_info : nullptr;
}

void* device_stack::context(const char* type_name) const {
    return device_ == nullptr ? nullptr : wdf::context_by_name(device_->handle(), type_name);
}

std::string device_stack::hardware_key() const {
    return std::string(enum_key()) + "\\" + wdf::to_utf8(pdo_->instance_path()) + "\\Device Parameters";
}

// ---- host --------------------------------------------------------------------

host::host() {
    if (g_host != nullptr) {
        bug_check(WDF_VIOLATION, "a second simulated host while one is alive", g_host, "sim::host");
    }
    g_host = this;
    kernel_reset();
    pool_reset_accounting();
    clock_use_virtual(true);
    wdf::current_registry().clear();
    // What installing the driver's service leaves in the registry.
    registry().create_key(parameters_key());
}

host::~host() {
    if (driver_loaded()) {
        unload_driver();
    }
    wdf::purge_destroyed();
    g_host = nullptr;
}

sim::registry& host::registry() { return wdf::current_registry(); }

std::string host::service_key() { return std::string(services_key()) + "\\" + driver_service_name; }

std::string host::parameters_key() { return service_key() + "\\Parameters"; }

NTSTATUS host::load_driver(const std::string& image) {
    if (module_ != nullptr) {
        bug_check(WDF_VIOLATION, "driver image already loaded", module_, "sim::host::load_driver");
    }
    void* module = dlopen(image.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (module == nullptr) {
        fprintf(stderr, "cannot load driver image %s: %s\n", image.c_str(), dlerror());
        return STATUS_OBJECT_NAME_NOT_FOUND;
    }
    auto entry = reinterpret_cast<PDRIVER_INITIALIZE>(dlsym(module, "DriverEntry"));
    if (entry == nullptr) {
        dlclose(module);
        return STATUS_INVALID_PARAMETER;
    }
    module_ = module;
    driver_object_ = new _DRIVER_OBJECT{module};
    std::u16string path = u"\\REGISTRY\\MACHINE\\SYSTEM\\CurrentControlSet\\Services\\" + u16(driver_service_name);
    UNICODE_STRING registry_path;
    registry_path.Buffer = reinterpret_cast<PWSTR>(path.data());
    registry_path.Length = static_cast<USHORT>(path.size() * sizeof(WCHAR));
    registry_path.MaximumLength = registry_path.Length;
    NTSTATUS status = entry(driver_object_, &registry_path);
    if (!NT_SUCCESS(status)) {
        // Windows unloads an image whose entry failed; its framework objects go with it.
        unload_driver();
    }
    return status;
}

device_stack& host::add_device(const device_stack_config& config) {
    bool usb = config.enumerator == "USB" || config.enumerator == "usb";
    unsigned ordinal = usb ? ++usb_pdo_counter_ : ++other_pdo_counter_;
    stacks_.push_back(std::make_unique<device_stack>(config, ordinal));
    device_stack& stack = *stacks_.back();
    registry().create_key(stack.hardware_key());
    wdf::driver_object* driver = wdf::current_driver();
    if (driver == nullptr || driver->config.EvtDriverDeviceAdd == nullptr) {
        stack.add_status_ = STATUS_NO_SUCH_DEVICE;
        return stack;
    }
    if (KeGetCurrentIrql() != PASSIVE_LEVEL) {
        bug_check(IRQL_NOT_LESS_OR_EQUAL, "PnP callbacks run at PASSIVE_LEVEL", nullptr, "sim::host::add_device");
    }
    PWDFDEVICE_INIT init = reinterpret_cast<PWDFDEVICE_INIT>(stack.init_.get());
    stack.add_status_ = driver->config.EvtDriverDeviceAdd(reinterpret_cast<WDFDRIVER>(driver), init);
    stack.device_ = stack.init_->created;
    if (!NT_SUCCESS(stack.add_status_) && stack.device_ != nullptr) {
        // A failed add tears the stack down with whatever device it created.
        wdf::delete_object(stack.device_);
        stack.device_ = nullptr;
    }
    return stack;
}

void host::remove_device(device_stack& stack) {
    if (stack.removed_) {
        return;
    }
    stack.removed_ = true;
    if (stack.device_ != nullptr) {
        wdf::delete_object(stack.device_);
    }
}

void host::unload_driver() {
    for (auto& stack : stacks_) {
        remove_device(*stack);
    }
    if (wdf::driver_object* driver = wdf::current_driver()) {
        wdf::delete_object(driver);
        wdf::set_current_driver(nullptr);
    }
    std::string report;
    size_t leaks = wdf::report_leaks(&report);
    for (const auto& [tag, usage] : pool_outstanding_all()) {
        char line[160];
        snprintf(line, sizeof(line), "leaked pool tag 0x%08X: %llu blocks, %llu bytes\n", tag,
                 static_cast<unsigned long long>(usage.allocations), static_cast<unsigned long long>(usage.bytes));
        report += line;
        leaks++;
    }
    if (module_ != nullptr) {
        dlclose(module_);
        module_ = nullptr;
    }
    delete driver_object_;
    driver_object_ = nullptr;
    if (leaks != 0) {
        fputs(report.c_str(), stderr);
        bug_check(DRIVER_VERIFIER_DETECTED_VIOLATION, "objects, references or pool left behind at driver unload",
                  nullptr, "sim::host::unload_driver");
    }
}

}  // namespace sim
