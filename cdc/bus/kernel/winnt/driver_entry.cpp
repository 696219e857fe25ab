// Driver entry, driver-wide state and the tracing threshold.
#include <ntddk.h>
// The GUIDs the driver's headers declare are defined here, once.
#include <initguid.h>

#include "cdc_bus.h"

ULONG qd_debug_level = TRACE_LEVEL_INFO;
DRV_CTX drv_ctx;

static const char cdc_bus_version[] = CDC_BUS_VERSION;
static const char cdc_build_date[] = __DATE__;
static const char cdc_build_time[] = __TIME__;

// Reads DebugLevel. The "set" line is printed under the level in force before
// the change, so even DebugLevel 0 announces itself.
static VOID qd_driver_debug_level_init(WDFDRIVER driver) {
    ULONG level = 0;
    NTSTATUS status = qd_registry_rw_ulong(driver, NULL, L"DebugLevel", &level);
    if (status == STATUS_SUCCESS) {
        QD_TRACE(TRACE_LEVEL_INFO, "%s: Debug Level set to %ld\n\n", __func__, level);
        qd_debug_level = level;
    } else {
        QD_TRACE(TRACE_LEVEL_NOTICE, "%s: Debug Level is not set in registry, using default %ld\n\n", __func__,
                 qd_debug_level);
    }
}

extern "C" NTSTATUS DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath) {
    WDF_DRIVER_CONFIG config;
    WDF_OBJECT_ATTRIBUTES attributes;
    WDFDRIVER driver;
    NTSTATUS status;

    QD_TRACE(TRACE_LEVEL_INFO, "Talvo CDC Enumerator Driver %s. Built %s %s\n", cdc_bus_version, cdc_build_date,
             cdc_build_time);

    WDF_DRIVER_CONFIG_INIT(&config, usb_evt_device_add);
    WDF_OBJECT_ATTRIBUTES_INIT(&attributes);
    attributes.EvtCleanupCallback = usb_evt_driver_context_cleanup;

    status = WdfDriverCreate(DriverObject, RegistryPath, &attributes, &config, &driver);
    if (!NT_SUCCESS(status)) {
        QD_TRACE(TRACE_LEVEL_ERROR, "WdfDriverCreate failed: %lx\n", status);
        return status;
    }

    qd_driver_debug_level_init(driver);

    RtlZeroMemory(&drv_ctx, FIELD_OFFSET(DRV_CTX, ui_number_counter));
    status = qd_registry_rw_ulong(driver, NULL, L"UseControlDevice", &drv_ctx.control_device_used);
    if (!NT_SUCCESS(status)) {
        drv_ctx.control_device_used = 0;
    }
    if (drv_ctx.control_device_used != 0) {
        QD_TRACE(TRACE_LEVEL_INFO, "Using control device\n");
    }

    // Both modes get the collection and its lock: they cost little and keep
    // every later path free of existence checks.
    WDF_OBJECT_ATTRIBUTES_INIT(&attributes);
    attributes.ParentObject = driver;
    status = WdfCollectionCreate(&attributes, &drv_ctx.usb_devices);
    if (NT_SUCCESS(status)) {
        status = WdfSpinLockCreate(&attributes, &drv_ctx.usb_devices_lock);
    }
    return status;
}

VOID usb_evt_driver_context_cleanup(WDFOBJECT driver) {
    UNREFERENCED_PARAMETER(driver);
    QD_TRACE(TRACE_LEVEL_INFO, "%s: driver unloaded\n", __func__);
}

VOID usb_evt_device_context_cleanup(WDFOBJECT device) {
    QD_TRACE(TRACE_LEVEL_VERBOSE, "%s: entered, device %p\n", __func__, device);
}
