// The scenario API shared by tests and the command-line program: a simulated
// Windows host that loads the driver, plugs simulated USB devices in and out,
// runs the PnP manager's device flows and lets the caller inspect what the
// driver did.
//
// The PnP manager, as Windows runs it: every driver callback at
// PASSIVE_LEVEL, one device's callbacks at a time, on the thread that called
// the scenario API.
// - Start: EvtDevicePrepareHardware (no resources: NULL lists),
//   EvtDeviceD0Entry(WdfPowerDeviceD3Final), EvtDeviceD0EntryPostInterruptsEnabled,
//   each child list's EvtChildListScanForChildren, EvtDeviceSelfManagedIoInit. A failed prepare hardware is followed by
//   EvtDeviceReleaseHardware, a failed D0 entry by EvtDeviceReleaseHardware
//   too; either way the device is removed.
// - Enumeration: a child list's changes (committed at the driver's outermost
//   End of a scan or iteration, at once outside both) invalidate the bus
//   relations of its device. The PnP manager handles that after the current
//   PnP operation returns, never inside a driver callback: it removes the PDOs of descriptions gone
//   missing (a surprise removal, the device having vanished) and creates and
//   starts a PDO for each new present description. A child reported during
//   the parent's prepare hardware gets its PDO right after the parent's start.
//   Every scenario call runs this queue until quiescent before it returns;
//   settle() runs it for changes the driver made on its own threads.
// - Removal: the device's children first (newest first, recursively), then
//   EvtDeviceSurpriseRemoval (surprise removal only), EvtDeviceSelfManagedIoSuspend,
//   EvtDeviceD0ExitPreInterruptsDisabled, EvtDeviceD0Exit(WdfPowerDeviceD3Final),
//   EvtDeviceReleaseHardware, EvtDeviceSelfManagedIoFlush,
//   EvtDeviceSelfManagedIoCleanup; then the framework deletes the device
//   object (a PDO's description is forgotten with it). A PDO's function
//   driver goes first: told of the removal, closed if open, unloaded.
// - Function drivers: a PDO that started gets the function driver its IDs
//   match (register_function_driver); the log shows "function_driver_load",
//   "function_driver_close" and "function_driver_unload" on the PDO.
// - Power (power.cpp): leaving D0 for a low-power state runs
//   EvtDeviceSelfManagedIoSuspend, EvtDeviceD0ExitPreInterruptsDisabled(target),
//   EvtDeviceD0Exit(target); returning runs EvtDeviceD0Entry(previous),
//   EvtDeviceD0EntryPostInterruptsEnabled(previous), each child list's
//   EvtChildListScanForChildren (on every entry into D0, as at start),
//   EvtDeviceSelfManagedIoRestart. A device armed for wake (its wait-wake
//   request pending) logs "arm_for_wake" before it leaves and "disarm_wake"
//   after it is back. A PDO's wait-wake that its bus driver completes
//   (WdfDeviceIndicateWakeStatus) logs "wake_signalled" (then the PDO returns
//   to D0 through the PnP manager's queue) or "wake_failed". A
//   failing return to D0 fails the device: it is removed as a failed device
//   is (no D0 exit when D0 entry failed). An orderly removal of a device in a
//   low-power state brings it (its parents first) back to D0 before its
//   removal, as the query-remove does; a surprise removal does not: such a
//   device gets no self-managed I/O suspend and no D0 exit; release
//   hardware, self-managed I/O flush and cleanup still run. A device idles
//   by itself when its idle timer (wdf/wdf_power.h) runs out on the
//   platform clock: a framework thread hands the expiry to the PnP manager,
//   which takes it to its idle state on that thread (or on the thread of
//   the next scenario call, which handles an expired timer first); idle()
//   idles one at once. WdfDeviceStopIdle on a low-power device
//   brings it (its parents first) back to D0 on the calling thread when it
//   waits, else through the PnP manager's queue (every scenario call and
//   settle() finish it). Transfers to a USB device whose function device is
//   in a low-power state fail with STATUS_DEVICE_NOT_READY without reaching
//   it. While the system sleeps, open() gives STATUS_INVALID_DEVICE_STATE,
//   close() and idle() do nothing, plugging, unplugging, adding, starting or
//   removing is a bug check, and a WdfDeviceStopIdle waiting for D0 waits for
//   resume (from the scenario thread it would wait forever: bug check).
// - Rebalance (rebalance()): the PnP manager stops a device and every device
//   below it to hand out resources again, and starts them once more. Each
//   device of the subtree is asked first, children before parents: the
//   query-stop fails while the driver holds WdfDeviceSetStaticStopRemove
//   (STATUS_INVALID_DEVICE_STATE), else EvtDeviceQueryStop ("query_stop")
//   decides, else it succeeds, and a device in a low-power state is brought
//   back to D0 for it. One refusal abandons the rebalance: nothing is
//   stopped. Otherwise each device stops, children before parents, as at a
//   removal but without the removal's end: EvtDeviceSelfManagedIoSuspend,
//   EvtDeviceD0ExitPreInterruptsDisabled(WdfPowerDeviceD3Final),
//   EvtDeviceD0Exit(WdfPowerDeviceD3Final), EvtDeviceReleaseHardware; no
//   flush or cleanup, the device objects, their children and the function
//   drivers stay. Then each starts again, parents first, as at its first
//   start but with EvtDeviceSelfManagedIoRestart in place of the init. A
//   failing restart removes the device (and its children). Relations the
//   drivers invalidated meanwhile are handled once every device is back.
// - Verifier: a callback returning at raised IRQL, two children of one parent
//   with the same device and instance IDs, or an ID with characters Windows
//   refuses is a bug check (PNP_DETECTED_FATAL_ERROR for the IDs).
#pragma once

