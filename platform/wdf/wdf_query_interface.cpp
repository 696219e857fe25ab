// Query interfaces: WdfDeviceAddQueryInterface and the framework's handling of
// IRP_MN_QUERY_INTERFACE on a device, as its public source does it.
#include <cstring>

#include "sim/host.h"
#include "sim/kernel.h"
#include "wdf/wdf_internal.h"

namespace wdf {
namespace {

device* validate_qi_device(WDFDEVICE d, const char* caller) {
    return validate_as<device>(reinterpret_cast<WDFOBJECT>(d), object_type::device, caller);
}

VOID reference_no_op(PVOID) {}
VOID dereference_no_op(PVOID) {}

NTSTATUS query_device(device* dev, const GUID& type, PINTERFACE iface, USHORT size, USHORT version,
                      PVOID specific_data);

// The framework walks the device's list under its lock, but calls the
// driver with the lock released; the entry stays alive through the call.
std::shared_ptr<query_interface_entry> find_entry(device* dev, const GUID& type) {
    std::lock_guard<std::mutex> guard(dev->query_interface_lock);
    for (const auto& entry : dev->query_interfaces) {
        if (entry->type == type) return entry;
    }
    return nullptr;
}

NTSTATUS query_device(device* dev, const GUID& type, PINTERFACE iface, USHORT size, USHORT version,
                      PVOID specific_data) {
    std::shared_ptr<query_interface_entry> entry = find_entry(dev, type);
    if (entry == nullptr) {
        // Nothing below a PDO answers, and nothing below a function device
        // here knows a driver's GUID: the request keeps its initial status.
        return STATUS_NOT_SUPPORTED;
    }
    if (!entry->interface_copy.empty()) {
        INTERFACE header;
        memcpy(&header, entry->interface_copy.data(), sizeof(header));
        // A larger or newer caller gets the registered record; an older or
        // smaller one gets nothing.
        if (header.Size > size || header.Version > version) {
            return STATUS_INVALID_BUFFER_SIZE;
        }
        if (!entry->import) {
            memcpy(iface, entry->interface_copy.data(), entry->interface_copy.size());
        }
    }
    NTSTATUS status = STATUS_SUCCESS;
    if (entry->process != nullptr) {
        GUID type_copy = type;
        status = entry->process(reinterpret_cast<WDFDEVICE>(dev->handle()), &type_copy, iface, specific_data);
        if (KeGetCurrentIrql() != PASSIVE_LEVEL) {
            sim::bug_check(IRQL_NOT_LESS_OR_EQUAL, "callback returned at raised IRQL (a lock still held?)", dev,
                           "EvtDeviceProcessQueryInterfaceRequest");
        }
    }
    // STATUS_NOT_SUPPORTED lets the query travel on down the stack.
    if (!NT_SUCCESS(status) && status != STATUS_NOT_SUPPORTED) {
        return status;
    }
    if (entry->send_to_parent) {
        return query_device(dev->init.parent, type, iface, size, version, specific_data);
    }
    // The caller owns one reference on what it receives. Windows takes it
    // even when the driver passed the query on with STATUS_NOT_SUPPORTED and
    // nothing below a PDO answers; so does the simulation.
    if (iface->InterfaceReference != nullptr) {
        iface->InterfaceReference(iface->Context);
    }
    return status;
}

}  // namespace
}  // namespace wdf

extern "C" {

NTSTATUS WdfDeviceAddQueryInterface(WDFDEVICE Device, PWDF_QUERY_INTERFACE_CONFIG InterfaceConfig) {
    sim::count_framework_call();
    auto* dev = wdf::validate_qi_device(Device, "WdfDeviceAddQueryInterface");
    if (InterfaceConfig == nullptr || InterfaceConfig->InterfaceType == nullptr) {
        sim::bug_check(WDF_VIOLATION, "NULL query interface configuration or interface type", Device,
                       "WdfDeviceAddQueryInterface");
    }
    wdf::require_irql_max(PASSIVE_LEVEL, "WdfDeviceAddQueryInterface");
    if (InterfaceConfig->Size != sizeof(WDF_QUERY_INTERFACE_CONFIG)) {
        return STATUS_INFO_LENGTH_MISMATCH;
    }
    // Pass-through is for PDOs only.
    if (InterfaceConfig->SendQueryToParentStack && !dev->is_pdo()) {
        return STATUS_INVALID_PARAMETER;
    }
    PINTERFACE iface = InterfaceConfig->Interface;
    if (iface == nullptr && !InterfaceConfig->SendQueryToParentStack && !InterfaceConfig->ImportInterface) {
        return STATUS_INVALID_PARAMETER;
    }
    // An import interface is filled in by the driver's callback.
    if (InterfaceConfig->ImportInterface && InterfaceConfig->EvtDeviceProcessQueryInterfaceRequest == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    if (iface != nullptr && iface->Size < sizeof(INTERFACE)) {
        return STATUS_INVALID_PARAMETER;
    }
    NTSTATUS injected;
    if (sim::fault_should_fail("WdfDeviceAddQueryInterface", &injected)) {
        return injected;
    }
    auto entry = std::make_shared<wdf::query_interface_entry>();
    entry->type = *InterfaceConfig->InterfaceType;
    entry->process = InterfaceConfig->EvtDeviceProcessQueryInterfaceRequest;
    entry->send_to_parent = InterfaceConfig->SendQueryToParentStack != FALSE;
    entry->import = InterfaceConfig->ImportInterface != FALSE;
    if (iface != nullptr) {
        const auto* bytes = reinterpret_cast<const uint8_t*>(iface);
        entry->interface_copy.assign(bytes, bytes + iface->Size);
        auto* copy = reinterpret_cast<PINTERFACE>(entry->interface_copy.data());
        if (copy->InterfaceReference == nullptr) copy->InterfaceReference = wdf::reference_no_op;
        if (copy->InterfaceDereference == nullptr) copy->InterfaceDereference = wdf::dereference_no_op;
    }
    std::lock_guard<std::mutex> guard(dev->query_interface_lock);
    dev->query_interfaces.push_back(std::move(entry));
    return STATUS_SUCCESS;
}

}  // extern "C"

namespace sim {

NTSTATUS query_interface(WDFDEVICE device, const GUID& type, PINTERFACE iface, USHORT size, USHORT version,
                         PVOID specific_data) {
    wdf::device* dev = wdf::validate_qi_device(device, "IRP_MN_QUERY_INTERFACE");
    if (KeGetCurrentIrql() != PASSIVE_LEVEL) {
        bug_check(IRQL_NOT_LESS_OR_EQUAL, "IRP_MN_QUERY_INTERFACE is sent at PASSIVE_LEVEL", device,
                  "IRP_MN_QUERY_INTERFACE");
    }
    if (iface == nullptr) {
        bug_check(WDF_VIOLATION, "IRP_MN_QUERY_INTERFACE without an interface buffer", device,
                  "IRP_MN_QUERY_INTERFACE");
    }
    return wdf::query_device(dev, type, iface, size, version, specific_data);
}

}  // namespace sim
