#include "sim/host.h"

#include <dlfcn.h>

#include <algorithm>
#include <cstring>

#include "sim/kernel.h"
#include "sim/symbols.h"
#include "usb/usb_device.h"
#include "wdf/wdf_childlist.h"
#include "wdf/wdf_internal.h"
#include "wdf/wdf_power.h"
#include "wdf/wdf_request.h"

struct _DRIVER_OBJECT {
    void* image;
};

namespace sim {
namespace {

host* g_host = nullptr;

const char* driver_service_name = "cdcbus";

std::u16string u16(const std::string& s) { return wdf::to_utf16(s); }

std::string format(const char* pattern, unsigned a, unsigned b = 0, unsigned c = 0) {
    char text[64];
    snprintf(text, sizeof(text), pattern, a, b, c);
    return text;
}

// ---- The USB hub's side: what it reports for each function's PDO ---------------

// The string that names a function: its association's, else (for a
// composite function) its first interface's; 0 for the product string.
uint8_t name_string(const usb::usb_function& function) {
    if (!function.interface_function) return 0;
    if (function.has_association) return function.association.iFunction;
    if (function.descriptors->configurations.empty()) return 0;
    const auto config = usb::shared_parse(function.descriptors->configurations[0]);
    const usb::parsed_interface* ifc = config->find_interface(function.first_interface);
    return ifc != nullptr && !ifc->settings.empty() ? ifc->settings[0].descriptor.iInterface : 0;
}

std::string function_description(const usb::usb_function& function) {
    const usb::descriptor_set& d = *function.descriptors;
    const uint8_t index = name_string(function);
    const std::u16string* name = index != 0 ? d.string(index) : nullptr;
    if (name == nullptr && d.device.iProduct != 0) name = d.string(d.device.iProduct);
    return name != nullptr ? wdf::to_utf8(*name) : "USB Device";
}

// "6&1a2b3c4d&0&1" for a whole device; a composite function's last component
// becomes its first interface number: "6&1a2b3c4d&0&0002".
std::string function_instance_id(const std::string& location, const usb::usb_function& function) {
    if (!function.interface_function) return location;
    size_t amp = location.rfind('&');
    std::string prefix = amp == std::string::npos ? std::string() : location.substr(0, amp + 1);
    return prefix + format("%04X", function.first_interface);
}

device_stack_config usb_function_config(const std::shared_ptr<usb::device>& dev, usb::usb_function function,
                                        const plug_options& options) {
    device_stack_config config;
    config.enumerator = "USB";
    config.device_id = function.hardware_id;
    config.instance_id = function_instance_id(options.location, function);
    config.description = function_description(function);
    config.location_information = "Port_#0001.Hub_#0001";
    usb::usb_ids ids = usb::function_ids(dev->descriptors(), function);
    config.hardware_ids = std::move(ids.hardware);
    config.compatible_ids = std::move(ids.compatible);
    config.usb = std::make_shared<usb::function_binding>(usb::function_binding{dev, std::move(function)});
    return config;
}

}  // namespace

host* current_host() { return g_host; }

// ---- device_stack ------------------------------------------------------------

device_stack::device_stack(device_stack_config config_in, unsigned ordinal)
    : config_(std::move(config_in)), pdo_(new wdf::pdo_properties()), init_(new wdf::device_init()) {
    const device_stack_config& config = config_;
    pdo_->enumerator = u16(config.enumerator);
    pdo_->device_id = u16(config.device_id);
    pdo_->instance_id = u16(config.instance_id);
    pdo_->device_description = u16(config.description);
    pdo_->location_information = u16(config.location_information);
    pdo_->usb = config.usb;
    pdo_->hardware_ids.reserve(std::max<size_t>(config.hardware_ids.size(), 1));
    pdo_->compatible_ids.reserve(config.compatible_ids.size());
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
    node_.instance_path = wdf::to_utf8(pdo_->instance_path());
}

device_stack::~device_stack() = default;

WDFDEVICE device_stack::device() const {
    return node_.removed || node_.device == nullptr ? nullptr : reinterpret_cast<WDFDEVICE>(node_.device);
}

std::string device_stack::instance_path() const { return node_.instance_path; }

const WDF_PNPPOWER_EVENT_CALLBACKS& device_stack::pnp_callbacks() const { return node_.device->init.pnp; }
bool device_stack::pnp_callbacks_set() const { return node_.device != nullptr && node_.device->init.pnp_set; }
WDF_DEVICE_IO_TYPE device_stack::io_type() const { return node_.device->init.io_type; }
bool device_stack::owns_child_list() const { return node_.device != nullptr && node_.device->init.has_child_list; }
const WDF_CHILD_LIST_CONFIG& device_stack::child_list_config() const { return node_.device->init.child_list_config; }
WDFCHILDLIST device_stack::child_list() const {
    return node_.device == nullptr ? nullptr : reinterpret_cast<WDFCHILDLIST>(node_.device->default_child_list);
}

std::vector<device_interface_info> device_stack::interfaces() const {
    std::vector<device_interface_info> out;
    if (node_.device == nullptr) return out;
    for (const auto& itf : node_.device->interfaces) {
        out.push_back({wdf::to_utf8(wdf::guid_text(itf.guid)), wdf::to_utf8(itf.symbolic_link), itf.enabled});
    }
    return out;
}

const WDF_DEVICE_PNP_CAPABILITIES* device_stack::pnp_capabilities() const {
    return node_.device != nullptr && node_.device->pnp_caps_set ? &node_.device->pnp_caps : nullptr;
}

const PNP_BUS_INFORMATION* device_stack::bus_information() const {
    return node_.device != nullptr && node_.device->bus_info_set ? &node_.device->bus_info : nullptr;
}

void* device_stack::context(const char* type_name) const {
    return node_.device == nullptr ? nullptr : wdf::context_by_name(node_.device->handle(), type_name);
}

std::string device_stack::hardware_key() const {
    // The instance path never changes once the stack is made.
    static constexpr const char parameters[] = "\\Device Parameters";
    const char* root = enum_key();
    std::string key;
    key.reserve(strlen(root) + 1 + node_.instance_path.size() + sizeof(parameters));
    key.append(root).append(1, '\\').append(node_.instance_path).append(parameters);
    return key;
}

void* child_info::context(const char* type_name) const {
    return device == nullptr ? nullptr : wdf::context_by_name(reinterpret_cast<WDFOBJECT>(device), type_name);
}

// ---- host --------------------------------------------------------------------

host::host() {
    if (g_host != nullptr) {
        bug_check(WDF_VIOLATION, "a second simulated host while one is alive", g_host, "sim::host");
    }
    g_host = this;
    idle_timer_start();
    scenario_thread_ = std::this_thread::get_id();
    wdf::set_system_power_action(PowerActionNone);
    kernel_reset();
    pool_reset_accounting();
    clock_use_virtual(true);
    wdf::current_registry().clear();
    // What installing the driver's service leaves in the registry.
    registry().create_key(parameters_key());
    system_store_.install(system_usb_inf(), registry());
}

host::~host() {
    idle_timer_stop();
    if (driver_loaded()) {
        unload_driver();
    }
    for (auto& p : plugged_) p.dev->on_port_cycle = nullptr;
    wdf::purge_retired_inits();
    // Queued completions run before the objects they touch are freed.
    wdf::io_threads_stop();
    wdf::purge_destroyed();
    g_host = nullptr;
}

sim::registry& host::registry() { return wdf::current_registry(); }

std::string host::service_key() { return std::string(services_key()) + "\\" + driver_service_name; }

std::string host::parameters_key() { return service_key() + "\\Parameters"; }

NTSTATUS host::load_driver(const std::string& image) {
    if (driver_loaded()) {
        bug_check(WDF_VIOLATION, "driver image already loaded", module_, "sim::host::load_driver");
    }
    const std::string path = image_in_use(image);
    void* module = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (module == nullptr) {
        fprintf(stderr, "cannot load driver image %s: %s\n", path.c_str(), dlerror());
        return STATUS_OBJECT_NAME_NOT_FOUND;
    }
    auto entry = reinterpret_cast<PDRIVER_INITIALIZE>(dlsym(module, "DriverEntry"));
    if (entry == nullptr) {
        dlclose(module);
        return STATUS_INVALID_PARAMETER;
    }
    module_ = module;
    return load_builtin_driver(entry);
}

NTSTATUS host::load_builtin_driver(PDRIVER_INITIALIZE entry) {
    if (driver_object_ != nullptr) {
        bug_check(WDF_VIOLATION, "a driver is already loaded", driver_object_, "sim::host::load_builtin_driver");
    }
    driver_object_ = new _DRIVER_OBJECT{module_};
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

device_stack& host::add_device(const device_stack_config& config) { return add_device(device_stack_config(config)); }

device_stack& host::add_device(device_stack_config&& config_in) {
    auto guard = enter("sim::host::add_device");
    refuse_while_sleeping("sim::host::add_device");
    bool usb = config_in.enumerator == "USB" || config_in.enumerator == "usb";
    unsigned ordinal = usb ? ++usb_pdo_counter_ : ++other_pdo_counter_;
    stacks_.push_back(std::make_unique<device_stack>(std::move(config_in), ordinal));
    device_stack& stack = *stacks_.back();
    const device_stack_config& config = stack.config();
    if (config.enumerator == "USB") usb_stacks_[config.device_id + "\\" + config.instance_id].push_back(&stack);
    registry().create_key(stack.hardware_key());
    wdf::driver_object* driver = wdf::current_driver();
    if (driver == nullptr || driver->config.EvtDriverDeviceAdd == nullptr) {
        stack.add_status_ = STATUS_NO_SUCH_DEVICE;
        return stack;
    }
    PWDFDEVICE_INIT init = reinterpret_cast<PWDFDEVICE_INIT>(stack.init_.get());
    record(stack.node_, "device_add");
    in_callback_ = true;
    stack.add_status_ = driver->config.EvtDriverDeviceAdd(reinterpret_cast<WDFDRIVER>(driver), init);
    in_callback_ = false;
    if (KeGetCurrentIrql() != PASSIVE_LEVEL) {
        bug_check(IRQL_NOT_LESS_OR_EQUAL, "callback returned at raised IRQL (a lock still held?)", nullptr,
                  "EvtDriverDeviceAdd");
    }
    stack.init_->magic = 0;  // the init lives only as long as device add
    stack.node_.device = stack.init_->created;
    if (!NT_SUCCESS(stack.add_status_) && stack.node_.device != nullptr) {
        // A failed add tears the stack down with whatever device it created.
        wdf::delete_object(stack.node_.device);
        stack.node_.device = nullptr;
    }
    if (stack.node_.device != nullptr) {
        nodes_[stack.node_.device] = &stack.node_;
    }
    return stack;
}

NTSTATUS host::start_device(device_stack& stack) {
    auto guard = enter("sim::host::start_device");
    refuse_while_sleeping("sim::host::start_device");
    if (stack.node_.device == nullptr || stack.node_.removed) {
        return STATUS_NO_SUCH_DEVICE;
    }
    if (stack.node_.started || stack.node_.start_status != STATUS_PENDING) {
        bug_check(WDF_VIOLATION, "device stack started twice", stack.node_.device, "sim::host::start_device");
    }
    start_node(stack.node_);
    process_queue();
    return stack.start_status();
}

void host::remove_device(device_stack& stack) {
    auto guard = enter("sim::host::remove_device");
    refuse_while_sleeping("sim::host::remove_device");
    remove_stack(stack, false);
    process_queue();
}

void host::remove_stack(device_stack& stack, bool surprise) {
    if (stack.node_.removed) {
        return;
    }
    if (stack.node_.device == nullptr) {
        stack.node_.removed = true;
        return;
    }
    remove_node(stack.node_, surprise);
}

std::vector<device_stack*> host::plug(std::shared_ptr<usb::device> dev, const plug_options& options) {
    auto guard = enter("sim::host::plug");
    refuse_while_sleeping("sim::host::plug");
    if (dev == nullptr) {
        bug_check(WDF_VIOLATION, "plugging a NULL device", nullptr, "sim::host::plug");
    }
    std::vector<device_stack*> stacks = plug_functions(dev, options);
    process_queue();
    return stacks;
}

// The hub validates configuration 0 and reports the device; the best INF
// model for its IDs decides what loads: the host's driver on the whole
// device, the generic parent (whose functions are matched in turn), or
// nothing the host runs.
std::vector<device_stack*> host::plug_functions(const std::shared_ptr<usb::device>& dev, const plug_options& options) {
    for (const auto& p : plugged_) {
        if (p.dev == dev) bug_check(WDF_VIOLATION, "device is already plugged in", dev.get(), "sim::host::plug");
    }
    dev->set_connected(true);
    dev->hub_enumerate(static_cast<uint8_t>(plugged_.size() + 1));
    const usb::descriptor_set& descriptors = dev->descriptors();
    device_stack_config device = usb_function_config(
        dev, std::move(usb::split_functions(dev->shared_descriptors(), usb::split_mode::whole_device)[0]), options);
    std::vector<device_stack*> stacks;
    last_binding_ = usb_binding{};

    std::string invalid = descriptors.configurations.empty()
                              ? std::string("no configuration")
                              : usb::validate_configuration(descriptors.configurations[0]);
    if (!invalid.empty()) {
        // Windows' hub reports the device under a fixed ID that no driver takes.
        device.device_id = std::string(usb::validation_failure_id).substr(4);
        device.hardware_ids = {usb::validation_failure_id};
        device.compatible_ids.clear();
        last_binding_.device = bind_node(device, nullptr);
        last_binding_.device.problem = "invalid configuration descriptor: " + invalid;
    } else if (!inf_binding()) {
        const bool split = !options.whole_device && usb::is_composite(descriptors);
        last_binding_.device = bind_node(device, nullptr);
        if (!split) {
            last_binding_.device.stack = plug_function(std::move(device), {});
            stacks.push_back(last_binding_.device.stack);
        } else {
            for (usb::usb_function& function : usb::split_functions(dev->shared_descriptors())) {
                device_stack_config config = usb_function_config(dev, std::move(function), options);
                driver_binding node = bind_node(config, nullptr);
                node.stack = plug_function(std::move(config), {});
                stacks.push_back(node.stack);
                last_binding_.functions.push_back(std::move(node));
            }
        }
    } else {
        std::optional<inf_match> match = match_driver(device.hardware_ids, device.compatible_ids);
        if (options.whole_device) {
            whole_device_model_.description = "(--whole-device)";
            whole_device_model_.ids = {device.hardware_ids[1]};
            whole_device_model_.service = driver_service_name;
            inf_match vendor{"(--whole-device)", &whole_device_model_, device.hardware_ids[1], true, 0x10};
            if (!match || vendor.rank <= match->rank) match = vendor;
        }
        last_binding_.device = bind_node(device, match ? &*match : nullptr);
        const std::string service = match ? match->model->service : std::string();
        if (service == driver_service_name) {
            last_binding_.device.stack = plug_function(std::move(device), match->model->hardware_values);
            stacks.push_back(last_binding_.device.stack);
        } else if (service == generic_parent_service && usb::is_composite(descriptors)) {
            for (usb::usb_function& function : usb::split_functions(dev->shared_descriptors())) {
                device_stack_config config = usb_function_config(dev, std::move(function), options);
                std::optional<inf_match> fm = match_driver(config.hardware_ids, config.compatible_ids);
                driver_binding node = bind_node(config, fm ? &*fm : nullptr);
                if (fm && fm->model->service == driver_service_name) {
                    node.stack = plug_function(std::move(config), fm->model->hardware_values);
                    stacks.push_back(node.stack);
                }
                last_binding_.functions.push_back(std::move(node));
            }
        }
    }
    plugged_.push_back({dev, options, stacks});
    std::weak_ptr<usb::device> weak = dev;
    dev->on_port_cycle = [this, weak] {
        if (auto d = weak.lock()) {
            std::lock_guard<std::mutex> guard(queue_lock_);
            cycle_queue_.push_back(d);
        }
    };
    return stacks;
}

device_stack* host::plug_function(device_stack_config config, const std::vector<inf_reg_value>& defaults) {
    const auto at = usb_stacks_.find(config.device_id + "\\" + config.instance_id);
    if (at != usb_stacks_.end()) {
        auto& here = at->second;
        here.erase(std::remove_if(here.begin(), here.end(), [](const device_stack* s) { return s->removed(); }),
                   here.end());
        if (!here.empty()) {
            bug_check(WDF_VIOLATION, "another device is plugged in at this location", here.front()->node_.device,
                      "sim::host::plug");
        }
    }
    // The model's .HW values land in the instance's Device Parameters as
    // the device is installed, before its driver is added.
    write_inf_values(
        registry(),
        std::string(enum_key()) + "\\USB\\" + config.device_id + "\\" + config.instance_id + "\\Device Parameters",
        defaults);
    device_stack& stack = add_device(std::move(config));
    if (stack.node_.device != nullptr) {
        start_node(stack.node_);
        process_queue();
    }
    return &stack;
}

driver_binding host::bind_node(const device_stack_config& config, const inf_match* match) const {
    driver_binding b;
    b.device_id = config.enumerator + "\\" + config.device_id;
    b.instance_id = config.instance_id;
    b.hardware_ids = config.hardware_ids;
    b.compatible_ids = config.compatible_ids;
    if (match != nullptr) {
        b.matched = true;
        b.inf = match->inf;
        b.models = match->model->section;
        b.description = match->model->description;
        b.service = match->model->service;
        b.id = match->id;
        b.by_hardware_id = match->hardware_id;
        b.rank = match->rank;
    }
    return b;
}

bool host::install_inf(const std::string& path, std::string* error) {
    std::optional<inf_file> inf = inf_file::load(path, error);
    if (!inf) return false;
    install_inf(std::move(*inf));
    return true;
}

void host::install_inf(inf_file inf) { driver_store_.install(std::move(inf), registry()); }

std::optional<inf_match> host::match_driver(const std::vector<std::string>& hardware_ids,
                                            const std::vector<std::string>& compatible_ids) const {
    std::optional<inf_match> installed = driver_store_.best_match(hardware_ids, compatible_ids);
    std::optional<inf_match> system = system_store_.best_match(hardware_ids, compatible_ids);
    if (system && (!installed || system->rank < installed->rank)) return system;
    return installed;
}

const char* host::driver_service() { return driver_service_name; }

void host::unplug(const std::shared_ptr<usb::device>& dev) {
    auto guard = enter("sim::host::unplug");
    refuse_while_sleeping("sim::host::unplug");
    remove_usb(dev, false);
    process_queue();
}

void host::surprise_remove(const std::shared_ptr<usb::device>& dev) {
    auto guard = enter("sim::host::surprise_remove");
    refuse_while_sleeping("sim::host::surprise_remove");
    remove_usb(dev, true);
    process_queue();
}

void host::remove_usb(const std::shared_ptr<usb::device>& dev, bool surprise) {
    auto it = plugged_.begin();
    while (it != plugged_.end() && it->dev != dev) ++it;
    if (it == plugged_.end()) {
        bug_check(WDF_VIOLATION, "device is not plugged in", dev.get(), "sim::host::unplug");
    }
    plugged_device record = *it;
    plugged_.erase(it);
    record.dev->on_port_cycle = nullptr;
    if (surprise) {
        record.dev->set_connected(false);  // gone before any driver hears of it
    }
    for (auto s = record.stacks.rbegin(); s != record.stacks.rend(); ++s) {
        remove_stack(**s, surprise);
    }
    record.dev->set_connected(false);
}

void host::settle() {
    auto guard = enter("sim::host::settle");
    process_queue();
}

// An idle timer that expired before the call is handled first, whether or
// not its thread has woken yet: the call sees the device as the time passed
// left it.
std::unique_lock<sched::controlled_recursive_mutex> host::enter(const char* api) {
    std::unique_lock<sched::controlled_recursive_mutex> guard(pnp_lock_);
    if (in_callback_) {
        bug_check(WDF_VIOLATION, "scenario API called from inside a driver callback", nullptr, api);
    }
    if (KeGetCurrentIrql() != PASSIVE_LEVEL) {
        bug_check(IRQL_NOT_LESS_OR_EQUAL, "the PnP manager runs at PASSIVE_LEVEL", nullptr, api);
    }
    if (wdf::power_next_idle_deadline() <= clock_now() && fire_idle_timers()) process_queue();
    return guard;
}

// Nothing is plugged, unplugged, added or removed while the system sleeps:
// a scenario resumes first.
void host::refuse_while_sleeping(const char* api) const {
    if (sleeping_) bug_check(WDF_VIOLATION, "PnP scenario call while the system sleeps (resume first)", nullptr, api);
}

void host::unload_driver() {
    std::lock_guard<sched::controlled_recursive_mutex> lock(pnp_lock_);
    std::string report;
    size_t leaks = 0;
    sleeping_ = false;  // devices still in a low-power state are removed from it
    wdf::set_system_power_action(PowerActionNone);
    power_changed_.notify_all();
    for (auto it = stacks_.rbegin(); it != stacks_.rend(); ++it) {
        remove_stack(**it, false);
    }
    for (auto& p : plugged_) p.dev->on_port_cycle = nullptr;
    plugged_.clear();
    {
        std::lock_guard<std::mutex> guard(queue_lock_);
        relations_queue_.clear();
        eject_queue_.clear();
        cycle_queue_.clear();
        wake_queue_.clear();
    }
    if (wdf::driver_object* driver = wdf::current_driver()) {
        if (driver->config.EvtDriverUnload != nullptr) {
            driver->config.EvtDriverUnload(reinterpret_cast<WDFDRIVER>(driver));
        }
        // Looked at before the driver's deletion closes what it parents: a
        // key never closed is a handle held for the driver's lifetime, one
        // more for every time the code path ran.
        leaks += wdf::report_open_keys(&report);
        wdf::delete_object(driver);
        wdf::set_current_driver(nullptr);
    }
    leaks += wdf::report_leaks(&report);
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

// ---- Inspection ----------------------------------------------------------------

std::vector<child_info> host::children(const device_stack& parent) const {
    if (parent.node_.device == nullptr || parent.node_.removed) return {};
    return children(reinterpret_cast<WDFDEVICE>(parent.node_.device));
}

std::vector<child_info> host::children(WDFDEVICE parent) const {
    std::vector<child_info> out;
    pnp_node* node = node_of(reinterpret_cast<const wdf::device*>(parent));
    if (node == nullptr) return out;
    out.reserve(node->children.size());
    for (const pnp_node* child : node->children) out.push_back(describe(*child));
    return out;
}

std::vector<WDFDEVICE> host::child_devices(const device_stack& parent) const {
    std::vector<WDFDEVICE> out;
    if (parent.node_.device == nullptr || parent.node_.removed) return out;
    pnp_node* node = node_of(parent.node_.device);
    if (node == nullptr) return out;
    out.reserve(node->children.size());
    for (const pnp_node* child : node->children) out.push_back(reinterpret_cast<WDFDEVICE>(child->device));
    return out;
}

child_info host::describe(const pnp_node& node) const {
    const wdf::device& pdo = *node.device;
    const wdf::device_init& init = pdo.init;
    child_info info;
    info.device = reinterpret_cast<WDFDEVICE>(node.device);
    info.parent = reinterpret_cast<WDFDEVICE>(init.parent);
    info.list = reinterpret_cast<WDFCHILDLIST>(init.list);
    info.device_id = wdf::to_utf8(init.device_id);
    info.instance_id = wdf::to_utf8(init.instance_id);
    info.instance_path = node.instance_path;
    info.hardware_ids.reserve(init.hardware_ids.size());
    for (const auto& id : init.hardware_ids) info.hardware_ids.push_back(wdf::to_utf8(id));
    info.compatible_ids.reserve(init.compatible_ids.size());
    for (const auto& id : init.compatible_ids) info.compatible_ids.push_back(wdf::to_utf8(id));
    info.container_id = wdf::to_utf8(init.container_id);
    info.texts.reserve(init.texts.size());
    for (const auto& t : init.texts) {
        info.texts.push_back({t.locale, wdf::to_utf8(t.description), wdf::to_utf8(t.location)});
    }
    info.locale = init.default_locale_set ? init.default_locale : (init.texts.empty() ? 0 : init.texts[0].locale);
    for (const auto& t : info.texts) {
        if (t.locale == info.locale) {
            info.device_text = t.description;
            info.location_text = t.location;
        }
    }
    info.device_type = init.device_type;
    info.raw = init.raw;
    if (init.raw) info.raw_class_guid = wdf::to_utf8(wdf::guid_text(init.raw_class_guid));
    info.forwards_to_parent = init.forward_to_parent;
    info.pnp_capabilities_set = pdo.pnp_caps_set;
    info.pnp_capabilities = pdo.pnp_caps;
    info.power_capabilities_set = pdo.power_caps_set;
    info.power_capabilities = pdo.power_caps;
    if (init.parent != nullptr && init.parent->bus_info_set) {
        info.bus_information_set = true;
        info.bus_information = init.parent->bus_info;
    }
    info.description = wdf::pdo_description(node.device);
    info.start_status = node.start_status;
    info.events = node.events;
    return info;
}

pnp_node* host::node_of(const wdf::device* dev) const {
    auto it = nodes_.find(dev);
    return it == nodes_.end() ? nullptr : it->second;
}

}  // namespace sim
