// The control device: its hardware and power callbacks, and the coordination
// of the children's power with the USB function devices that serve them.
#include "cdc_bus.h"

NTSTATUS ctrl_evt_dev_prepare_hardware(WDFDEVICE device, WDFCMRESLIST resources_raw,
                                       WDFCMRESLIST resources_translated) {
    UNREFERENCED_PARAMETER(resources_raw);
    UNREFERENCED_PARAMETER(resources_translated);
    QD_TRACE(TRACE_LEVEL_INFO, "%s: entered\n", __func__);
    drv_ctx.control_device = device;
    return STATUS_SUCCESS;
}

NTSTATUS ctrl_evt_dev_release_hardware(WDFDEVICE device, WDFCMRESLIST resources_translated) {
    UNREFERENCED_PARAMETER(device);
    UNREFERENCED_PARAMETER(resources_translated);
    drv_ctx.control_device = NULL;
    QD_TRACE(TRACE_LEVEL_INFO, "%s: entered\n", __func__);
    return STATUS_SUCCESS;
}

NTSTATUS ctrl_evt_device_d0_entry(WDFDEVICE device, WDF_POWER_DEVICE_STATE previous_state) {
    UNREFERENCED_PARAMETER(device);
    QD_TRACE(TRACE_LEVEL_INFO, "%s: coming from %s\n", __func__, usb_power_state_name(previous_state));
    return STATUS_SUCCESS;
}

NTSTATUS ctrl_evt_device_d0_exit(WDFDEVICE device, WDF_POWER_DEVICE_STATE target_state) {
    UNREFERENCED_PARAMETER(device);
    QD_TRACE(TRACE_LEVEL_INFO, "%s: moving to %s\n", __func__, usb_power_state_name(target_state));
    return STATUS_SUCCESS;
}

NTSTATUS ctrl_usb_device_d0_entry(WDFDEVICE device, WDF_POWER_DEVICE_STATE previous_state) {
    QD_TRACE(TRACE_LEVEL_VERBOSE, "%s: entered, prev_state %s\n", __func__, usb_power_state_name(previous_state));
    return ctrl_usb_device_d0_entry_exit(device, TRUE, previous_state == WdfPowerDeviceD3Final);
}

NTSTATUS ctrl_usb_device_d0_exit(WDFDEVICE device, WDF_POWER_DEVICE_STATE target_state) {
    QD_TRACE(TRACE_LEVEL_VERBOSE, "%s: entered, target_state %s\n", __func__, usb_power_state_name(target_state));
    return ctrl_usb_device_d0_entry_exit(device, FALSE, target_state == WdfPowerDeviceD3Final);
}

NTSTATUS ctrl_usb_device_d0_entry_exit(WDFDEVICE device, BOOLEAN entry, BOOLEAN final) {
    UNREFERENCED_PARAMETER(final);
    QD_TRACE(TRACE_LEVEL_VERBOSE, "%s: entered, device %p, %s\n", __func__, device, entry ? "Start" : "Stop");
    if (drv_ctx.control_device == NULL) {
        QD_TRACE(TRACE_LEVEL_INFO, "%s: control device is missing\n", __func__);
        return STATUS_SUCCESS;
    }
    return STATUS_SUCCESS;
}
