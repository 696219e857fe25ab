// The PnP manager's device flows: start, bus relations, removal, surprise
// removal and ejection (host.h gives the order of the driver's callbacks).
#include <algorithm>

#include "sim/host.h"
#include "sim/kernel.h"
#include "sim/pnp_call.h"
#include "sim/sched.h"
#include "usb/usb_device.h"
#include "wdf/wdf_childlist.h"
#include "wdf/wdf_internal.h"
#include "wdf/wdf_power.h"

namespace wdf {

void invalidate_bus_relations(device* owner) {
    if (sim::host* h = sim::current_host()) h->invalidate_relations(owner);
}

void request_eject(device* pdo) {
    if (sim::host* h = sim::current_host()) h->request_eject(pdo);
}

}  // namespace wdf

namespace sim {
namespace {

// Work items one settle may run before the verifier calls it a livelock.
constexpr unsigned queue_step_limit = 100000;

// How far a start got, so a failure or a removal undoes exactly that.
enum stage { hardware_prepared = 1, in_d0, interrupts_enabled, self_managed_io_started };

using eject_routine = NTSTATUS (*)(WDFDEVICE);

// Windows refuses IDs with spaces, commas or characters outside printable
// ASCII; an instance ID is one path component, so no backslash either.
bool valid_id(const std::u16string& id, bool instance) {
    for (char16_t c : id) {
        if (c <= 0x20 || c > 0x7f || c == u',' || (instance && c == u'\\')) return false;
    }
    return true;
}

// IDs compare without regard to case, as the PnP manager compares them.
bool same_id(const std::u16string& a, const std::u16string& b) {
    auto lower = [](char16_t c) { return c >= u'A' && c <= u'Z' ? static_cast<char16_t>(c + 32) : c; };
    return a.size() == b.size() &&
           std::equal(a.begin(), a.end(), b.begin(), [&](char16_t x, char16_t y) { return lower(x) == lower(y); });
}

}  // namespace

driver_call::driver_call(bool& in_callback, const char* name, const wdf::device* power_of)
    : in_callback_(in_callback), was_in_callback_(in_callback), name_(name), power_of_(power_of) {
    if (KeGetCurrentIrql() != PASSIVE_LEVEL) {
        bug_check(IRQL_NOT_LESS_OR_EQUAL, "PnP callbacks run at PASSIVE_LEVEL", nullptr, name);
    }
    in_callback_ = true;
    if (power_of_ != nullptr) wdf::power_callback_enter(power_of_);
    sched::point(name);
}

driver_call::~driver_call() {
    io_release_late();
    if (power_of_ != nullptr) wdf::power_callback_leave(power_of_);
    in_callback_ = was_in_callback_;
    if (KeGetCurrentIrql() != PASSIVE_LEVEL) {
        bug_check(IRQL_NOT_LESS_OR_EQUAL, "callback returned at raised IRQL (a lock still held?)", nullptr, name_);
    }
}

void host::record(pnp_node& node, std::string event) {
    node.events.push_back(event);
    log_.push_back({reinterpret_cast<WDFDEVICE>(node.device), node.instance_path, std::move(event)});
}

void host::invalidate_relations(wdf::device* owner) {
    std::lock_guard<std::mutex> guard(queue_lock_);
    if (std::find(relations_queue_.begin(), relations_queue_.end(), owner) == relations_queue_.end()) {
        relations_queue_.push_back(owner);
    }
}

void host::request_eject(wdf::device* pdo) {
    std::lock_guard<std::mutex> guard(queue_lock_);
    eject_queue_.push_back(pdo);
}

// ---- Start -------------------------------------------------------------------------

void host::start_node(pnp_node& node, bool restart) {
    const WDF_PNPPOWER_EVENT_CALLBACKS cb = node.device->init.pnp;
    const WDFDEVICE handle = reinterpret_cast<WDFDEVICE>(node.device);
    NTSTATUS status = STATUS_SUCCESS;

    // A child's power-up takes a power reference on its parent, which brings
    // an idle parent back to D0 before the child's hardware is prepared.
    if (node.parent != nullptr && !sleeping_ && wdf::power_state(node.parent->device) != WdfPowerDeviceD0) {
        status = wake_node(*node.parent);
        if (!NT_SUCCESS(status)) {
            fail_start(node, status);
            return;
        }
    }
    if (cb.EvtDevicePrepareHardware != nullptr) {
        record(node, "prepare_hardware");
        driver_call call(in_callback_, "EvtDevicePrepareHardware");
        status = cb.EvtDevicePrepareHardware(handle, nullptr, nullptr);
    }
    if (!NT_SUCCESS(status)) {
        power_down(node, hardware_prepared, false);  // the framework releases what prepare may have taken
        fail_start(node, status);
        return;
    }
    if (cb.EvtDeviceD0Entry != nullptr) {
        record(node, "d0_entry(D3Final)");
        driver_call call(in_callback_, "EvtDeviceD0Entry", node.device);
        status = cb.EvtDeviceD0Entry(handle, WdfPowerDeviceD3Final);
    }
    if (!NT_SUCCESS(status)) {
        power_down(node, hardware_prepared, false);
        fail_start(node, status);
        return;
    }
    wdf::power_d0_entered(node.device);
    if (cb.EvtDeviceD0EntryPostInterruptsEnabled != nullptr) {
        record(node, "d0_entry_post_interrupts_enabled(D3Final)");
        driver_call call(in_callback_, "EvtDeviceD0EntryPostInterruptsEnabled", node.device);
        status = cb.EvtDeviceD0EntryPostInterruptsEnabled(handle, WdfPowerDeviceD3Final);
    }
    if (!NT_SUCCESS(status)) {
        power_down(node, in_d0, false);
        fail_start(node, status);
        return;
    }
    scan_children(node);
    if (restart && cb.EvtDeviceSelfManagedIoRestart != nullptr) {
        record(node, "self_managed_io_restart");
        driver_call call(in_callback_, "EvtDeviceSelfManagedIoRestart", node.device);
        status = cb.EvtDeviceSelfManagedIoRestart(handle);
    } else if (!restart && cb.EvtDeviceSelfManagedIoInit != nullptr) {
        record(node, "self_managed_io_init");
        driver_call call(in_callback_, "EvtDeviceSelfManagedIoInit", node.device);
        status = cb.EvtDeviceSelfManagedIoInit(handle);
    }
    if (!NT_SUCCESS(status)) {
        power_down(node, interrupts_enabled, false);
        fail_start(node, status);
        return;
    }
    node.start_status = STATUS_SUCCESS;
    node.started = true;
    node.stopped = false;
    wdf::power_started(node.device);

    // The PnP manager's first bus relations query of the started device.
    invalidate_relations(node.device);
}

// Every entry into D0 (the start's included) scans the device's child lists
// after D0 entry, before self-managed I/O starts or restarts.
void host::scan_children(pnp_node& node) {
    for (wdf::child_list* list : wdf::child_lists_of(node.device)) {
        if (list->config.EvtChildListScanForChildren == nullptr) continue;
        record(node, "scan_for_children");
        driver_call call(in_callback_, "EvtChildListScanForChildren");
        wdf::scan_for_children(list);
    }
}

// A function device whose start failed is removed with its stack; a PDO stays
// (its bus still reports it) until it goes missing or its parent goes.
void host::fail_start(pnp_node& node, NTSTATUS status) {
    node.start_status = status;
    if (node.parent == nullptr) {
        remove_node(node, false);
    }
}

// A device in a low-power state is not brought back to D0 to be removed: it
// gets no self-managed I/O suspend and no second D0 exit.
void host::power_down(pnp_node& node, int reached, bool surprise) {
    const bool low = reached >= in_d0 && wdf::power_state(node.device) != WdfPowerDeviceD0;
    const WDF_PNPPOWER_EVENT_CALLBACKS cb = node.device->init.pnp;
    const WDFDEVICE handle = reinterpret_cast<WDFDEVICE>(node.device);
    if (surprise && cb.EvtDeviceSurpriseRemoval != nullptr) {
        record(node, "surprise_removal");
        driver_call call(in_callback_, "EvtDeviceSurpriseRemoval");
        cb.EvtDeviceSurpriseRemoval(handle);
    }
    if (!low && reached >= self_managed_io_started && cb.EvtDeviceSelfManagedIoSuspend != nullptr) {
        record(node, "self_managed_io_suspend");
        driver_call call(in_callback_, "EvtDeviceSelfManagedIoSuspend", node.device);
        cb.EvtDeviceSelfManagedIoSuspend(handle);
    }
    if (!low && reached >= interrupts_enabled && cb.EvtDeviceD0ExitPreInterruptsDisabled != nullptr) {
        record(node, "d0_exit_pre_interrupts_disabled(D3Final)");
        driver_call call(in_callback_, "EvtDeviceD0ExitPreInterruptsDisabled", node.device);
        cb.EvtDeviceD0ExitPreInterruptsDisabled(handle, WdfPowerDeviceD3Final);
    }
    if (reached >= in_d0) wdf::power_d0_leaving(node.device, WdfPowerDeviceD3Final);
    if (!low && reached >= in_d0 && cb.EvtDeviceD0Exit != nullptr) {
        record(node, "d0_exit(D3Final)");
        driver_call call(in_callback_, "EvtDeviceD0Exit", node.device);
        cb.EvtDeviceD0Exit(handle, WdfPowerDeviceD3Final);
    }
    if (reached >= hardware_prepared && cb.EvtDeviceReleaseHardware != nullptr) {
        record(node, "release_hardware");
        driver_call call(in_callback_, "EvtDeviceReleaseHardware");
        cb.EvtDeviceReleaseHardware(handle, nullptr);
    }
    if (reached >= self_managed_io_started) finish_self_managed_io(node);
}

void host::finish_self_managed_io(pnp_node& node) {
    const WDF_PNPPOWER_EVENT_CALLBACKS cb = node.device->init.pnp;
    const WDFDEVICE handle = reinterpret_cast<WDFDEVICE>(node.device);
    if (cb.EvtDeviceSelfManagedIoFlush != nullptr) {
        record(node, "self_managed_io_flush");
        driver_call call(in_callback_, "EvtDeviceSelfManagedIoFlush");
        cb.EvtDeviceSelfManagedIoFlush(handle);
    }
    if (cb.EvtDeviceSelfManagedIoCleanup != nullptr) {
        record(node, "self_managed_io_cleanup");
        driver_call call(in_callback_, "EvtDeviceSelfManagedIoCleanup");
        cb.EvtDeviceSelfManagedIoCleanup(handle);
    }
}

// ---- Removal -----------------------------------------------------------------------

// Children first, then the device's own callbacks, then the framework deletes
// the device object. A PDO's node is destroyed here.
void host::remove_node(pnp_node& node, bool surprise) {
    if (node.removed) {
        return;
    }
    // An orderly removal begins with a query-remove, which brings an idle
    // device (its parents first) back to D0; a device that vanished is not
    // powered up.
    if (!surprise && node.started && !node.removing && !node.waking_for_removal && !sleeping_ &&
        wdf::power_state(node.device) != WdfPowerDeviceD0) {
        node.waking_for_removal = true;
        wake_node(node);
        node.waking_for_removal = false;
        if (node.removed) return;
    }
    while (!node.children.empty()) {
        remove_node(*node.children.back(), surprise);
    }
    unload_function_driver(node, surprise);
    if (node.started) {
        node.removing = true;
        power_down(node, self_managed_io_started, surprise);
        node.started = false;
    } else if (node.stopped) {
        // Stopped by a rebalance and never back: only the removal's end is left.
        node.removing = true;
        finish_self_managed_io(node);
    }
    node.removed = true;
    record(node, "removed");
    wdf::device* dev = node.device;
    wdf::power_removed(dev);
    nodes_.erase(dev);
    if (node.parent == nullptr) {
        driver_call call(in_callback_, "EvtCleanupCallback");
        wdf::delete_object(dev);
        return;
    }
    auto& siblings = node.parent->children;
    siblings.erase(std::remove(siblings.begin(), siblings.end(), &node), siblings.end());
    {
        driver_call call(in_callback_, "EvtCleanupCallback");
        wdf::delete_pdo(dev);
    }
    child_nodes_.erase(std::remove_if(child_nodes_.begin(), child_nodes_.end(),
                                      [&](const std::unique_ptr<pnp_node>& n) { return n.get() == &node; }),
                       child_nodes_.end());
}

// Ejection: the child is stopped as in an orderly removal, the bus ejects it
// (EvtDeviceEject), and a successful ejection reports the child missing.
void host::eject(pnp_node& node) {
    if (node.removed || node.parent == nullptr) {
        return;
    }
    while (!node.children.empty()) {
        remove_node(*node.children.back(), false);
    }
    unload_function_driver(node, false);
    if (node.started) {
        node.removing = true;
        power_down(node, self_managed_io_started, false);
        node.started = false;
    }
    NTSTATUS status = STATUS_SUCCESS;
    auto eject_callback = reinterpret_cast<eject_routine>(node.device->init.pdo_callbacks.EvtDeviceEject);
    if (eject_callback != nullptr) {
        record(node, "eject");
        driver_call call(in_callback_, "EvtDeviceEject");
        status = eject_callback(reinterpret_cast<WDFDEVICE>(node.device));
    }
    if (NT_SUCCESS(status)) {
        wdf::mark_pdo_missing(node.device);
    }
}

// ---- Rebalance ---------------------------------------------------------------------

NTSTATUS host::rebalance(device_stack& stack, const std::function<void()>& while_stopped) {
    return rebalance(stack.device(), while_stopped);
}

NTSTATUS host::rebalance(WDFDEVICE device, const std::function<void()>& while_stopped) {
    auto guard = enter("sim::host::rebalance");
    refuse_while_sleeping("sim::host::rebalance");
    pnp_node* root = node_of(reinterpret_cast<const wdf::device*>(device));
    if (root == nullptr || !root->started || root->removing) {
        return STATUS_INVALID_DEVICE_STATE;
    }
    // Parents before children; nodes are looked up again at each step, as a
    // failed restart removes its subtree.
    std::vector<wdf::device*> tree;
    subtree(*root, tree);

    NTSTATUS status = STATUS_SUCCESS;
    for (auto it = tree.rbegin(); it != tree.rend() && NT_SUCCESS(status); ++it) {
        if (pnp_node* node = node_of(*it)) status = query_stop(*node);
    }
    if (!NT_SUCCESS(status)) {
        // The cancel-stop: every device asked stays started, and in D0 until
        // it idles again.
        process_queue();
        return status;
    }
    for (auto it = tree.rbegin(); it != tree.rend(); ++it) {
        if (pnp_node* node = node_of(*it)) stop_node(*node);
    }
    if (while_stopped) {
        // As a driver callback: a scenario call from here is refused.
        driver_call call(in_callback_, "rebalance: while stopped");
        while_stopped();
    }
    for (wdf::device* dev : tree) {
        pnp_node* node = node_of(dev);
        if (node == nullptr || !node->stopped) continue;
        if (node->parent != nullptr && !node->parent->started) continue;  // its parent failed to come back
        start_node(*node, true);
        if (!NT_SUCCESS(node->start_status) && NT_SUCCESS(status)) status = node->start_status;
    }
    process_queue();
    return status;
}

void host::subtree(pnp_node& node, std::vector<wdf::device*>& out) const {
    out.push_back(node.device);
    for (pnp_node* child : node.children) {
        if (child->started && !child->removing) subtree(*child, out);
    }
}

// The framework's static check (WdfDeviceSetStaticStopRemove), then the
// driver's EvtDeviceQueryStop; a device that passes is brought to D0.
NTSTATUS host::query_stop(pnp_node& node) {
    if (wdf::static_stop_vetoed(node.device)) {
        return STATUS_INVALID_DEVICE_STATE;
    }
    NTSTATUS status = STATUS_SUCCESS;
    const WDF_PNPPOWER_EVENT_CALLBACKS cb = node.device->init.pnp;
    if (cb.EvtDeviceQueryStop != nullptr) {
        record(node, "query_stop");
        driver_call call(in_callback_, "EvtDeviceQueryStop");
        status = cb.EvtDeviceQueryStop(reinterpret_cast<WDFDEVICE>(node.device));
    }
    if (NT_SUCCESS(status)) status = wake_node(node);
    return status;
}

// The power-down of a removal, in D0 (the query-stop brought it there), then
// its hardware is released; self-managed I/O is suspended, not flushed.
void host::stop_node(pnp_node& node) {
    const WDF_PNPPOWER_EVENT_CALLBACKS cb = node.device->init.pnp;
    const WDFDEVICE handle = reinterpret_cast<WDFDEVICE>(node.device);
    if (cb.EvtDeviceSelfManagedIoSuspend != nullptr) {
        record(node, "self_managed_io_suspend");
        driver_call call(in_callback_, "EvtDeviceSelfManagedIoSuspend", node.device);
        cb.EvtDeviceSelfManagedIoSuspend(handle);
    }
    if (cb.EvtDeviceD0ExitPreInterruptsDisabled != nullptr) {
        record(node, "d0_exit_pre_interrupts_disabled(D3Final)");
        driver_call call(in_callback_, "EvtDeviceD0ExitPreInterruptsDisabled", node.device);
        cb.EvtDeviceD0ExitPreInterruptsDisabled(handle, WdfPowerDeviceD3Final);
    }
    wdf::power_d0_leaving(node.device, WdfPowerDeviceD3Final);
    if (cb.EvtDeviceD0Exit != nullptr) {
        record(node, "d0_exit(D3Final)");
        driver_call call(in_callback_, "EvtDeviceD0Exit", node.device);
        cb.EvtDeviceD0Exit(handle, WdfPowerDeviceD3Final);
    }
    if (cb.EvtDeviceReleaseHardware != nullptr) {
        record(node, "release_hardware");
        driver_call call(in_callback_, "EvtDeviceReleaseHardware");
        cb.EvtDeviceReleaseHardware(handle, nullptr);
    }
    wdf::power_stopped(node.device);
    node.started = false;
    node.stopped = true;
    node.start_status = STATUS_PENDING;
}

// ---- Bus relations -----------------------------------------------------------------

void host::bus_relations(pnp_node& node) {
    for (wdf::child_list* list : wdf::child_lists_of(node.device)) {
        if (wdf::enumeration_in_progress(list)) {
            continue;  // the driver's outermost End invalidates the relations again
        }
        for (wdf::device* gone : wdf::take_missing(list)) {
            if (pnp_node* child = node_of(gone)) {
                remove_node(*child, true);  // to the PnP manager the child has vanished
            } else {
                wdf::delete_pdo(gone);
            }
        }
        bool retry = false;
        std::vector<wdf::device*> created;
        {
            driver_call call(in_callback_, "EvtChildListCreateDevice");
            created = wdf::create_pending(list, &retry);
        }
        for (wdf::device* pdo : created) {
            add_child(node, pdo);
        }
        if (retry) {
            invalidate_relations(node.device);
        }
    }
}

void host::add_child(pnp_node& parent, wdf::device* pdo) {
    check_child_ids(parent, *pdo);
    auto owned = std::make_unique<pnp_node>();
    pnp_node& child = *owned;
    child.device = pdo;
    child.parent = &parent;
    std::u16string path = pdo->init.device_id + u"\\" + pdo->init.instance_id;
    child.instance_path = wdf::to_utf8(path);
    if (pdo->own_pdo.pdo_name.empty()) {
        char name[32];
        snprintf(name, sizeof(name), "\\Device\\%08x", ++child_pdo_counter_);
        pdo->own_pdo.pdo_name = wdf::to_utf16(name);
    }
    registry().create_key(std::string(enum_key()) + "\\" + child.instance_path + "\\Device Parameters");
    parent.children.push_back(&child);
    nodes_[pdo] = &child;
    wdf::power_set_parent(pdo, parent.device);
    child_nodes_.push_back(std::move(owned));
    start_node(child);
    if (child.started) {
        load_function_driver(child);
    }
}

void host::check_child_ids(const pnp_node& parent, const wdf::device& pdo) const {
    const wdf::device_init& init = pdo.init;
    const char* caller = "EvtChildListCreateDevice";
    bool ids_valid = valid_id(init.device_id, false) && valid_id(init.instance_id, true);
    for (const auto& id : init.hardware_ids) ids_valid = ids_valid && valid_id(id, false);
    for (const auto& id : init.compatible_ids) ids_valid = ids_valid && valid_id(id, false);
    if (!ids_valid) {
        bug_check(PNP_DETECTED_FATAL_ERROR, "invalid ID: a PDO reported an ID with characters Windows refuses", &pdo,
                  caller);
    }
    if (init.instance_id.empty()) {
        return;  // the PnP manager makes one up per sibling
    }
    for (const pnp_node* sibling : parent.children) {
        const wdf::device_init& other = sibling->device->init;
        if (same_id(other.device_id, init.device_id) && same_id(other.instance_id, init.instance_id)) {
            bug_check(PNP_DETECTED_FATAL_ERROR, "duplicate PDO: two children with the same device and instance IDs",
                      &pdo, caller);
        }
    }
}

// ---- Function drivers --------------------------------------------------------------

void host::register_function_driver(const std::string& id, function_driver_factory factory) {
    std::u16string key = wdf::to_utf16(id);
    for (auto& entry : function_drivers_) {
        if (same_id(entry.first, key)) {
            entry.second = std::move(factory);
            return;
        }
    }
    function_drivers_.emplace_back(key, std::move(factory));
}

void host::set_default_function_driver(function_driver_factory factory) {
    default_function_driver_ = std::move(factory);
}

// Windows ranks a device's hardware IDs above its compatible IDs, each list
// in the order the bus reported it.
function_driver_factory host::match_function_driver(const wdf::device& pdo) const {
    for (const auto* ids : {&pdo.init.hardware_ids, &pdo.init.compatible_ids}) {
        for (const auto& id : *ids) {
            for (const auto& entry : function_drivers_) {
                if (same_id(entry.first, id) && entry.second) return entry.second;
            }
        }
    }
    return default_function_driver_;
}

void host::load_function_driver(pnp_node& node) {
    function_driver_factory factory = match_function_driver(*node.device);
    if (!factory) {
        return;
    }
    std::unique_ptr<function_driver> driver;
    {
        driver_call call(in_callback_, "function driver load");
        driver = factory(reinterpret_cast<WDFDEVICE>(node.device));
    }
    if (driver == nullptr) {
        return;
    }
    record(node, "function_driver_load(" + driver->name() + ")");
    node.function = std::move(driver);
}

// The top of the stack goes first: the function driver lets go of the
// device before the bus driver's removal callbacks run.
void host::unload_function_driver(pnp_node& node, bool surprise) {
    if (node.function == nullptr) {
        return;
    }
    driver_call call(in_callback_, "function driver removal");
    node.function->removing(surprise);
    if (node.function->is_open()) {
        record(node, "function_driver_close");
        node.function->close();
    }
    record(node, "function_driver_unload");
    node.function.reset();
}

NTSTATUS host::open(WDFDEVICE child) {
    auto guard = enter("sim::host::open");
    if (sleeping_) return STATUS_INVALID_DEVICE_STATE;
    pnp_node* node = node_of(reinterpret_cast<const wdf::device*>(child));
    if (node == nullptr || node->removed || node->function == nullptr) {
        return STATUS_NO_SUCH_DEVICE;
    }
    if (node->function->is_open()) {
        return STATUS_ACCESS_DENIED;
    }
    NTSTATUS status;
    {
        driver_call call(in_callback_, "function driver open");
        status = node->function->open();
    }
    process_queue();
    return status;
}

void host::close(WDFDEVICE child) {
    auto guard = enter("sim::host::close");
    if (sleeping_) return;
    pnp_node* node = node_of(reinterpret_cast<const wdf::device*>(child));
    if (node == nullptr || node->function == nullptr || !node->function->is_open()) {
        return;
    }
    {
        driver_call call(in_callback_, "function driver close");
        node->function->close();
    }
    process_queue();
}

function_driver* host::function_driver_of(WDFDEVICE child) const {
    pnp_node* node = node_of(reinterpret_cast<const wdf::device*>(child));
    return node == nullptr ? nullptr : node->function.get();
}

// ---- The queue ---------------------------------------------------------------------

void host::process_queue() {
    if (sleeping_) {
        // Resume brings every device back; relations wait for it.
        std::lock_guard<std::mutex> guard(queue_lock_);
        wake_queue_.clear();
        return;
    }
    for (unsigned steps = 0;; ++steps) {
        if (steps == queue_step_limit) {
            bug_check(WDF_VIOLATION, "the PnP manager never became quiescent (relations invalidated forever?)", nullptr,
                      "sim::host");
        }
        wdf::device* relations = nullptr;
        wdf::device* ejected = nullptr;
        wdf::device* woken = nullptr;
        wdf::device* failed = nullptr;
        std::shared_ptr<usb::device> cycled;
        {
            std::lock_guard<std::mutex> guard(queue_lock_);
            if (!relations_queue_.empty()) {
                relations = relations_queue_.front();
                relations_queue_.pop_front();
            } else if (!wake_queue_.empty()) {
                woken = wake_queue_.front();
                wake_queue_.pop_front();
            } else if (!failed_queue_.empty()) {
                failed = failed_queue_.front();
                failed_queue_.pop_front();
            } else if (!eject_queue_.empty()) {
                ejected = eject_queue_.front();
                eject_queue_.pop_front();
            } else if (!cycle_queue_.empty()) {
                cycled = cycle_queue_.front();
                cycle_queue_.pop_front();
            } else if (!fire_idle_timers()) {
                return;
            } else {
                continue;  // a timer's idle may have queued a return to D0
            }
        }
        if (relations != nullptr) {
            pnp_node* node = node_of(relations);
            if (node != nullptr && node->started) bus_relations(*node);
        } else if (woken != nullptr) {
            pnp_node* node = node_of(woken);
            if (node != nullptr && node->started && !node->removing) wake_node(*node);
        } else if (failed != nullptr) {
            pnp_node* node = node_of(failed);
            if (node != nullptr && node->started && !node->removing) remove_node(*node, false);
        } else if (ejected != nullptr) {
            if (pnp_node* node = node_of(ejected)) eject(*node);
        } else {
            // A cycled port looks to the PnP manager like an unplug and a new arrival.
            auto it = std::find_if(plugged_.begin(), plugged_.end(),
                                   [&](const plugged_device& p) { return p.dev == cycled; });
            if (it == plugged_.end()) continue;
            plug_options options = it->options;
            remove_usb(cycled, true);
            plug_functions(cycled, options);
        }
    }
}

}  // namespace sim
