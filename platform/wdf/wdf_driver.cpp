#include "sim/kernel.h"
#include "sim/registry.h"
#include "wdf/wdf_internal.h"

namespace wdf {
namespace {
driver_object* g_driver = nullptr;
}

driver_object* current_driver() { return g_driver; }

object* default_parent() { return g_driver; }

void set_current_driver(driver_object* driver) { g_driver = driver; }

}  // namespace wdf

extern "C" {

NTSTATUS WdfDriverCreate(PDRIVER_OBJECT DriverObject, PCUNICODE_STRING RegistryPath,
                         PWDF_OBJECT_ATTRIBUTES DriverAttributes, PWDF_DRIVER_CONFIG DriverConfig, WDFDRIVER* Driver) {
    sim::count_framework_call();
    wdf::require_irql_max(PASSIVE_LEVEL, "WdfDriverCreate");
    if (DriverObject == nullptr || RegistryPath == nullptr || DriverConfig == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    if (DriverConfig->Size != sizeof(WDF_DRIVER_CONFIG)) {
        return STATUS_INFO_LENGTH_MISMATCH;
    }
    if (wdf::current_driver() != nullptr) {
        return STATUS_INVALID_DEVICE_STATE;  // one framework driver object per image
    }
    if (DriverAttributes != nullptr && DriverAttributes->ParentObject != nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    auto* drv = new wdf::driver_object();
    drv->config = *DriverConfig;
    drv->registry_path = wdf::from_unicode(RegistryPath);
    drv->wdm = DriverObject;
    NTSTATUS status = wdf::attach(drv, DriverAttributes, nullptr, "WdfDriverCreate");
    if (!NT_SUCCESS(status)) {
        return status;
    }
    wdf::set_current_driver(drv);
    if (Driver != nullptr) {
        *Driver = reinterpret_cast<WDFDRIVER>(drv);
    }
    return STATUS_SUCCESS;
}

WDFDRIVER WdfGetDriver(VOID) { return reinterpret_cast<WDFDRIVER>(wdf::current_driver()); }

PWSTR WdfDriverGetRegistryPath(WDFDRIVER Driver) {
    sim::count_framework_call();
    auto* drv = wdf::validate_as<wdf::driver_object>(Driver, wdf::object_type::driver, "WdfDriverGetRegistryPath");
    return reinterpret_cast<PWSTR>(drv->registry_path.data());
}

}  // extern "C"
