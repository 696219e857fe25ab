// Control transfers of the children on the default pipe: class requests to
// the communication interface and generic ones, one at a time per function
// device, on the single control request record.
#include "cdc_bus.h"

#define CDC_CLEAR_HALT_NOT_FOUND ((NTSTATUS)0xC0100009L)
#define CDC_CONTROL_PURGE_POLLS 2000

EVT_WDF_REQUEST_COMPLETION_ROUTINE usb_control_transfer_complete;

static BOOLEAN usb_control_fdx_ready(PDEVICE_CONTEXT fdx, const char* caller, NTSTATUS* status) {
    if (fdx == NULL) {
        QD_TRACE(TRACE_LEVEL_ERROR, "%s: the USB device is disconnected\n", caller);
        *status = STATUS_DEVICE_NOT_CONNECTED;
        return FALSE;
    }
    if (fdx->usb_ifc_comm == NULL) {
        QD_TRACE(TRACE_LEVEL_ERROR, "%s: no USB COMM interface\n", caller);
        *status = STATUS_DEVICE_CONFIGURATION_ERROR;
        return FALSE;
    }
    return TRUE;
}

// CLEAR_FEATURE(ENDPOINT_HALT) is carried out as a reset of the configured
// pipe, which also clears the host side's halt. The reset blocks: an
// asynchronous caller gets it done at once and its callback afterwards, and
// one above PASSIVE_LEVEL is refused rather than told of a reset that never
// happened.
// The record a sender may use: NULL, or one the path's opening finished
// before it published it.
static PREQUEST_CONTEXT control_record(PDEVICE_CONTEXT fdx) {
    WDFMEMORY memory = (WDFMEMORY)ReadPointerAcquire((PVOID const volatile*)&fdx->control_req_mem);

    return memory != NULL ? (PREQUEST_CONTEXT)WdfMemoryGetBuffer(memory, NULL) : NULL;
}

static NTSTATUS send_clear_pipe(PDEVICE_CONTEXT fdx, PWDF_USB_CONTROL_SETUP_PACKET setup, BOOLEAN sync,
                                BOOLEAN* handled) {
    WDF_USB_PIPE_INFORMATION info;
    PREQ_MANAGER manager = NULL;
    WDFUSBPIPE pinned = NULL;
    WDFUSBPIPE pipe = NULL;
    NTSTATUS status;

    *handled = FALSE;
    if (setup->Packet.bm.Byte != 0x02 || setup->Packet.bRequest != USB_REQUEST_CLEAR_FEATURE ||
        setup->Packet.wValue.Value != USB_FEATURE_ENDPOINT_STALL) {
        return STATUS_SUCCESS;
    }
    *handled = TRUE;
    if (fdx->usb_ifc_comm != NULL) {
        pipe = usb_ifc_get_pipe_by_address(fdx->usb_ifc_comm, setup->Packet.wIndex.Value, NULL);
    }
    // The data interface's pipes are those of the open data path, borrowed
    // from their pools: a closing may switch the setting and delete them.
    if (pipe == NULL && fdx->usb_ifc_data != NULL) {
        manager = (setup->Packet.wIndex.Value & 0x80) != 0 ? &fdx->req_in : &fdx->req_out;
        pinned = usb_data_pipe_pin(manager, manager == &fdx->req_in ? &fdx->pipe_data_in : &fdx->pipe_data_out);
        if (pinned != NULL) {
            WDF_USB_PIPE_INFORMATION_INIT(&info);
            WdfUsbTargetPipeGetInformation(pinned, &info);
            if (info.EndpointAddress == setup->Packet.wIndex.Value) {
                pipe = pinned;
            }
        }
    }
    if (pipe == NULL) {
        usb_data_pipe_unpin(manager, pinned);
        QD_TRACE(TRACE_LEVEL_ERROR, "%s: Could not find endpoint 0x%lx\n", "send_clear_pipe",
                 (ULONG)setup->Packet.wIndex.Value);
        return CDC_CLEAR_HALT_NOT_FOUND;
    }
    if (!sync && KeGetCurrentIrql() > PASSIVE_LEVEL) {
        usb_data_pipe_unpin(manager, pinned);
        QD_TRACE(TRACE_LEVEL_ERROR, "%s: pipe reset needs PASSIVE_LEVEL\n", "send_clear_pipe");
        return STATUS_INVALID_DEVICE_STATE;
    }
    status = usb_device_reset_pipe(pipe, TRUE);
    usb_data_pipe_unpin(manager, pinned);
    return status;
}

