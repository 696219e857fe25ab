// Framework objects shared by the framework's families. Platform-internal.
#pragma once

#include <atomic>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "sim/registry.h"
#include "wdf/wdf_object.h"

namespace sim {
class registry;
namespace usb {
struct function_binding;
}
}  // namespace sim

namespace wdf {

// What the bus driver below reported for the PDO a function device sits on.
struct pdo_properties {
    std::u16string enumerator;                 // "USB", "ROOT"
    std::vector<std::u16string> hardware_ids;  // most specific first: "USB\VID_1234&PID_5678&REV_0100", ...
    std::vector<std::u16string> compatible_ids;
    std::u16string device_id;    // "VID_1234&PID_5678": the middle part of the instance path
    std::u16string instance_id;  // "6&1a2b3c4d&0&0001"
    std::u16string device_description;
    std::u16string pdo_name;  // "\Device\USBPDO-5"
    std::u16string location_information;
    // A USB function's PDO: the device and the function's view of it.
    std::shared_ptr<sim::usb::function_binding> usb;

    // enumerator\device_id\instance_id, as Windows names the device instance.
    std::u16string instance_path() const { return enumerator + u"\\" + device_id + u"\\" + instance_id; }
};

class device;
class child_list;

// A registry key as a handle names it: the path as opened, for the verifier's
// reports, and the registry's name for it. Shared by the handles opened on it.
struct key_location {
    explicit key_location(std::string opened) : path(std::move(opened)), name(path) {}
    std::string path;
    sim::key_name name;
};

struct pdo_text {
    std::u16string description;
    std::u16string location;
    LCID locale;
};

// WDFDEVICE_INIT: collected settings until WdfDeviceCreate consumes them.
struct device_init {
    static constexpr uint64_t live = 0x494e4954444556ull;
    uint64_t magic = live;
    bool is_pdo = false;
    bool consumed = false;
    const pdo_properties* pdo = nullptr;  // FDO: the PDO below
    device* parent = nullptr;             // PDO: the parent function device
    child_list* list = nullptr;           // PDO: the list it is created from
    std::vector<uint8_t> description;     // PDO: the identification description it represents

    WDF_PNPPOWER_EVENT_CALLBACKS pnp{};
    bool pnp_set = false;
    WDF_DEVICE_IO_TYPE io_type = WdfDeviceIoBuffered;
    bool io_type_set = false;
    DEVICE_TYPE device_type = 0;
    bool exclusive = false;
    bool power_policy_owner_set = false;
    BOOLEAN power_policy_owner = FALSE;
    bool has_child_list = false;
    WDF_CHILD_LIST_CONFIG child_list_config{};
    WDF_OBJECT_ATTRIBUTES child_list_attributes{};
    bool child_list_attributes_set = false;

    // PDO identifiers and texts.
    std::u16string device_id;
    std::u16string instance_id;
    std::u16string container_id;
    std::vector<std::u16string> hardware_ids;
    std::vector<std::u16string> compatible_ids;
    std::vector<pdo_text> texts;
    LCID default_locale = 0;
    bool default_locale_set = false;
    bool raw = false;
    GUID raw_class_guid{};
    bool forward_to_parent = false;
    WDF_PDO_EVENT_CALLBACKS pdo_callbacks{};
    device* created = nullptr;  // the device WdfDeviceCreate made from it
};

device_init* validate_init(PWDFDEVICE_INIT init, const char* caller);

struct device_interface {
    GUID guid;
    std::u16string reference;
    std::u16string symbolic_link;
    bool enabled = true;
};

class driver_object : public object {
 public:
    driver_object() : object(object_type::driver) {}
    bool driver_may_delete() const override { return false; }
    WDF_DRIVER_CONFIG config{};
    std::u16string registry_path;  // \REGISTRY\MACHINE\SYSTEM\CurrentControlSet\Services\<name>
    PDRIVER_OBJECT wdm = nullptr;
    const std::shared_ptr<const key_location>& parameters_key() const;  // registry_path\Parameters