#include <condition_variable>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "sim/inf.h"
#include "sim/registry.h"
#include "sim/sched.h"
#include "wdf.h"

namespace wdf {
class device;
struct device_init;
struct pdo_properties;
}  // namespace wdf

namespace sim {

namespace usb {
class device;
struct function_binding;
struct usb_function;
}  // namespace usb

// The PDO a bus driver below reports: what the function driver's stack is
// built on.
struct device_stack_config {
    std::string enumerator = "USB";
    std::string device_id = "VID_1234&PID_5678";    // middle part of the instance path
    std::string instance_id = "6&1a2b3c4d&0&0001";  // last part of the instance path
    std::string description = "USB Serial Device";
    std::vector<std::string> hardware_ids;  // default: <enumerator>\<device_id>
    std::vector<std::string> compatible_ids;
    std::string pdo_name;                        // default: \Device\USBPDO-<n> or \Device\<n> off the USB bus
    std::string location_information;            // "Port_#0001.Hub_#0001"
    std::shared_ptr<usb::function_binding> usb;  // a USB function: the device and the function's view
};

struct device_interface_info {
    std::string class_guid;  // {c671678c-...}
    std::string symbolic_link;
    bool enabled;
};

// IRP_MN_QUERY_INTERFACE sent to a device by a driver above it, at
// PASSIVE_LEVEL: the framework answers from the interfaces registered with
// WdfDeviceAddQueryInterface. A registered record larger (Size) or newer
// (Version) than the caller's gives STATUS_INVALID_BUFFER_SIZE; otherwise the
// framework's copy is written into the caller's buffer, the driver's
// EvtDeviceProcessQueryInterfaceRequest sees it with the specific data (its
// failure fails the query), and InterfaceReference is called once for the
// caller. An unknown GUID gives STATUS_NOT_SUPPORTED.
NTSTATUS query_interface(WDFDEVICE device, const GUID& type, PINTERFACE iface, USHORT size, USHORT version,
                         PVOID specific_data);

// A driver the PnP manager loads on a child PDO, as the function driver of
// that device's stack. It is created once the PDO has started; at the PDO's
// removal (orderly or surprise) it is told, closed if open and destroyed,
// before the bus driver hears of the removal. open and close come from the
// scenario (a person opening and closing the device), at PASSIVE_LEVEL.
class function_driver {
 public:
    virtual ~function_driver() = default;
    virtual std::string name() const = 0;
    virtual NTSTATUS open() = 0;
    virtual void close() = 0;
    virtual bool is_open() const = 0;
    // The device is going away; surprise: it is already gone.
    virtual void removing(bool surprise) { (void)surprise; }
    // As the device's power policy owner: whether it sends the PDO a
    // wait-wake request whenever the device leaves D0.
    virtual bool arms_for_wake() const { return false; }
};

// Makes the function driver of a PDO; nullptr loads none.
using function_driver_factory = std::function<std::unique_ptr<function_driver>(WDFDEVICE pdo)>;

// What the PnP manager knows of one device it added or enumerated.
struct pnp_node {
    wdf::device* device = nullptr;
    pnp_node* parent = nullptr;       // the bus device that enumerated it
    std::vector<pnp_node*> children;  // PDOs, oldest first
    std::vector<std::string> events;  // "prepare_hardware", "d0_entry(D3Final)", ...
    std::string instance_path;
    NTSTATUS start_status = STATUS_PENDING;
    bool started = false;
    bool removed = false;
    bool removing = false;                      // its removal has begun
    bool armed_for_wake = false;                // armed when it left D0
    bool waking_for_removal = false;            // an orderly removal is bringing it back to D0
    bool stopped = false;                       // stopped by a rebalance, not yet started again
    std::unique_ptr<function_driver> function;  // a PDO's function driver, once it started
};

// One step of the PnP manager, for tests that check order across devices.
struct pnp_event {
    WDFDEVICE device;
    std::string instance_path;
    std::string name;
};

class device_stack {
 public:
    device_stack(device_stack_config config, unsigned ordinal);
    ~device_stack();