// rqx: the record the caller prepared, read once; the path's opening may
// publish one meanwhile, which this transfer must not pick up unprepared.
static NTSTATUS control_send(PDEVICE_CONTEXT fdx, PREQUEST_CONTEXT rqx, PWDF_USB_CONTROL_SETUP_PACKET setup,
                             PVOID buffer, USHORT length, PULONG bytes_transferred, LONGLONG timeout, BOOLEAN sync,
                             BOOLEAN* pending, BOOLEAN* done_here) {
    WDF_REQUEST_SEND_OPTIONS options;
    WDF_MEMORY_DESCRIPTOR descriptor;
    WDFMEMORY memory = NULL;
    BOOLEAN handled;
    NTSTATUS status;

    *pending = FALSE;
    *done_here = FALSE;
    QD_TRACE(TRACE_LEVEL_VERBOSE, "%s: Entered, sync = %ld\n", __func__, (LONG)sync);

    usb_device_wakeup_fdx(fdx, TRUE, (BOOLEAN)(ReadAcquire(&fdx->d0_exited) != 0));

    status = send_clear_pipe(fdx, setup, sync, &handled);
    if (handled) {
        *done_here = !sync && NT_SUCCESS(status);
        return *done_here ? STATUS_PENDING : status;
    }

    WDF_REQUEST_SEND_OPTIONS_INIT(&options, WDF_REQUEST_SEND_OPTION_TIMEOUT);
    options.Timeout = timeout;

    if (sync) {
        WDF_MEMORY_DESCRIPTOR_INIT_BUFFER(&descriptor, buffer, length);
        return WdfUsbTargetDeviceSendControlTransferSynchronously(
            fdx->usb_device, rqx != NULL ? rqx->request : WDF_NO_HANDLE, &options, setup,
            length > 0 ? &descriptor : NULL, bytes_transferred);
    }

    if (rqx == NULL || rqx->request == NULL) {
        // Only the data path's opening makes the record an asynchronous
        // transfer needs.
        QD_TRACE(TRACE_LEVEL_ERROR, "%s: no control request\n", __func__);
        return STATUS_INVALID_DEVICE_STATE;
    }
    if (length > 0) {
        status = WdfMemoryAssignBuffer(rqx->memory, buffer, length);
        if (!NT_SUCCESS(status)) {
            QD_TRACE(TRACE_LEVEL_ERROR, "%s: WdfMemoryAssignBuffer failed\n", __func__);
            return status;
        }
        memory = rqx->memory;
    }
    status = WdfUsbTargetDeviceFormatRequestForControlTransfer(fdx->usb_device, rqx->request, setup, memory, NULL);
    if (!NT_SUCCESS(status)) {
        QD_TRACE(TRACE_LEVEL_ERROR, "%s: WdfUsbTargetDeviceFormatRequestForControlTransfer FAILED\n", __func__);
        return status;
    }
    WdfRequestSetCompletionRoutine(rqx->request, usb_control_transfer_complete, rqx);
    if (!WdfRequestSend(rqx->request, WdfUsbTargetDeviceGetIoTarget(fdx->usb_device), &options)) {
        QD_TRACE(TRACE_LEVEL_ERROR, "%s: WdfRequestSend failed\n", __func__);
        return WdfRequestGetStatus(rqx->request);
    }
    *pending = TRUE;
    return STATUS_PENDING;
}

