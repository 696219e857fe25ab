// Repairs and wake-ups a child may ask for: port reset, data pipe resets,
// aborting reads, and bringing the function device back from idle.
#include "cdc_bus.h"

NTSTATUS usb_reset_device_fdx(WDFDEVICE child, PDEVICE_CONTEXT fdx) {
    NTSTATUS status;

    UNREFERENCED_PARAMETER(child);
    if (fdx == NULL) {
        QD_TRACE(TRACE_LEVEL_ERROR, "%s: the USB device is disconnected\n", "usb_reset_device");
        return STATUS_DEVICE_NOT_CONNECTED;
    }
    if (!cdc_caller_at_passive("usb_reset_device")) {
        return STATUS_INVALID_DEVICE_STATE;
    }
    QD_TRACE(TRACE_LEVEL_INFO, "%s: entered\n", "usb_reset_device");
    status = WdfUsbTargetDeviceResetPortSynchronously(fdx->usb_device);
    if (!NT_SUCCESS(status)) {
        QD_TRACE(TRACE_LEVEL_ERROR, "%s: failed %lx\n", "usb_reset_device", status);
    }
    QD_TRACE(TRACE_LEVEL_INFO, "%s: done\n", "usb_reset_device");
    return status;
}

NTSTATUS usb_reset_device(WDFDEVICE child) { return usb_reset_device_fdx(child, cdc_serving_fdx(child)); }

NTSTATUS usb_device_reset_pipe(WDFUSBPIPE pipe, BOOLEAN sync) {
    NTSTATUS status;

    QD_TRACE(TRACE_LEVEL_VERBOSE, "%s: entered\n", __func__);
    if (!sync) {
        QD_TRACE(TRACE_LEVEL_VERBOSE, "%s: Not supported yet\n", __func__);
        return STATUS_SUCCESS;
    }
    if (pipe == NULL) {
        return STATUS_SUCCESS;
    }
    status = WdfUsbTargetPipeResetSynchronously(pipe, WDF_NO_HANDLE, NULL);
    if (!NT_SUCCESS(status)) {
        QD_TRACE(TRACE_LEVEL_ERROR, "%s: WdfUsbTargetPipeResetSynchronously failed %lx\n", __func__, status);
    }
    return status;
}

// Brings the function device to D0 and lets it idle again after one idle
// period. A wake-up already running is not waited for.
NTSTATUS usb_device_wakeup_fdx(PDEVICE_CONTEXT fdx, BOOLEAN sync, BOOLEAN reset_in_pipe) {
    NTSTATUS status = STATUS_SUCCESS;
    BOOLEAN passive;

    UNREFERENCED_PARAMETER(sync);
    if (fdx == NULL) {
        QD_TRACE(TRACE_LEVEL_ERROR, "%s: the USB device is disconnected\n", "usb_device_wakeup");
        return STATUS_DEVICE_NOT_CONNECTED;
    }
    if (usb_in_own_power_callback(fdx)) {
        // A child's control callback inside this device's power transition:
        // the device cannot reach D0 before the transition ends, and from
        // D0 entry on it is powered for the child already.
        QD_TRACE(TRACE_LEVEL_VERBOSE, "%s: inside the device's own power transition, no wait for D0\n",
                 "usb_device_wakeup");
        return STATUS_SUCCESS;
    }
    if (InterlockedCompareExchange(&fdx->wakeup_in_progress, 1, 0) != 0) {
        return STATUS_SUCCESS;
    }
    // A child may start a control transfer from its completion callback, at
    // dispatch level: there the wake-up cannot wait for D0, and the hardware
    // id (a Unicode string) cannot be printed.
    passive = KeGetCurrentIrql() == PASSIVE_LEVEL;
    if (fdx->idle_timeout != 0) {
        status = WdfDeviceStopIdle(fdx->ids.device, passive);
        if (!NT_SUCCESS(status) && passive) {
            QD_TRACE(TRACE_LEVEL_ERROR, "%s: %ws  %sBlocking WdfDeviceStopIdle failed, status %lx\n",
                     "usb_device_wakeup", fdx->ids.hwid, "", status);
        } else if (!NT_SUCCESS(status)) {
            QD_TRACE(TRACE_LEVEL_ERROR, "%s: WdfDeviceStopIdle failed, status %lx\n", "usb_device_wakeup", status);
        } else if (fdx->idle_timeout != 0) {
            WdfDeviceResumeIdle(fdx->ids.device);
        }
    }
    if (passive) {
        QD_TRACE(TRACE_LEVEL_VERBOSE, "<--->%ws IdleTimeout=%d %s %s status=%lx TID=0x%p [%s():%d]\n", fdx->ids.hwid,
                 fdx->idle_timeout, "sync", reset_in_pipe ? "reset_in_pipe" : "", status, KeGetCurrentThread(),
                 "usb_device_wakeup", 2214);
    }
    InterlockedExchange(&fdx->wakeup_in_progress, 0);
    return status;
}

NTSTATUS usb_device_wakeup(WDFDEVICE child, BOOLEAN sync, BOOLEAN reset_in_pipe) {
    return usb_device_wakeup_fdx(cdc_serving_fdx(child), sync, reset_in_pipe);
}

NTSTATUS usb_qd_device_wakeup_sync(WDFDEVICE child, BOOLEAN reset_in_pipe) {
    UNREFERENCED_PARAMETER(child);
    QD_TRACE(TRACE_LEVEL_VERBOSE, "%s: entered, reset_in_pipe %ld\n", __func__, (LONG)reset_in_pipe);
    return STATUS_SUCCESS;
}