    const device_stack_config& config() const { return config_; }
    NTSTATUS add_status() const { return add_status_; }
    // STATUS_PENDING until the PnP manager started it; then how the start went.
    NTSTATUS start_status() const { return node_.start_status; }
    bool started() const { return node_.started && !node_.removed; }
    WDFDEVICE device() const;  // NULL when device add failed or created none, or once removed
    bool removed() const { return node_.removed; }
    // The PnP callbacks the device received, in order.
    const std::vector<std::string>& events() const { return node_.events; }
    std::string instance_path() const;

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
    NTSTATUS add_status_ = STATUS_PENDING;
    pnp_node node_;
};

struct child_text {
    LCID locale = 0;
    std::string description;
    std::string location;
};

// A PDO a bus driver created from one of its child lists. Strings are UTF-8.
struct child_info {
    WDFDEVICE device = nullptr;
    WDFDEVICE parent = nullptr;
    WDFCHILDLIST list = nullptr;
    std::string device_id;  // as assigned: "usbcdcacm\VID_1234&PID_5678"
    std::string instance_id;
    std::string instance_path;  // device_id\instance_id
    std::vector<std::string> hardware_ids;
    std::vector<std::string> compatible_ids;
    std::string container_id;
    // The texts of the default locale (or, with none set, of the first text).
    std::string device_text;
    std::string location_text;
    LCID locale = 0;
    std::vector<child_text> texts;  // every locale, in the order added
    DEVICE_TYPE device_type = 0;
    bool raw = false;
    std::string raw_class_guid;
    bool forwards_to_parent = false;
    bool pnp_capabilities_set = false;
    WDF_DEVICE_PNP_CAPABILITIES pnp_capabilities{};  // Address, UINumber, ...
    bool power_capabilities_set = false;
    WDF_DEVICE_POWER_CAPABILITIES power_capabilities{};
    bool bus_information_set = false;
    PNP_BUS_INFORMATION bus_information{};  // what the parent set for its children
    std::vector<uint8_t> description;       // the identification description
    NTSTATUS start_status = STATUS_PENDING;
    std::vector<std::string> events;