// The single-flight guard: one control request per function device.
static NTSTATUS usb_generic_control_send(WDFDEVICE child, PDEVICE_CONTEXT fdx, PWDF_USB_CONTROL_SETUP_PACKET setup,
                                         PVOID buffer, USHORT length, PFN_CDC_DATA_COMPLETE cb_complete, PVOID cb_ctx,
                                         PULONG bytes_transferred, LONGLONG timeout) {
    PREQUEST_CONTEXT rqx;
    BOOLEAN pending = FALSE;
    BOOLEAN done_here = FALSE;
    LONG old;
    NTSTATUS status;

    QD_TRACE(TRACE_LEVEL_VERBOSE, "%s: Entered, cb_complete = %p\n", __func__, cb_complete);
    if (child == NULL) {
        QD_TRACE(TRACE_LEVEL_ERROR, "%s: NULL cdc_dev!\n", __func__);
        return STATUS_DEVICE_NOT_CONNECTED;
    }
    if (fdx == NULL) {
        QD_TRACE(TRACE_LEVEL_ERROR, "%s: NULL fdx!\n", __func__);
        return STATUS_DEVICE_NOT_CONNECTED;
    }

    // Without a callback the caller waits for the transfer, which it cannot
    // do above PASSIVE_LEVEL.
    if (cb_complete == NULL && KeGetCurrentIrql() > PASSIVE_LEVEL) {
        QD_TRACE(TRACE_LEVEL_ERROR, "%s: no completion callback above PASSIVE_LEVEL\n", __func__);
        return STATUS_INVALID_DEVICE_STATE;
    }

    old = InterlockedCompareExchange(&fdx->control_req_state, 1, 0);
    if (old == 2 || ReadAcquire(&fdx->io_enabled) == 0) {
        if (old == 0) {
            InterlockedCompareExchange(&fdx->control_req_state, 0, 1);
        }
        return STATUS_DEVICE_BUSY;
    }
    if (old == 1) {
        QD_TRACE(TRACE_LEVEL_ERROR, "%s: Another request is currently being processed\n", __func__);
        return STATUS_DEVICE_BUSY;
    }

    rqx = control_record(fdx);
    if (rqx != NULL) {
        status = usb_request_reuse(WdfUsbTargetDeviceGetIoTarget(fdx->usb_device), rqx);
        if (!NT_SUCCESS(status)) {
            InterlockedCompareExchange(&fdx->control_req_state, 0, 1);
            return status;
        }
        if (cb_complete != NULL) {
            rqx->cb_complete = cb_complete;
            rqx->cb_ctx = cb_ctx;
            rqx->owner_device = fdx->ids.device;
        }
    }

    status = control_send(fdx, rqx, setup, buffer, length, bytes_transferred, timeout, cb_complete == NULL, &pending,
                          &done_here);
    if (!pending) {
        if (rqx != NULL) {
            rqx->cb_complete = NULL;
            rqx->cb_ctx = NULL;
        }
        InterlockedCompareExchange(&fdx->control_req_state, 0, 1);
    }
    // An asynchronous request carried out here still reports through the
    // callback, after the channel is free again.
    if (done_here && cb_ctx != NULL) {
        cb_complete(cb_ctx, STATUS_SUCCESS, 0);
    }
    return status;
}

VOID usb_control_transfer_complete(WDFREQUEST request, WDFIOTARGET target, PWDF_REQUEST_COMPLETION_PARAMS params,
                                   WDFCONTEXT context) {
    PREQUEST_CONTEXT rqx = (PREQUEST_CONTEXT)context;
    PFN_CDC_DATA_COMPLETE cb_complete;
    NTSTATUS cb_status;
    PVOID cb_ctx;
    ULONG bytes;

    UNREFERENCED_PARAMETER(request);
    UNREFERENCED_PARAMETER(target);

    QD_TRACE(TRACE_LEVEL_VERBOSE, "%s: Entered\n", __func__);
    if (rqx->owner_device == NULL) {
        QD_TRACE(TRACE_LEVEL_ERROR, "%s: NULL context, %p\n", __func__, rqx);
        return;
    }
    cb_status = params->IoStatus.Status;
    bytes = params->Parameters.Usb.Completion->Parameters.DeviceControlTransfer.Length;
    // Kept for the recycling before the next transfer: a failed request is
    // replaced rather than reused.
    rqx->status = cb_status;
    rqx->usbd_status = params->Parameters.Usb.Completion->UsbdStatus;
    cb_complete = rqx->cb_complete;
    cb_ctx = rqx->cb_ctx;
    rqx->cb_complete = NULL;
    rqx->cb_ctx = NULL;

    QD_TRACE(TRACE_LEVEL_ERROR, "%s: going from busy to idle\n", __func__);
    // Free before the child hears of it, so it may send the next one from its callback.
    InterlockedCompareExchange(&usb_get_device_context(rqx->owner_device)->control_req_state, 0, 1);

    if (cb_complete != NULL && cb_ctx != NULL) {
        cb_complete(cb_ctx, cb_status, bytes);
    } else {
        QD_TRACE(TRACE_LEVEL_ERROR, "%s: completion not set !\n", __func__);
    }
}