NTSTATUS usb_qd_clear_data_fdx(WDFDEVICE child, PDEVICE_CONTEXT fdx) {
    NTSTATUS status = STATUS_SUCCESS;
    WDFUSBPIPE pipe;

    UNREFERENCED_PARAMETER(child);
    QD_TRACE(TRACE_LEVEL_VERBOSE, "%s: entered\n", "usb_qd_clear_data");
    if (fdx == NULL) {
        QD_TRACE(TRACE_LEVEL_ERROR, "%s: the USB device is disconnected\n", "usb_qd_clear_data");
        return STATUS_DEVICE_NOT_CONNECTED;
    }
    if (!cdc_caller_at_passive("usb_qd_clear_data")) {
        return STATUS_INVALID_DEVICE_STATE;
    }
    if (InterlockedCompareExchange(&fdx->clear_data_busy, 1, 0) != 0) {
        QD_TRACE(TRACE_LEVEL_NOTICE, "%s: Clear pipes already in progress\n", "usb_qd_clear_data");
        return STATUS_SUCCESS;
    }
    if (ReadAcquire(&fdx->d0_exited) != 0) {
        usb_device_wakeup_fdx(fdx, TRUE, FALSE);
    }
    // Each pipe is borrowed from its pool, so a closing cannot delete it
    // under the reset.
    pipe = usb_data_pipe_pin(&fdx->req_in, &fdx->pipe_data_in);
    if (pipe != NULL) {
        QD_TRACE(TRACE_LEVEL_VERBOSE, "%s: Reseting pipe 0x%lx\n", "usb_qd_clear_data", fdx->data_in_ep);
        status = usb_device_reset_pipe(pipe, TRUE);
        usb_data_pipe_unpin(&fdx->req_in, pipe);
        if (!NT_SUCCESS(status)) {
            QD_TRACE(TRACE_LEVEL_ERROR, "%s: Failed reseting pipe 0x%lx\n", "usb_qd_clear_data", fdx->data_in_ep);
            goto exit;
        }
    }
    pipe = usb_data_pipe_pin(&fdx->req_out, &fdx->pipe_data_out);
    if (pipe != NULL) {
        QD_TRACE(TRACE_LEVEL_VERBOSE, "%s: Reseting pipe 0x%lx\n", "usb_qd_clear_data", fdx->data_out_ep);
        status = usb_device_reset_pipe(pipe, TRUE);
        usb_data_pipe_unpin(&fdx->req_out, pipe);
        if (!NT_SUCCESS(status)) {
            QD_TRACE(TRACE_LEVEL_ERROR, "%s: Failed reseting pipe 0x%lx\n", "usb_qd_clear_data", fdx->data_out_ep);
        }
    }
exit:
    InterlockedExchange(&fdx->clear_data_busy, 0);
    return status;
}

NTSTATUS usb_qd_clear_data(WDFDEVICE child) { return usb_qd_clear_data_fdx(child, cdc_serving_fdx(child)); }

NTSTATUS usb_qd_abort_reads_fdx(WDFDEVICE child, PDEVICE_CONTEXT fdx) {
    NTSTATUS status = STATUS_SUCCESS;
    WDFUSBPIPE pipe;
    WDF_REQUEST_SEND_OPTIONS options;

    UNREFERENCED_PARAMETER(child);
    if (fdx == NULL) {
        QD_TRACE(TRACE_LEVEL_ERROR, "%s: the USB device is disconnected\n", "usb_qd_abort_reads");
        return STATUS_DEVICE_NOT_CONNECTED;
    }
    if (!cdc_caller_at_passive("usb_qd_abort_reads")) {
        return STATUS_INVALID_DEVICE_STATE;
    }
    QD_TRACE(TRACE_LEVEL_VERBOSE, "--> %ws TID=0x%p (%s():%d)\n", fdx->ids.hwid, KeGetCurrentThread(),
             "usb_qd_abort_reads", 2401);
    pipe = usb_data_pipe_pin(&fdx->req_in, &fdx->pipe_data_in);
    if (pipe != NULL) {
        QD_TRACE(TRACE_LEVEL_VERBOSE, "ABORT pipe=%p TID=0x%p (%s():%d)\n", pipe, KeGetCurrentThread(),
                 "usb_device_in_pipes", 2264);
        // A pipe a failed restart left stopped would hold the abort until a
        // start that may never come.
        WDF_REQUEST_SEND_OPTIONS_INIT(&options, WDF_REQUEST_SEND_OPTION_IGNORE_TARGET_STATE);
        status = WdfUsbTargetPipeAbortSynchronously(pipe, WDF_NO_HANDLE, &options);
        usb_data_pipe_unpin(&fdx->req_in, pipe);
    } else {
        QD_TRACE(TRACE_LEVEL_VERBOSE, "NO IN PIPE TID=0x%p (%s():%d)\n", KeGetCurrentThread(), "usb_device_in_pipes",
                 2269);
    }
    QD_TRACE(TRACE_LEVEL_VERBOSE, "<--->%ws IdleTimeout=%d status=%lx TID=0x%p (%s():%d)\n", fdx->ids.hwid,
             fdx->idle_timeout, status, KeGetCurrentThread(), "usb_device_in_pipes", 2272);
    QD_TRACE(TRACE_LEVEL_VERBOSE, "<--- %ws TID=0x%p (%s():%d)\n", fdx->ids.hwid, KeGetCurrentThread(),
             "usb_qd_abort_reads", 2405);
    return status;
}

NTSTATUS usb_qd_abort_reads(WDFDEVICE child) { return usb_qd_abort_reads_fdx(child, cdc_serving_fdx(child)); }