    // The driver's context record of the given type name, or nullptr.
    void* context(const char* type_name) const;
};

// Plugging a USB device into a port of the simulated host.
struct plug_options {
    // The port's instance id. A composite device's functions replace its last
    // '&' component with their first interface number: ...&0000, ...&0002.
    std::string location = "6&1a2b3c4d&0&1";
    // One function with the whole device even when it is composite. With
    // INFs installed: as if a vendor INF named the device's
    // USB\VID_vvvv&PID_pppp for the driver.
    bool whole_device = false;
};

// The driver the PnP manager chose for one device node, by INF model.
struct driver_binding {
    std::string device_id;  // "USB\VID_1234&PID_5678&MI_00"
    std::string instance_id;
    std::vector<std::string> hardware_ids;
    std::vector<std::string> compatible_ids;
    bool matched = false;
    std::string inf;          // "cdcbus.inf"
    std::string models;       // the models section, "CdcBus.NTamd64"
    std::string description;  // the model's device description
    std::string service;      // the function driver's service, "cdcbus", "usbccgp"
    std::string id;           // the device's ID the model matched
    bool by_hardware_id = false;
    unsigned rank = 0;
    std::string problem;            // why the node has no driver beyond no match ("" when none)
    device_stack* stack = nullptr;  // the driver's stack, when the host's driver bound
};

// What plugging a USB device made: the hub's node and, when the generic
// parent loaded on it, its function nodes.
struct usb_binding {
    driver_binding device;
    std::vector<driver_binding> functions;
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
    // A driver linked into the program (a test's own small driver): its entry
    // is called as an image's would be.
    NTSTATUS load_builtin_driver(PDRIVER_INITIALIZE entry);
    bool driver_loaded() const { return driver_object_ != nullptr; }
    // Removes every device stack (newest first, children before parents),
    // calls EvtDriverUnload, deletes the framework driver object, unloads the
    // image and bug checks if anything leaked.
    void unload_driver();

    // ---- Driver packages -----------------------------------------------------------
    // Installs an INF: its services' registry defaults are written now, its
    // models decide binding from the next plug on. While none is installed
    // the loaded driver takes every USB device (split by the composite
    // parent unless plug_options.whole_device), as a test host wants it.
    // usb.inf's generic parent is always there. Returns false with
    // "<file>:<line>: <what>" for a malformed package.
    bool install_inf(const std::string& path, std::string* error);
    void install_inf(inf_file inf);
    bool inf_binding() const { return !driver_store_.empty(); }
    // The best model among the installed packages for these IDs.
    std::optional<inf_match> match_driver(const std::vector<std::string>& hardware_ids,
                                          const std::vector<std::string>& compatible_ids) const;
    // What the latest plug bound where.
    const usb_binding& last_binding() const { return last_binding_; }
    // The service the loaded driver runs as ("cdcbus").
    static const char* driver_service();

    // ---- Devices -----------------------------------------------------------------
    // Builds a device stack on a PDO and calls the driver's device add only.
    device_stack& add_device(const device_stack_config& config);
    device_stack& add_device(device_stack_config&& config);
    // Starts a stack device add created a device for (a root-enumerated device
    // such as the driver's control device), then enumerates its children.
    NTSTATUS start_device(device_stack& stack);
    // Orderly removal of one stack (children first); nothing happens twice.
    void remove_device(device_stack& stack);
    const std::vector<std::unique_ptr<device_stack>>& stacks() const { return stacks_; }

    // Plugs a USB device in: one stack per function (split as the composite
    // parent splits it), each added, started and enumerated. The stacks are
    // in function order.
    std::vector<device_stack*> plug(std::shared_ptr<usb::device> dev, const plug_options& options = {});
    // Orderly removal of every stack of the device, then the device is
    // disconnected.
    void unplug(const std::shared_ptr<usb::device>& dev);
    // The device vanishes: it is disconnected first, then every stack of it
    // is surprise removed.
    void surprise_remove(const std::shared_ptr<usb::device>& dev);

    // ---- Function drivers on child PDOs ---------------------------------------------
    // The driver for a hardware or compatible ID (compared without regard to
    // case, as Windows compares them); a later registration of the same ID
    // replaces the earlier. A PDO gets the driver of its first hardware ID
    // that has one, else of its first compatible ID that has one, else the
    // default driver, else none. Registrations apply to PDOs started later.
    void register_function_driver(const std::string& id, function_driver_factory factory);
    void set_default_function_driver(function_driver_factory factory);
    // The child's function driver opens or closes the device. Opening a child
    // without a function driver gives STATUS_NO_SUCH_DEVICE, an open one
    // STATUS_ACCESS_DENIED (exclusive, as a serial port is); closing one that
    // is not open does nothing.
    NTSTATUS open(WDFDEVICE child);
    NTSTATUS open(const child_info& child) { return open(child.device); }
    void close(WDFDEVICE child);
    void close(const child_info& child) { close(child.device); }
    // The loaded function driver, or nullptr.
    function_driver* function_driver_of(WDFDEVICE child) const;

