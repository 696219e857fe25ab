// PDO init and PDO devices: what a bus driver says about a child while its
// EvtChildListCreateDevice runs, and what it may ask of the PDO afterwards.
#include <cstring>

#include "sim/kernel.h"
#include "wdf/wdf_childlist.h"
#include "wdf/wdf_internal.h"

namespace wdf {
namespace {

device_init* validate_pdo_init(PWDFDEVICE_INIT DeviceInit, const char* caller) {
    if (is_retired_init(DeviceInit)) {
        sim::bug_check(WDF_VIOLATION, "PDO init used after the EvtChildListCreateDevice call it was given to",
                       DeviceInit, caller);
    }
    device_init* init = validate_init(DeviceInit, caller);
    if (!init->is_pdo) {
        sim::bug_check(WDF_VIOLATION, "PDO init function called on a function device's init", DeviceInit, caller);
    }
    return init;
}

device* validate_pdo(WDFDEVICE Device, const char* caller) {
    auto* dev = validate_as<device>(Device, object_type::device, caller);
    if (!dev->is_pdo()) {
        sim::bug_check(WDF_VIOLATION, "PDO function called on a function device", Device, caller);
    }
    return dev;
}

// The string's text, copied; NULL or malformed strings are refused.
NTSTATUS copy_string(PCUNICODE_STRING s, bool allow_empty, std::u16string* out) {
    if (s == nullptr || (s->Length % sizeof(WCHAR)) != 0 || s->Length > s->MaximumLength ||
        (s->Length != 0 && s->Buffer == nullptr) || (!allow_empty && s->Length == 0)) {
        return STATUS_INVALID_PARAMETER;
    }
    *out = from_unicode(s);
    return STATUS_SUCCESS;
}

// Validation, then the allocation (which may be failed on purpose).
NTSTATUS take_string(PCUNICODE_STRING s, bool allow_empty, const char* site, std::u16string* out) {
    std::u16string text;
    NTSTATUS status = copy_string(s, allow_empty, &text);
    if (!NT_SUCCESS(status)) return status;
    if (sim::fault_should_fail(site, &status)) return status;
    *out = std::move(text);
    return STATUS_SUCCESS;
}

}  // namespace
}  // namespace wdf

using namespace wdf;

