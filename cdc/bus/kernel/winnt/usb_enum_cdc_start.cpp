// Hardware start and stop of a USB function device.
#include "cdc_bus.h"

NTSTATUS usb_evt_device_prepare_hardware(WDFDEVICE device, WDFCMRESLIST resources_raw,
                                         WDFCMRESLIST resources_translated) {
    UNREFERENCED_PARAMETER(device);
    UNREFERENCED_PARAMETER(resources_raw);
    UNREFERENCED_PARAMETER(resources_translated);
    QD_TRACE(TRACE_LEVEL_INFO, "%s: entered, drv_ctx.control_device_used %ld\n", __func__,
             drv_ctx.control_device_used);
    return STATUS_NOT_SUPPORTED;
}

NTSTATUS usb_evt_device_release_hardware(WDFDEVICE device, WDFCMRESLIST resources_translated) {
    UNREFERENCED_PARAMETER(device);
    UNREFERENCED_PARAMETER(resources_translated);
    QD_TRACE(TRACE_LEVEL_INFO, "%s: entered, drv_ctx.control_device_used %ld\n", __func__,
             drv_ctx.control_device_used);
    return STATUS_SUCCESS;
}

NTSTATUS cdc_device_create(WDFCHILDLIST child_list, PWDF_CHILD_IDENTIFICATION_DESCRIPTION_HEADER description,
                           PWDFDEVICE_INIT child_init) {
    UNREFERENCED_PARAMETER(child_list);
    UNREFERENCED_PARAMETER(description);
    UNREFERENCED_PARAMETER(child_init);
    return STATUS_NOT_SUPPORTED;
}

VOID usb_evt_scan_for_children(WDFCHILDLIST child_list) { UNREFERENCED_PARAMETER(child_list); }