    // Runs the PnP manager's queue (bus relations the driver invalidated from
    // its own threads, ejections, port cycles, returns to D0) until quiescent.
    void settle();

    // ---- Power -------------------------------------------------------------------
    // System sleep (S3) and resume. Sleep takes every started stack out of D0,
    // enumerated PDOs before their parents; a device whose driver assigned wake
    // settings (enabled) is armed for wake and goes to D2, any other to D3.
    // Resume brings them back parents first, USB stacks before root-enumerated ones.
    // Both return STATUS_SUCCESS or the first failing callback's status.
    NTSTATUS sleep();
    NTSTATUS resume();
    bool sleeping() const;
    // Idles a device now, before its time-out: true when it went to its idle
    // state (D2 for USB selective suspend), false when it cannot (no idle
    // settings assigned, a WdfDeviceStopIdle reference held, not started,
    // already idle). Its PDO children leave D0 first, as their power policy
    // owners would let them. Without it a device idles by itself once its
    // time-out passes with no power reference held.
    bool idle(WDFDEVICE device);
    // The device's power state as the framework tracks it
    // (WdfPowerDeviceD0, WdfPowerDeviceD2, ...; WdfPowerDeviceD3Final when not started or removed).
    WDF_POWER_DEVICE_STATE power_state(WDFDEVICE device) const;

    // ---- Rebalance -----------------------------------------------------------------
    // Stops the device and its subtree and starts them again (see above).
    // STATUS_SUCCESS when every device is back, the refusing device's status
    // when a query-stop failed (nothing stopped), or the first failing
    // restart's status. while_stopped runs once every device has stopped and
    // before any restarts, as the PnP manager reassigns the resources: a
    // scenario looks at the stopped tree there (no scenario call from it).
    NTSTATUS rebalance(device_stack& stack, const std::function<void()>& while_stopped = {});
    NTSTATUS rebalance(WDFDEVICE device, const std::function<void()>& while_stopped = {});

    // ---- Inspection --------------------------------------------------------------
    // The PDOs a device enumerated, oldest first.
    std::vector<child_info> children(const device_stack& parent) const;
    std::vector<child_info> children(WDFDEVICE parent) const;
    // The children's devices only, in the same order: for a caller that asks
    // often and needs no more.
    std::vector<WDFDEVICE> child_devices(const device_stack& parent) const;
    // Every PnP step on every device, in order.
    const std::vector<pnp_event>& pnp_log() const { return log_; }

 private:
    struct plugged_device {
        std::shared_ptr<usb::device> dev;
        plug_options options;
        std::vector<device_stack*> stacks;
    };

    // Scenario calls: not from inside a driver callback, at PASSIVE_LEVEL;
    // the PnP manager's lock is held until the call returns.
    std::unique_lock<sched::controlled_recursive_mutex> enter(const char* api);
    void refuse_while_sleeping(const char* api) const;
    std::vector<device_stack*> plug_functions(const std::shared_ptr<usb::device>& dev, const plug_options& options);
    // Installs and starts one function's stack, configured as the hub reports it.
    device_stack* plug_function(device_stack_config config, const std::vector<inf_reg_value>& defaults);
    driver_binding bind_node(const device_stack_config& config, const inf_match* match) const;
    void remove_stack(device_stack& stack, bool surprise);
    void remove_usb(const std::shared_ptr<usb::device>& dev, bool surprise);
    pnp_node* node_of(const wdf::device* dev) const;
    child_info describe(const pnp_node& node) const;