static NTSTATUS usb_class_control(WDFDEVICE child, PDEVICE_CONTEXT fdx, BOOLEAN direction_in, UCHAR request,
                                  USHORT value, USHORT length, PVOID buffer, PFN_CDC_DATA_COMPLETE cb_complete,
                                  PVOID cb_ctx, PULONG bytes_transferred, LONGLONG timeout) {
    WDF_USB_CONTROL_SETUP_PACKET setup;
    NTSTATUS status = STATUS_SUCCESS;

    if (!usb_control_fdx_ready(fdx, __func__, &status)) {
        return status;
    }
    RtlZeroMemory(&setup, sizeof(setup));
    setup.Packet.bm.Byte = direction_in ? 0xA1 : 0x21;
    setup.Packet.bRequest = request;
    setup.Packet.wValue.Value = value;
    setup.Packet.wIndex.Value = WdfUsbInterfaceGetInterfaceNumber(fdx->usb_ifc_comm);
    setup.Packet.wLength = length;
    return usb_generic_control_send(child, fdx, &setup, buffer, length, cb_complete, cb_ctx, bytes_transferred,
                                    timeout);
}

static NTSTATUS usb_generic_control(WDFDEVICE child, PDEVICE_CONTEXT fdx, PVOID setup_packet, PVOID buffer,
                                    USHORT length, PFN_CDC_DATA_COMPLETE cb_complete, PVOID cb_ctx,
                                    PULONG bytes_transferred, LONGLONG timeout) {
    WDF_USB_CONTROL_SETUP_PACKET setup;
    NTSTATUS status = STATUS_SUCCESS;

    if (!usb_control_fdx_ready(fdx, __func__, &status)) {
        return status;
    }
    if (setup_packet == NULL) {
        return STATUS_INVALID_PARAMETER;
    }
    RtlCopyMemory(setup.Generic.Bytes, setup_packet, sizeof(setup.Generic.Bytes));
    return usb_generic_control_send(child, fdx, &setup, buffer, length, cb_complete, cb_ctx, bytes_transferred,
                                    timeout);
}

NTSTATUS usb_class_control_sync_fdx(WDFDEVICE child, PDEVICE_CONTEXT fdx, BOOLEAN direction_in, UCHAR request,
                                    USHORT value, USHORT length, PVOID buffer, PULONG bytes_transferred,
                                    LONGLONG timeout) {
    return usb_class_control(child, fdx, direction_in, request, value, length, buffer, NULL, NULL, bytes_transferred,
                             timeout);
}

NTSTATUS usb_class_control_sync(WDFDEVICE child, BOOLEAN direction_in, UCHAR request, USHORT value, USHORT length,
                                PVOID buffer, PULONG bytes_transferred, LONGLONG timeout) {
    return usb_class_control_sync_fdx(child, cdc_serving_fdx(child), direction_in, request, value, length, buffer,
                                      bytes_transferred, timeout);
}

NTSTATUS usb_generic_control_sync_fdx(WDFDEVICE child, PDEVICE_CONTEXT fdx, PVOID setup_packet, PVOID buffer,
                                      USHORT length, PULONG bytes_transferred, LONGLONG timeout) {
    return usb_generic_control(child, fdx, setup_packet, buffer, length, NULL, NULL, bytes_transferred, timeout);
}

NTSTATUS usb_generic_control_sync(WDFDEVICE child, PVOID setup_packet, PVOID buffer, USHORT length,
                                  PULONG bytes_transferred, LONGLONG timeout) {
    return usb_generic_control_sync_fdx(child, cdc_serving_fdx(child), setup_packet, buffer, length, bytes_transferred,
                                        timeout);
}

NTSTATUS usb_class_control_async_fdx(WDFDEVICE child, PDEVICE_CONTEXT fdx, BOOLEAN direction_in, UCHAR request,
                                     USHORT value, USHORT length, PVOID buffer, PFN_CDC_DATA_COMPLETE cb_complete,
                                     PVOID cb_ctx, PULONG bytes_transferred, LONGLONG timeout) {
    return usb_class_control(child, fdx, direction_in, request, value, length, buffer, cb_complete, cb_ctx,
                             bytes_transferred, timeout);
}