extern "C" {

NTSTATUS WdfPdoInitAssignDeviceID(PWDFDEVICE_INIT DeviceInit, PCUNICODE_STRING DeviceID) {
    sim::count_framework_call();
    auto* init = validate_pdo_init(DeviceInit, "WdfPdoInitAssignDeviceID");
    return take_string(DeviceID, false, "WdfPdoInitAssignDeviceID", &init->device_id);
}

NTSTATUS WdfPdoInitAssignInstanceID(PWDFDEVICE_INIT DeviceInit, PCUNICODE_STRING InstanceID) {
    sim::count_framework_call();
    auto* init = validate_pdo_init(DeviceInit, "WdfPdoInitAssignInstanceID");
    return take_string(InstanceID, false, "WdfPdoInitAssignInstanceID", &init->instance_id);
}

NTSTATUS WdfPdoInitAddHardwareID(PWDFDEVICE_INIT DeviceInit, PCUNICODE_STRING HardwareID) {
    sim::count_framework_call();
    auto* init = validate_pdo_init(DeviceInit, "WdfPdoInitAddHardwareID");
    std::u16string id;
    NTSTATUS status = take_string(HardwareID, false, "WdfPdoInitAddHardwareID", &id);
    if (NT_SUCCESS(status)) init->hardware_ids.push_back(std::move(id));
    return status;
}

NTSTATUS WdfPdoInitAddCompatibleID(PWDFDEVICE_INIT DeviceInit, PCUNICODE_STRING CompatibleID) {
    sim::count_framework_call();
    auto* init = validate_pdo_init(DeviceInit, "WdfPdoInitAddCompatibleID");
    std::u16string id;
    NTSTATUS status = take_string(CompatibleID, false, "WdfPdoInitAddCompatibleID", &id);
    if (NT_SUCCESS(status)) init->compatible_ids.push_back(std::move(id));
    return status;
}

NTSTATUS WdfPdoInitAssignContainerID(PWDFDEVICE_INIT DeviceInit, PCUNICODE_STRING ContainerID) {
    sim::count_framework_call();
    auto* init = validate_pdo_init(DeviceInit, "WdfPdoInitAssignContainerID");
    return take_string(ContainerID, false, "WdfPdoInitAssignContainerID", &init->container_id);
}

NTSTATUS WdfPdoInitAddDeviceText(PWDFDEVICE_INIT DeviceInit, PCUNICODE_STRING DeviceDescription,
                                 PCUNICODE_STRING DeviceLocation, LCID LocaleId) {
    sim::count_framework_call();
    auto* init = validate_pdo_init(DeviceInit, "WdfPdoInitAddDeviceText");
    pdo_text text{{}, {}, LocaleId};
    NTSTATUS status = copy_string(DeviceDescription, true, &text.description);
    if (NT_SUCCESS(status)) status = copy_string(DeviceLocation, true, &text.location);
    if (!NT_SUCCESS(status) || sim::fault_should_fail("WdfPdoInitAddDeviceText", &status)) {
        return status;
    }
    // One entry per locale: a second text for a locale replaces the first.
    for (auto& existing : init->texts) {
        if (existing.locale == LocaleId) {
            existing = std::move(text);
            return STATUS_SUCCESS;
        }
    }
    init->texts.push_back(std::move(text));
    return STATUS_SUCCESS;
}

VOID WdfPdoInitSetDefaultLocale(PWDFDEVICE_INIT DeviceInit, LCID LocaleId) {
    sim::count_framework_call();
    auto* init = validate_pdo_init(DeviceInit, "WdfPdoInitSetDefaultLocale");
    init->default_locale = LocaleId;
    init->default_locale_set = true;
}

NTSTATUS WdfPdoInitAssignRawDevice(PWDFDEVICE_INIT DeviceInit, CONST GUID* DeviceClassGuid) {
    sim::count_framework_call();
    auto* init = validate_pdo_init(DeviceInit, "WdfPdoInitAssignRawDevice");
    if (DeviceClassGuid == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    NTSTATUS injected;
    if (sim::fault_should_fail("WdfPdoInitAssignRawDevice", &injected)) {
        return injected;
    }
    init->raw = true;
    init->raw_class_guid = *DeviceClassGuid;
    return STATUS_SUCCESS;
}

VOID WdfPdoInitSetEventCallbacks(PWDFDEVICE_INIT DeviceInit, PWDF_PDO_EVENT_CALLBACKS DispatchTable) {
    sim::count_framework_call();
    auto* init = validate_pdo_init(DeviceInit, "WdfPdoInitSetEventCallbacks");
    if (DispatchTable == nullptr || DispatchTable->Size != sizeof(WDF_PDO_EVENT_CALLBACKS)) {
        sim::bug_check(WDF_VIOLATION, "PDO callback record with a wrong Size", DispatchTable,
                       "WdfPdoInitSetEventCallbacks");
    }
    init->pdo_callbacks = *DispatchTable;
}

VOID WdfPdoInitAllowForwardingRequestToParent(PWDFDEVICE_INIT DeviceInit) {
    sim::count_framework_call();
    validate_pdo_init(DeviceInit, "WdfPdoInitAllowForwardingRequestToParent")->forward_to_parent = true;
}

PWDFDEVICE_INIT WdfPdoInitAllocate(WDFDEVICE ParentDevice) {
    sim::count_framework_call();
    validate_as<device>(ParentDevice, object_type::device, "WdfPdoInitAllocate");
    sim::bug_check(WDF_VIOLATION, "framework service not implemented by the host platform (static children)",
                   ParentDevice, "WdfPdoInitAllocate");
}

NTSTATUS WdfPdoMarkMissing(WDFDEVICE Device) {
    sim::count_framework_call();
    auto* pdo = validate_pdo(Device, "WdfPdoMarkMissing");
    require_irql_max(DISPATCH_LEVEL, "WdfPdoMarkMissing");
    return mark_pdo_missing(pdo);
}

VOID WdfPdoRequestEject(WDFDEVICE Device) {
    sim::count_framework_call();
    auto* pdo = validate_pdo(Device, "WdfPdoRequestEject");
    require_irql_max(DISPATCH_LEVEL, "WdfPdoRequestEject");
    request_eject(pdo);
}

WDFDEVICE WdfPdoGetParent(WDFDEVICE Device) {
    sim::count_framework_call();
    auto* pdo = validate_pdo(Device, "WdfPdoGetParent");
    require_irql_max(DISPATCH_LEVEL, "WdfPdoGetParent");
    return reinterpret_cast<WDFDEVICE>(pdo->init.parent);
}

NTSTATUS WdfPdoRetrieveIdentificationDescription(
    WDFDEVICE Device, PWDF_CHILD_IDENTIFICATION_DESCRIPTION_HEADER IdentificationDescription) {
    sim::count_framework_call();
    auto* pdo = validate_pdo(Device, "WdfPdoRetrieveIdentificationDescription");
    require_irql_max(DISPATCH_LEVEL, "WdfPdoRetrieveIdentificationDescription");
    if (IdentificationDescription == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    return retrieve_pdo_description(pdo, IdentificationDescription);
}

}  // extern "C"