    // The PnP manager (pnp.cpp).
    void record(pnp_node& node, std::string event);
    // restart: the start after a rebalance's stop.
    void start_node(pnp_node& node, bool restart = false);
    NTSTATUS query_stop(pnp_node& node);
    void stop_node(pnp_node& node);
    void subtree(pnp_node& node, std::vector<wdf::device*>& out) const;
    void scan_children(pnp_node& node);
    void fail_start(pnp_node& node, NTSTATUS status);
    void power_down(pnp_node& node, int reached, bool surprise);
    void finish_self_managed_io(pnp_node& node);
    void remove_node(pnp_node& node, bool surprise);
    void bus_relations(pnp_node& node);
    void add_child(pnp_node& parent, wdf::device* pdo);
    void check_child_ids(const pnp_node& parent, const wdf::device& pdo) const;
    void eject(pnp_node& node);
    void load_function_driver(pnp_node& node);
    void unload_function_driver(pnp_node& node, bool surprise);
    function_driver_factory match_function_driver(const wdf::device& pdo) const;
    void process_queue();

    // Power (power.cpp).
    NTSTATUS leave_d0(pnp_node& node, WDF_POWER_DEVICE_STATE target, bool arm);
    NTSTATUS enter_d0(pnp_node& node);
    NTSTATUS wake_node(pnp_node& node);
    bool can_idle(const pnp_node& node) const;
    void idle_children(pnp_node& node);
    // Takes every device whose idle timer expired out of D0; true when any was.
    bool fire_idle_timers();
    // The idle timers' thread may start (a new host) or ends (the host goes).
    static void idle_timer_start();
    static void idle_timer_stop();
    std::vector<wdf::device*> resume_order() const;

 public:
    // Called by the framework, from any thread.
    void invalidate_relations(wdf::device* owner);
    void request_eject(wdf::device* pdo);
    // A WdfDeviceStopIdle that waits: the device back in D0, or why not.
    NTSTATUS wait_for_d0(wdf::device* dev);
    void queue_wake(wdf::device* dev);
    // WdfDeviceIndicateWakeStatus on a PDO: false when no wait-wake is pending.
    bool indicate_wake(wdf::device* dev, NTSTATUS status);
    // The idle timer's thread, once a deadline passed: the PnP manager runs
    // the expired idles (and its queue) on it.
    void idle_timers_expired();

 private:
    void* module_ = nullptr;
    PDRIVER_OBJECT driver_object_ = nullptr;
    std::vector<std::unique_ptr<device_stack>> stacks_;
    // The USB stacks by device and instance ID, removed ones included until
    // a lookup drops them: a plug finds the stack at its location without
    // walking every stack the host ever made.
    std::map<std::string, std::vector<device_stack*>> usb_stacks_;
    std::vector<plugged_device> plugged_;
    std::vector<std::unique_ptr<pnp_node>> child_nodes_;  // enumerated PDOs still present
    std::map<const wdf::device*, pnp_node*> nodes_;       // every live device the PnP manager runs
    std::vector<pnp_event> log_;
    std::vector<std::pair<std::u16string, function_driver_factory>> function_drivers_;
    function_driver_factory default_function_driver_;
    driver_store driver_store_;     // the INFs installed
    driver_store system_store_;     // usb.inf
    inf_model whole_device_model_;  // plug_options.whole_device with INFs installed
    usb_binding last_binding_;
    // Held by the scenario thread through every scenario call, and by a
    // thread bringing a device back to D0: one PnP or power operation at a time.
    mutable sched::controlled_recursive_mutex pnp_lock_;
    std::condition_variable_any power_changed_;  // the system resumed
    std::thread::id scenario_thread_;
    bool sleeping_ = false;     // guarded by pnp_lock_
    bool in_callback_ = false;  // guarded by pnp_lock_; a driver callback is running
    unsigned usb_pdo_counter_ = 0;
    unsigned other_pdo_counter_ = 0;
    unsigned child_pdo_counter_ = 0;

    std::mutex queue_lock_;
    std::deque<wdf::device*> relations_queue_;              // guarded by queue_lock_
    std::deque<wdf::device*> eject_queue_;                  // guarded by queue_lock_
    std::deque<std::shared_ptr<usb::device>> cycle_queue_;  // guarded by queue_lock_
    std::deque<wdf::device*> wake_queue_;                   // guarded by queue_lock_
    std::deque<wdf::device*> failed_queue_;                 // guarded by queue_lock_: power-ups failed in StopIdle
    bool in_stop_idle_ = false;                             // guarded by pnp_lock_: powering up for WdfDeviceStopIdle
};

// The host currently alive (one per process at a time), or nullptr.
host* current_host();

}  // namespace sim
