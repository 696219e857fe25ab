#include <cstdio>
#include <cstring>

#include "sim/kernel.h"
#include "wdf/wdf_childlist.h"
#include "wdf/wdf_internal.h"
#include "wdf/wdf_power.h"

namespace wdf {

std::u16string guid_text(const GUID& g) {
    char buf[40];
    snprintf(buf, sizeof(buf), "{%08x-%04x-%04x-%02x%02x-%02x%02x%02x%02x%02x%02x}", g.Data1, g.Data2, g.Data3,
             g.Data4[0], g.Data4[1], g.Data4[2], g.Data4[3], g.Data4[4], g.Data4[5], g.Data4[6], g.Data4[7]);
    return to_utf16(buf);
}

namespace {

void append_sz(std::vector<uint8_t>* out, const std::u16string& s) {
    for (char16_t c : s) {
        out->push_back(static_cast<uint8_t>(c & 0xff));
        out->push_back(static_cast<uint8_t>(c >> 8));
    }
    out->push_back(0);
    out->push_back(0);
}

bool multi_sz(const std::vector<std::u16string>& list, std::vector<uint8_t>* out) {
    if (list.empty()) return false;
    for (const auto& s : list) append_sz(out, s);
    out->push_back(0);
    out->push_back(0);
    return true;
}

bool sz(const std::u16string& s, std::vector<uint8_t>* out) {
    if (s.empty()) return false;
    append_sz(out, s);
    return true;
}

NTSTATUS copy_property(const pdo_properties& pdo, DEVICE_REGISTRY_PROPERTY property, ULONG length, PVOID buffer,
                       PULONG result, const char* site) {
    if (result == nullptr || (length != 0 && buffer == nullptr)) {
        return STATUS_INVALID_PARAMETER;
    }
    NTSTATUS injected;
    if (sim::fault_should_fail(site, &injected)) {
        return injected;
    }
    std::vector<uint8_t> bytes;
    if (static_cast<ULONG>(property) > DevicePropertyContainerID) {
        return STATUS_INVALID_PARAMETER_2;
    }
    if (!property_bytes(pdo, property, &bytes)) {
        *result = 0;
        return STATUS_OBJECT_NAME_NOT_FOUND;
    }
    *result = static_cast<ULONG>(bytes.size());
    if (length < bytes.size()) {
        return STATUS_BUFFER_TOO_SMALL;
    }
    memcpy(buffer, bytes.data(), bytes.size());
    return STATUS_SUCCESS;
}

NTSTATUS alloc_property(const pdo_properties& pdo, DEVICE_REGISTRY_PROPERTY property, POOL_TYPE pool,
                        PWDF_OBJECT_ATTRIBUTES attributes, WDFMEMORY* memory, const char* site) {
    if (memory == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    *memory = nullptr;
    ULONG needed = 0;
    NTSTATUS status = copy_property(pdo, property, 0, nullptr, &needed, site);
    if (status != STATUS_BUFFER_TOO_SMALL) {
        return NT_SUCCESS(status) ? STATUS_UNSUCCESSFUL : status;
    }
    PVOID buffer = nullptr;
    status = WdfMemoryCreate(attributes, pool, 0, needed, memory, &buffer);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    return copy_property(pdo, property, needed, buffer, &needed, site);
}

// The text the PnP manager gets when it asks in the system's locale (en-US):
// that locale's entry, else the default locale's.
const pdo_text* system_locale_text(const device_init& init) {
    constexpr LCID system_locale = 0x409;
    const pdo_text* fallback = nullptr;
    for (const auto& t : init.texts) {
        if (t.locale == system_locale) return &t;
        if (init.default_locale_set && t.locale == init.default_locale) fallback = &t;
    }
    return fallback;
}

device* validate_device(WDFDEVICE d, const char* caller) { return validate_as<device>(d, object_type::device, caller); }

[[noreturn]] void not_implemented(const char* api) {
    sim::bug_check(WDF_VIOLATION, "framework service not implemented by the host platform", nullptr, api);
}

}  // namespace

bool property_bytes(const pdo_properties& pdo, DEVICE_REGISTRY_PROPERTY property, std::vector<uint8_t>* out) {
    switch (property) {
        case DevicePropertyDeviceDescription:
            return sz(pdo.device_description, out);
        case DevicePropertyHardwareID:
            return multi_sz(pdo.hardware_ids, out);
        case DevicePropertyCompatibleIDs:
            return multi_sz(pdo.compatible_ids, out);
        case DevicePropertyLocationInformation:
            return sz(pdo.location_information, out);
        case DevicePropertyPhysicalDeviceObjectName:
            return sz(pdo.pdo_name, out);
        case DevicePropertyEnumeratorName:
            return sz(pdo.enumerator, out);
        default:
            return false;
    }
}

void device::on_delete() {
    default_child_list = nullptr;  // deleted with the device as its child
}

// A function device owns its power policy unless its driver gave it away; a
// PDO only when its driver took it.
bool power_policy_owner(const device* dev) {
    if (dev->init.power_policy_owner_set) return dev->init.power_policy_owner != FALSE;
    return !dev->is_pdo();
}

bool static_stop_vetoed(const device* dev) { return dev->static_stop_count.load() != 0; }

}  // namespace wdf

using namespace wdf;

extern "C" {

// ---- Device init -------------------------------------------------------------

VOID WdfDeviceInitSetPnpPowerEventCallbacks(PWDFDEVICE_INIT DeviceInit,
                                            PWDF_PNPPOWER_EVENT_CALLBACKS PnpPowerEventCallbacks) {
    sim::count_framework_call();
    auto* init = validate_init(DeviceInit, "WdfDeviceInitSetPnpPowerEventCallbacks");
    if (PnpPowerEventCallbacks == nullptr || PnpPowerEventCallbacks->Size != sizeof(WDF_PNPPOWER_EVENT_CALLBACKS)) {
        sim::bug_check(WDF_VIOLATION, "PnP/power callback record with a wrong Size", PnpPowerEventCallbacks,
                       "WdfDeviceInitSetPnpPowerEventCallbacks");
    }
    init->pnp = *PnpPowerEventCallbacks;
    init->pnp_set = true;
}

VOID WdfDeviceInitSetPowerPolicyEventCallbacks(PWDFDEVICE_INIT DeviceInit, PWDF_POWER_POLICY_EVENT_CALLBACKS) {
    sim::count_framework_call();
    validate_init(DeviceInit, "WdfDeviceInitSetPowerPolicyEventCallbacks");
    not_implemented("WdfDeviceInitSetPowerPolicyEventCallbacks");
}

VOID WdfDeviceInitSetPowerPolicyOwnership(PWDFDEVICE_INIT DeviceInit, BOOLEAN IsPowerPolicyOwner) {
    sim::count_framework_call();
    auto* init = validate_init(DeviceInit, "WdfDeviceInitSetPowerPolicyOwnership");
    init->power_policy_owner_set = true;
    init->power_policy_owner = IsPowerPolicyOwner;
}

VOID WdfDeviceInitSetIoType(PWDFDEVICE_INIT DeviceInit, WDF_DEVICE_IO_TYPE IoType) {
    sim::count_framework_call();
    auto* init = validate_init(DeviceInit, "WdfDeviceInitSetIoType");
    if (IoType <= WdfDeviceIoUndefined || IoType >= WdfDeviceIoMaximum) {
        sim::bug_check(WDF_VIOLATION, "invalid I/O type", DeviceInit, "WdfDeviceInitSetIoType");
    }
    init->io_type = IoType;
    init->io_type_set = true;
}

VOID WdfDeviceInitSetDeviceType(PWDFDEVICE_INIT DeviceInit, DEVICE_TYPE DeviceType) {
    sim::count_framework_call();
    validate_init(DeviceInit, "WdfDeviceInitSetDeviceType")->device_type = DeviceType;
}

VOID WdfDeviceInitSetExclusive(PWDFDEVICE_INIT DeviceInit, BOOLEAN IsExclusive) {
    sim::count_framework_call();
    validate_init(DeviceInit, "WdfDeviceInitSetExclusive")->exclusive = IsExclusive != FALSE;
}

VOID WdfDeviceInitSetPowerNotPageable(PWDFDEVICE_INIT DeviceInit) {
    sim::count_framework_call();
    validate_init(DeviceInit, "WdfDeviceInitSetPowerNotPageable");
}

VOID WdfDeviceInitSetPowerPageable(PWDFDEVICE_INIT DeviceInit) {
    sim::count_framework_call();
    validate_init(DeviceInit, "WdfDeviceInitSetPowerPageable");
}

NTSTATUS WdfDeviceInitAssignName(PWDFDEVICE_INIT DeviceInit, PCUNICODE_STRING) {
    sim::count_framework_call();
    validate_init(DeviceInit, "WdfDeviceInitAssignName");
    not_implemented("WdfDeviceInitAssignName");
}

VOID WdfDeviceInitSetCharacteristics(PWDFDEVICE_INIT DeviceInit, ULONG, BOOLEAN) {
    sim::count_framework_call();
    validate_init(DeviceInit, "WdfDeviceInitSetCharacteristics");
}

VOID WdfDeviceInitFree(PWDFDEVICE_INIT DeviceInit) {
    sim::count_framework_call();
    auto* init = validate_init(DeviceInit, "WdfDeviceInitFree");
    if (!init->is_pdo || init->list != nullptr) {
        sim::bug_check(WDF_VIOLATION, "WdfDeviceInitFree on an init the framework owns", DeviceInit,
                       "WdfDeviceInitFree");
    }
    not_implemented("WdfDeviceInitFree");
}

// ---- FDO init ----------------------------------------------------------------

NTSTATUS WdfFdoInitQueryProperty(PWDFDEVICE_INIT DeviceInit, DEVICE_REGISTRY_PROPERTY DeviceProperty,
                                 ULONG BufferLength, PVOID PropertyBuffer, PULONG ResultLength) {
    sim::count_framework_call();
    auto* init = validate_init(DeviceInit, "WdfFdoInitQueryProperty");
    if (init->is_pdo || init->pdo == nullptr) {
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    return copy_property(*init->pdo, DeviceProperty, BufferLength, PropertyBuffer, ResultLength,
                         "WdfFdoInitQueryProperty");
}

NTSTATUS WdfFdoInitAllocAndQueryProperty(PWDFDEVICE_INIT DeviceInit, DEVICE_REGISTRY_PROPERTY DeviceProperty,
                                         POOL_TYPE PoolType, PWDF_OBJECT_ATTRIBUTES PropertyMemoryAttributes,
                                         WDFMEMORY* PropertyMemory) {
    sim::count_framework_call();
    auto* init = validate_init(DeviceInit, "WdfFdoInitAllocAndQueryProperty");
    if (init->is_pdo || init->pdo == nullptr) {
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    return alloc_property(*init->pdo, DeviceProperty, PoolType, PropertyMemoryAttributes, PropertyMemory,
                          "WdfFdoInitAllocAndQueryProperty");
}

NTSTATUS WdfFdoInitOpenRegistryKey(PWDFDEVICE_INIT DeviceInit, ULONG, ACCESS_MASK, PWDF_OBJECT_ATTRIBUTES, WDFKEY*) {
    sim::count_framework_call();
    validate_init(DeviceInit, "WdfFdoInitOpenRegistryKey");
    not_implemented("WdfFdoInitOpenRegistryKey");
}

VOID WdfFdoInitSetFilter(PWDFDEVICE_INIT DeviceInit) {
    sim::count_framework_call();
    validate_init(DeviceInit, "WdfFdoInitSetFilter");
    not_implemented("WdfFdoInitSetFilter");
}

VOID WdfFdoInitSetDefaultChildListConfig(PWDFDEVICE_INIT DeviceInit, PWDF_CHILD_LIST_CONFIG Config,
                                         PWDF_OBJECT_ATTRIBUTES DefaultChildListAttributes) {
    sim::count_framework_call();
    auto* init = validate_init(DeviceInit, "WdfFdoInitSetDefaultChildListConfig");
    if (init->is_pdo) {
        sim::bug_check(WDF_VIOLATION, "default child list on a PDO init", DeviceInit,
                       "WdfFdoInitSetDefaultChildListConfig");
    }
    if (Config == nullptr || Config->Size != sizeof(WDF_CHILD_LIST_CONFIG) ||
        Config->IdentificationDescriptionSize < sizeof(WDF_CHILD_IDENTIFICATION_DESCRIPTION_HEADER) ||
        Config->EvtChildListCreateDevice == nullptr) {
        sim::bug_check(WDF_VIOLATION, "invalid child list configuration", Config,
                       "WdfFdoInitSetDefaultChildListConfig");
    }
    if (DefaultChildListAttributes != nullptr) {
        if (DefaultChildListAttributes->Size != sizeof(WDF_OBJECT_ATTRIBUTES)) {
            sim::bug_check(WDF_VIOLATION, "child list attributes with a wrong Size", DefaultChildListAttributes,
                           "WdfFdoInitSetDefaultChildListConfig");
        }
        init->child_list_attributes = *DefaultChildListAttributes;
        init->child_list_attributes_set = true;
    }
    init->has_child_list = true;
    init->child_list_config = *Config;
}

WDFCHILDLIST WdfFdoGetDefaultChildList(WDFDEVICE Fdo) {
    sim::count_framework_call();
    auto* dev = validate_device(Fdo, "WdfFdoGetDefaultChildList");
    return reinterpret_cast<WDFCHILDLIST>(dev->default_child_list);
}

// ---- Devices -----------------------------------------------------------------

NTSTATUS WdfDeviceCreate(PWDFDEVICE_INIT* DeviceInit, PWDF_OBJECT_ATTRIBUTES DeviceAttributes, WDFDEVICE* Device) {
    sim::count_framework_call();
    if (DeviceInit == nullptr || Device == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    auto* init = validate_init(*DeviceInit, "WdfDeviceCreate");
    *Device = nullptr;
    if (DeviceAttributes != nullptr && DeviceAttributes->ParentObject != nullptr) {
        return STATUS_INVALID_PARAMETER;  // a device's parent is always the driver
    }
    if (init->created != nullptr) {
        return STATUS_INVALID_DEVICE_STATE;
    }
    if (init->is_pdo && init->device_id.empty()) {
        return STATUS_INVALID_DEVICE_REQUEST;  // the PnP manager cannot name a PDO without a device ID
    }
    auto* dev = new device();
    dev->init = *init;
    dev->init.magic = 0;
    if (init->is_pdo) {
        dev->own_pdo.device_id = init->device_id;
        dev->own_pdo.instance_id = init->instance_id;
        dev->own_pdo.hardware_ids = init->hardware_ids;
        dev->own_pdo.compatible_ids = init->compatible_ids;
        size_t slash = init->device_id.find(u'\\');
        dev->own_pdo.enumerator = init->device_id.substr(0, slash);
        if (slash != std::u16string::npos) dev->own_pdo.device_id = init->device_id.substr(slash + 1);
        if (const pdo_text* text = system_locale_text(*init)) {
            dev->own_pdo.device_description = text->description;
            dev->own_pdo.location_information = text->location;
        }
    } else {
        dev->own_pdo = *init->pdo;
    }
    NTSTATUS status = attach(dev, DeviceAttributes, default_parent(), "WdfDeviceCreate");
    if (!NT_SUCCESS(status)) {
        return status;
    }
    if (init->has_child_list) {
        status = create_default_child_list(dev, init->child_list_config,
                                           init->child_list_attributes_set ? &init->child_list_attributes : nullptr);
        if (!NT_SUCCESS(status)) {
            delete_object(dev);
            return status;
        }
    }
    init->created = dev;
    init->consumed = true;
    *DeviceInit = nullptr;
    *Device = reinterpret_cast<WDFDEVICE>(dev);
    return STATUS_SUCCESS;
}

WDFDRIVER WdfDeviceGetDriver(WDFDEVICE Device) {
    sim::count_framework_call();
    validate_device(Device, "WdfDeviceGetDriver");
    return reinterpret_cast<WDFDRIVER>(current_driver());
}

NTSTATUS WdfDeviceCreateDeviceInterface(WDFDEVICE Device, CONST GUID* InterfaceClassGUID,
                                        PCUNICODE_STRING ReferenceString) {
    sim::count_framework_call();
    auto* dev = validate_device(Device, "WdfDeviceCreateDeviceInterface");
    require_irql_max(PASSIVE_LEVEL, "WdfDeviceCreateDeviceInterface");
    if (InterfaceClassGUID == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    NTSTATUS injected;
    if (sim::fault_should_fail("WdfDeviceCreateDeviceInterface", &injected)) {
        return injected;
    }
    device_interface itf;
    itf.guid = *InterfaceClassGUID;
    itf.reference = from_unicode(ReferenceString);
    for (const auto& existing : dev->interfaces) {
        if (existing.guid == itf.guid && existing.reference == itf.reference) {
            return STATUS_OBJECT_NAME_COLLISION;
        }
    }
    // \??\<instance path with '#' for '\'>#{class guid}[\reference]
    std::u16string path = dev->own_pdo.instance_path();
    for (auto& c : path) {
        if (c == u'\\') c = u'#';
    }
    itf.symbolic_link = u"\\??\\" + path + u"#" + guid_text(itf.guid);
    if (!itf.reference.empty()) {
        itf.symbolic_link += u"\\" + itf.reference;
    }
    dev->interfaces.push_back(itf);
    return STATUS_SUCCESS;
}

VOID WdfDeviceSetDeviceInterfaceState(WDFDEVICE Device, CONST GUID* InterfaceClassGUID,
                                      PCUNICODE_STRING ReferenceString, BOOLEAN IsInterfaceEnabled) {
    sim::count_framework_call();
    auto* dev = validate_device(Device, "WdfDeviceSetDeviceInterfaceState");
    std::u16string ref = from_unicode(ReferenceString);
    for (auto& itf : dev->interfaces) {
        if (InterfaceClassGUID != nullptr && itf.guid == *InterfaceClassGUID && itf.reference == ref) {
            itf.enabled = IsInterfaceEnabled != FALSE;
            return;
        }
    }
    sim::bug_check(WDF_VIOLATION, "no such device interface", Device, "WdfDeviceSetDeviceInterfaceState");
}

NTSTATUS WdfDeviceRetrieveDeviceInterfaceString(WDFDEVICE Device, CONST GUID* InterfaceClassGUID,
                                                PCUNICODE_STRING ReferenceString, WDFSTRING String) {
    sim::count_framework_call();
    auto* dev = validate_device(Device, "WdfDeviceRetrieveDeviceInterfaceString");
    require_irql_max(PASSIVE_LEVEL, "WdfDeviceRetrieveDeviceInterfaceString");
    auto* str = validate_as<string_object>(String, object_type::string, "WdfDeviceRetrieveDeviceInterfaceString");
    if (InterfaceClassGUID == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    NTSTATUS injected;
    if (sim::fault_should_fail("WdfDeviceRetrieveDeviceInterfaceString", &injected)) {
        return injected;
    }
    std::u16string ref = from_unicode(ReferenceString);
    for (const auto& itf : dev->interfaces) {
        if (itf.guid == *InterfaceClassGUID && itf.reference == ref) {
            str->text = itf.symbolic_link;
            return STATUS_SUCCESS;
        }
    }
    return STATUS_OBJECT_NAME_NOT_FOUND;
}

NTSTATUS WdfDeviceQueryProperty(WDFDEVICE Device, DEVICE_REGISTRY_PROPERTY DeviceProperty, ULONG BufferLength,
                                PVOID PropertyBuffer, PULONG ResultLength) {
    sim::count_framework_call();
    auto* dev = validate_device(Device, "WdfDeviceQueryProperty");
    require_irql_max(PASSIVE_LEVEL, "WdfDeviceQueryProperty");
    return copy_property(dev->own_pdo, DeviceProperty, BufferLength, PropertyBuffer, ResultLength,
                         "WdfDeviceQueryProperty");
}

NTSTATUS WdfDeviceAllocAndQueryProperty(WDFDEVICE Device, DEVICE_REGISTRY_PROPERTY DeviceProperty, POOL_TYPE PoolType,
                                        PWDF_OBJECT_ATTRIBUTES PropertyMemoryAttributes, WDFMEMORY* PropertyMemory) {
    sim::count_framework_call();
    auto* dev = validate_device(Device, "WdfDeviceAllocAndQueryProperty");
    require_irql_max(PASSIVE_LEVEL, "WdfDeviceAllocAndQueryProperty");
    WDF_OBJECT_ATTRIBUTES attributes;
    if (PropertyMemoryAttributes == nullptr) {
        WDF_OBJECT_ATTRIBUTES_INIT(&attributes);
        attributes.ParentObject = Device;
        PropertyMemoryAttributes = &attributes;
    }
    return alloc_property(dev->own_pdo, DeviceProperty, PoolType, PropertyMemoryAttributes, PropertyMemory,
                          "WdfDeviceAllocAndQueryProperty");
}

VOID WdfDeviceSetPnpCapabilities(WDFDEVICE Device, PWDF_DEVICE_PNP_CAPABILITIES PnpCapabilities) {
    sim::count_framework_call();
    auto* dev = validate_device(Device, "WdfDeviceSetPnpCapabilities");
    if (PnpCapabilities == nullptr || PnpCapabilities->Size != sizeof(WDF_DEVICE_PNP_CAPABILITIES)) {
        sim::bug_check(WDF_VIOLATION, "PnP capabilities with a wrong Size", PnpCapabilities,
                       "WdfDeviceSetPnpCapabilities");
    }
    dev->pnp_caps = *PnpCapabilities;
    dev->pnp_caps_set = true;
}

VOID WdfDeviceSetPowerCapabilities(WDFDEVICE Device, PWDF_DEVICE_POWER_CAPABILITIES PowerCapabilities) {
    sim::count_framework_call();
    auto* dev = validate_device(Device, "WdfDeviceSetPowerCapabilities");
    if (PowerCapabilities == nullptr || PowerCapabilities->Size != sizeof(WDF_DEVICE_POWER_CAPABILITIES)) {
        sim::bug_check(WDF_VIOLATION, "power capabilities with a wrong Size", PowerCapabilities,
                       "WdfDeviceSetPowerCapabilities");
    }
    dev->power_caps = *PowerCapabilities;
    dev->power_caps_set = true;
}

VOID WdfDeviceSetBusInformationForChildren(WDFDEVICE Device, PPNP_BUS_INFORMATION BusInformation) {
    sim::count_framework_call();
    auto* dev = validate_device(Device, "WdfDeviceSetBusInformationForChildren");
    if (BusInformation == nullptr) {
        sim::bug_check(WDF_VIOLATION, "NULL bus information", Device, "WdfDeviceSetBusInformationForChildren");
    }
    dev->bus_info = *BusInformation;
    dev->bus_info_set = true;
}

NTSTATUS WdfDeviceAssignS0IdleSettings(WDFDEVICE Device, PWDF_DEVICE_POWER_POLICY_IDLE_SETTINGS Settings) {
    sim::count_framework_call();
    auto* dev = validate_device(Device, "WdfDeviceAssignS0IdleSettings");
    require_irql_max(PASSIVE_LEVEL, "WdfDeviceAssignS0IdleSettings");
    if (Settings == nullptr) {
        sim::bug_check(WDF_VIOLATION, "NULL required pointer Settings", Device, "WdfDeviceAssignS0IdleSettings");
    }
    if (!power_policy_owner(dev)) return STATUS_INVALID_DEVICE_REQUEST;
    if (Settings->Size != sizeof(WDF_DEVICE_POWER_POLICY_IDLE_SETTINGS)) {
        return STATUS_INFO_LENGTH_MISMATCH;
    }
    if (Settings->DxState < PowerDeviceD1 || Settings->DxState > PowerDeviceMaximum ||
        Settings->IdleCaps < IdleCannotWakeFromS0 || Settings->IdleCaps > IdleUsbSelectiveSuspend ||
        Settings->UserControlOfIdleSettings < IdleDoNotAllowUserControl ||
        Settings->UserControlOfIdleSettings > IdleAllowUserControl || Settings->Enabled < WdfFalse ||
        Settings->Enabled > WdfUseDefault) {
        return STATUS_INVALID_PARAMETER;
    }
    // Selective suspend waits for wake from D1 or D2 only.
    if (Settings->IdleCaps == IdleUsbSelectiveSuspend && Settings->DxState == PowerDeviceD3) {
        return STATUS_POWER_STATE_INVALID;
    }
    NTSTATUS injected;
    if (sim::fault_should_fail("WdfDeviceAssignS0IdleSettings", &injected)) {
        return injected;
    }
    dev->idle_settings = *Settings;
    dev->idle_settings_set = true;
    power_idle_settings_changed(dev);
    return STATUS_SUCCESS;
}

NTSTATUS WdfDeviceAssignSxWakeSettings(WDFDEVICE Device, PWDF_DEVICE_POWER_POLICY_WAKE_SETTINGS Settings) {
    sim::count_framework_call();
    auto* dev = validate_device(Device, "WdfDeviceAssignSxWakeSettings");
    require_irql_max(PASSIVE_LEVEL, "WdfDeviceAssignSxWakeSettings");
    if (Settings == nullptr) {
        sim::bug_check(WDF_VIOLATION, "NULL required pointer Settings", Device, "WdfDeviceAssignSxWakeSettings");
    }
    if (!power_policy_owner(dev)) return STATUS_INVALID_DEVICE_REQUEST;
    if (Settings->Size != sizeof(WDF_DEVICE_POWER_POLICY_WAKE_SETTINGS)) {
        return STATUS_INFO_LENGTH_MISMATCH;
    }
    if (Settings->DxState < PowerDeviceD1 || Settings->DxState > PowerDeviceMaximum ||
        Settings->UserControlOfWakeSettings < WakeDoNotAllowUserControl ||
        Settings->UserControlOfWakeSettings > WakeAllowUserControl || Settings->Enabled < WdfFalse ||
        Settings->Enabled > WdfUseDefault) {
        return STATUS_INVALID_PARAMETER;
    }
    NTSTATUS injected;
    if (sim::fault_should_fail("WdfDeviceAssignSxWakeSettings", &injected)) {
        return injected;
    }
    dev->wake_settings = *Settings;
    dev->wake_settings_set = true;
    return STATUS_SUCCESS;
}

// The framework only counts: an unmatched TRUE leaves the count nonzero
// (below zero), so every later query-stop fails, as it does on Windows.
VOID WdfDeviceSetStaticStopRemove(WDFDEVICE Device, BOOLEAN Stoppable) {
    sim::count_framework_call();
    auto* dev = validate_device(Device, "WdfDeviceSetStaticStopRemove");
    require_irql_max(DISPATCH_LEVEL, "WdfDeviceSetStaticStopRemove");
    if (Stoppable) {
        dev->static_stop_count.fetch_sub(1);
    } else {
        dev->static_stop_count.fetch_add(1);
    }
}

VOID WdfDeviceSetFailed(WDFDEVICE Device, WDF_DEVICE_FAILED_ACTION) {
    sim::count_framework_call();
    validate_device(Device, "WdfDeviceSetFailed");
    not_implemented("WdfDeviceSetFailed");
}

WDFIOTARGET WdfDeviceGetIoTarget(WDFDEVICE Device) {
    sim::count_framework_call();
    validate_device(Device, "WdfDeviceGetIoTarget");
    not_implemented("WdfDeviceGetIoTarget");
}

NTSTATUS WdfFdoQueryForInterface(WDFDEVICE Fdo, LPCGUID, PINTERFACE, USHORT, USHORT, PVOID) {
    sim::count_framework_call();
    validate_device(Fdo, "WdfFdoQueryForInterface");
    not_implemented("WdfFdoQueryForInterface");
}

}  // extern "C"
