// The USB function device's power policy and power transitions.
#include "cdc_bus.h"

static const char* const power_state_names[] = {
    "WdfPowerDeviceInvalid",
    "WdfPowerDeviceD0",
    "WdfPowerDeviceD1",
    "WdfPowerDeviceD2",
    "WdfPowerDeviceD3",
    "WdfPowerDeviceD3Final",
    "WdfPowerDevicePrepareForHibernation",
    "PowerDeviceMaximum",
};

const char* usb_power_state_name(WDF_POWER_DEVICE_STATE state) {
    if ((ULONG)state < RTL_NUMBER_OF(power_state_names)) {
        return power_state_names[state];
    }
    return "UnKnown Device Power State";
}

// Called by hardware start only for a device that can wake remotely.
NTSTATUS usb_set_power_policy(WDFDEVICE device) {
    PDEVICE_CONTEXT fdx = usb_get_device_context(device);
    WDF_DEVICE_POWER_POLICY_IDLE_SETTINGS idle_settings;
    WDF_DEVICE_POWER_POLICY_WAKE_SETTINGS wake_settings;
    NTSTATUS status;

    status = qd_registry_rw_ulong(NULL, device, L"IdleTimeout", &fdx->idle_timeout);
    if (!NT_SUCCESS(status)) {
        QD_TRACE(TRACE_LEVEL_NOTICE, "%s: Idle timeout value not set\n", __func__);
        fdx->idle_timeout = 0;
    }
    QD_TRACE(TRACE_LEVEL_VERBOSE, "%s: Idle timeout is %ld\n", __func__, fdx->idle_timeout);
    if (fdx->idle_timeout == 0) {
        return STATUS_SUCCESS;
    }

    WDF_DEVICE_POWER_POLICY_IDLE_SETTINGS_INIT(&idle_settings, IdleUsbSelectiveSuspend);
    if (drv_ctx.control_device_used != 0) {
        QD_TRACE(TRACE_LEVEL_VERBOSE, "%s: Control Device Used, using timeout for the qd_enum\n", __func__);
        idle_settings.IdleTimeout = fdx->idle_timeout * 1000;
    } else {
        QD_TRACE(TRACE_LEVEL_VERBOSE,
                 "%s: Control Device is not in use, using default timeout of 3 seconds for qd_enum\n", __func__);
        idle_settings.IdleTimeout = 3000;
    }
    status = WdfDeviceAssignS0IdleSettings(device, &idle_settings);
    if (!NT_SUCCESS(status)) {
        QD_TRACE(TRACE_LEVEL_ERROR, "WdfDeviceAssignS0IdleSettings failed %x\n", status);
        return status;
    }

    WDF_DEVICE_POWER_POLICY_WAKE_SETTINGS_INIT(&wake_settings);
    wake_settings.ArmForWakeIfChildrenAreArmedForWake = FALSE;
    wake_settings.IndicateChildWakeOnParentWake = drv_ctx.control_device_used == 0;
    status = WdfDeviceAssignSxWakeSettings(device, &wake_settings);
    if (!NT_SUCCESS(status)) {
        QD_TRACE(TRACE_LEVEL_ERROR, "WdfDeviceAssignSxWakeSettings failed %x\n", status);
    }
    return status;
}

BOOLEAN usb_in_own_power_callback(PDEVICE_CONTEXT fdx) {
    return ReadPointerAcquire((PVOID const volatile*)&fdx->power_cb_thread) == (PVOID)KeGetCurrentThread();
}

NTSTATUS usb_evt_device_d0_entry(WDFDEVICE device, WDF_POWER_DEVICE_STATE previous_state) {
    PDEVICE_CONTEXT fdx = usb_get_device_context(device);
    NTSTATUS status = STATUS_SUCCESS;

    QD_TRACE(TRACE_LEVEL_INFO, "%s: coming from %s, device %p, control_device_used %ld\n", __func__,
             usb_power_state_name(previous_state), device, drv_ctx.control_device_used);
    InterlockedExchange(&fdx->d0_exited, 0);
    if (drv_ctx.control_device_used != 0) {
        status = ctrl_usb_device_d0_entry(device, previous_state);
    }
    QD_TRACE(TRACE_LEVEL_INFO, "%s: done, %lx\n", __func__, status);
    return status;
}

NTSTATUS usb_evt_device_d0_exit(WDFDEVICE device, WDF_POWER_DEVICE_STATE target_state) {
    PDEVICE_CONTEXT fdx = usb_get_device_context(device);
    NTSTATUS status = STATUS_SUCCESS;

    QD_TRACE(TRACE_LEVEL_INFO, "%s: moving to %s, device %p, control_device_used %ld\n", __func__,
             usb_power_state_name(target_state), device, drv_ctx.control_device_used);
    InterlockedExchange(&fdx->d0_exited, 1);
    if (drv_ctx.control_device_used != 0) {
        status = ctrl_usb_device_d0_exit(device, target_state);
    }
    QD_TRACE(TRACE_LEVEL_INFO, "%s: done, %lx\n", __func__, status);
    return status;
}

NTSTATUS usb_evt_dev_self_managed_io_suspend(WDFDEVICE device) {
    PDEVICE_CONTEXT fdx = usb_get_device_context(device);
    LARGE_INTEGER interval;
    int attempts = 0;

    QD_TRACE(TRACE_LEVEL_INFO, "-->device=%p power=%d TID=0x%p [%s():%d]\n", device,
             (int)WdfDeviceGetSystemPowerAction(device), KeGetCurrentThread(), __func__, 2720);

    // Children's I/O stops before control transfers do.
    QD_TRACE(TRACE_LEVEL_VERBOSE, "%s: entered, target_state %s\n", "ctrl_usb_device_d0_exit", "WdfPowerDeviceD2");
    ctrl_usb_device_d0_entry_exit(device, FALSE, FALSE);

    InterlockedExchange(&fdx->io_enabled, 0);
    InterlockedCompareExchange(&fdx->control_req_state, 2, 0);

    // A transfer in flight gets five 1-ms periods to finish; the power-down
    // does not wait longer.
    interval.QuadPart = -10000;
    while (ReadAcquire(&fdx->control_req_state) == 1 && attempts < 10) {
        KeDelayExecutionThread(KernelMode, FALSE, &interval);
        attempts += 2;
    }
    if (ReadAcquire(&fdx->control_req_state) != 1) {
        QD_TRACE(TRACE_LEVEL_INFO, "%s: Stopped control request after %d attempts\n", __func__, attempts);
    } else {
        QD_TRACE(TRACE_LEVEL_ERROR, "%s: Failed to stop control request after %d attempts!\n", __func__, attempts);
    }
    return STATUS_SUCCESS;
}

NTSTATUS usb_evt_dev_self_managed_io_restart(WDFDEVICE device) {
    PDEVICE_CONTEXT fdx = usb_get_device_context(device);

    QD_TRACE(TRACE_LEVEL_INFO, "-->device=%p power=%d TID=0x%p [%s():%d]\n", device,
             (int)WdfDeviceGetSystemPowerAction(device), KeGetCurrentThread(), __func__, 2758);

    InterlockedExchange(&fdx->control_req_state, 0);
    InterlockedExchange(&fdx->io_enabled, 1);

    QD_TRACE(TRACE_LEVEL_VERBOSE, "%s: entered, prev_state %s\n", "ctrl_usb_device_d0_entry", "WdfPowerDeviceD2");
    ctrl_usb_device_d0_entry_exit(device, TRUE, FALSE);
    return STATUS_SUCCESS;
}