NTSTATUS usb_class_control_async(WDFDEVICE child, BOOLEAN direction_in, UCHAR request, USHORT value, USHORT length,
                                 PVOID buffer, PFN_CDC_DATA_COMPLETE cb_complete, PVOID cb_ctx,
                                 PULONG bytes_transferred, LONGLONG timeout) {
    return usb_class_control_async_fdx(child, cdc_serving_fdx(child), direction_in, request, value, length, buffer,
                                       cb_complete, cb_ctx, bytes_transferred, timeout);
}

NTSTATUS usb_generic_control_async_fdx(WDFDEVICE child, PDEVICE_CONTEXT fdx, PVOID setup_packet, PVOID buffer,
                                       USHORT length, PFN_CDC_DATA_COMPLETE cb_complete, PVOID cb_ctx,
                                       PULONG bytes_transferred, LONGLONG timeout) {
    return usb_generic_control(child, fdx, setup_packet, buffer, length, cb_complete, cb_ctx, bytes_transferred,
                               timeout);
}

NTSTATUS usb_generic_control_async(WDFDEVICE child, PVOID setup_packet, PVOID buffer, USHORT length,
                                   PFN_CDC_DATA_COMPLETE cb_complete, PVOID cb_ctx, PULONG bytes_transferred,
                                   LONGLONG timeout) {
    return usb_generic_control_async_fdx(child, cdc_serving_fdx(child), setup_packet, buffer, length, cb_complete,
                                         cb_ctx, bytes_transferred, timeout);
}

// Cancels the control request in flight and waits for its completion.
NTSTATUS usb_control_request_purge_fdx(WDFDEVICE child, PDEVICE_CONTEXT fdx) {
    LARGE_INTEGER interval;
    PREQUEST_CONTEXT rqx;
    WDFREQUEST request = NULL;
    BOOLEAN cancelled;
    ULONG polls = 0;

    UNREFERENCED_PARAMETER(child);
    if (fdx == NULL) {
        QD_TRACE(TRACE_LEVEL_ERROR, "%s: the USB device is disconnected\n", "usb_control_request_purge");
        return STATUS_DEVICE_NOT_CONNECTED;
    }
    QD_TRACE(TRACE_LEVEL_VERBOSE, "%s: entered\n", "usb_control_request_purge");
    if (control_record(fdx) == NULL || ReadAcquire(&fdx->control_req_state) != 1) {
        return STATUS_SUCCESS;
    }
    // It waits for the transfer, which a caller above PASSIVE_LEVEL cannot.
    if (!cdc_caller_at_passive("usb_control_request_purge")) {
        return STATUS_INVALID_DEVICE_STATE;
    }
    // Once the transfer is over a closing may free the record: its request
    // is taken, and referenced for the cancel, under the lock the closing
    // frees it under.
    usb_cdc_path_lock(fdx);
    rqx = control_record(fdx);
    if (rqx != NULL && ReadAcquire(&fdx->control_req_state) == 1) {
        request = rqx->request;
        WdfObjectReference(request);
    }
    usb_cdc_path_unlock(fdx, FALSE);
    if (request == NULL) {
        return STATUS_SUCCESS;
    }
    cancelled = WdfRequestCancelSentRequest(request);
    WdfObjectDereference(request);
    if (!cancelled) {
        QD_TRACE(TRACE_LEVEL_ERROR, "%s: control was not cancelled\n", "usb_control_request_purge");
        return STATUS_UNSUCCESSFUL;
    }
    interval.QuadPart = -10000;
    while (ReadAcquire(&fdx->control_req_state) == 1) {
        if (polls >= CDC_CONTROL_PURGE_POLLS) {
            QD_TRACE(TRACE_LEVEL_ERROR, "%s: Failed canceling pending control request\n", "usb_control_request_purge");
            return STATUS_UNSUCCESSFUL;
        }
        KeDelayExecutionThread(KernelMode, FALSE, &interval);
        polls++;
    }
    QD_TRACE(TRACE_LEVEL_VERBOSE, "%s: request is cancelled\n", "usb_control_request_purge");
    return STATUS_SUCCESS;
}

NTSTATUS usb_control_request_purge(WDFDEVICE child) {
    return usb_control_request_purge_fdx(child, cdc_serving_fdx(child));
}