 private:
    mutable std::once_flag parameters_key_once_;
    mutable std::shared_ptr<const key_location> parameters_key_;  // set once
};

driver_object* current_driver();  // nullptr when no driver is loaded
void set_current_driver(driver_object* driver);
sim::registry& current_registry();
// Verifier: every registry key still open, one line each; returns how many.
size_t report_open_keys(std::string* report);

// One WdfDeviceAddQueryInterface registration: the framework's own copy of
// the GUID and of the interface (Size bytes; empty for a pass-through or an
// import without one).
struct query_interface_entry {
    GUID type{};
    std::vector<uint8_t> interface_copy;
    PFN_WDF_DEVICE_PROCESS_QUERY_INTERFACE_REQUEST process = nullptr;
    bool send_to_parent = false;
    bool import = false;
};

class device : public object {
 public:
    device() : object(object_type::device) {}
    bool driver_may_delete() const override { return false; }
    void on_delete() override;

    device_init init;        // settings it was created with
    pdo_properties own_pdo;  // a PDO's own identity; an FDO's copy of the PDO below
    WDF_DEVICE_PNP_CAPABILITIES pnp_caps{};
    bool pnp_caps_set = false;
    WDF_DEVICE_POWER_CAPABILITIES power_caps{};
    bool power_caps_set = false;
    PNP_BUS_INFORMATION bus_info{};
    bool bus_info_set = false;
    std::vector<device_interface> interfaces;
    child_list* default_child_list = nullptr;
    WDF_DEVICE_POWER_POLICY_IDLE_SETTINGS idle_settings{};
    bool idle_settings_set = false;
    WDF_DEVICE_POWER_POLICY_WAKE_SETTINGS wake_settings{};
    bool wake_settings_set = false;
    // Interfaces registered with WdfDeviceAddQueryInterface, first match wins.
    std::mutex query_interface_lock;
    std::vector<std::shared_ptr<query_interface_entry>> query_interfaces;  // guarded by query_interface_lock
    // WdfDeviceSetStaticStopRemove(FALSE) calls not taken back; changed
    // interlocked, read by the PnP manager at a query-stop.
    std::atomic<long> static_stop_count{0};

    bool is_pdo() const { return init.is_pdo; }
    const std::shared_ptr<const key_location>& hardware_key() const;  // the instance's Device Parameters key

 private:
    // The instance path is fixed once the device is created.
    mutable std::once_flag hardware_key_once_;
    mutable std::shared_ptr<const key_location> hardware_key_;  // set once
};

class key_object : public object {
 public:
    key_object() : object(object_type::key) {}
    std::shared_ptr<const key_location> key;
    uint64_t id = 0;  // the key it was opened on, as the registry knows it
    ACCESS_MASK access = 0;
};

class string_object : public object {
 public:
    string_object() : object(object_type::string) {}
    std::u16string text;
};

class collection_object : public object {
 public:
    collection_object() : object(object_type::collection) {}
    void on_delete() override;
    std::mutex lock;             // each call takes it, as the framework's collection does
    std::vector<object*> items;  // guarded by lock
};

class spin_lock_object : public object {
 public:
    spin_lock_object() : object(object_type::spin_lock) {}
    ~spin_lock_object() override;
    std::mutex mutex;
    std::atomic<std::thread::id> owner{};
    KIRQL saved_irql = PASSIVE_LEVEL;
};

class memory_object : public object {
 public:
    memory_object() : object(object_type::memory) {}
    void on_destroy() override;
    void* buffer = nullptr;
    size_t size = 0;
    bool preallocated = false;
    ULONG pool_tag = 0;
};

// Builds a counted string's text.
std::u16string from_unicode(PCUNICODE_STRING s);
std::string to_utf8(const std::u16string& s);
std::u16string to_utf16(const std::string& s);

void require_irql_max(KIRQL level, const char* caller);

}  // namespace wdf

namespace wdf {
// Device properties as the PnP manager answers them: string properties as
// terminated UTF-16, multi-strings with their double terminator. False when
// the device has no such property.
bool property_bytes(const pdo_properties& pdo, DEVICE_REGISTRY_PROPERTY property, std::vector<uint8_t>* out);
std::u16string guid_text(const GUID& guid);  // {c671678c-82c1-43f3-d700-0049433e9a4b}
}  // namespace wdf
