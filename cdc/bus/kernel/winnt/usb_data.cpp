// Bulk data transfers of the children: reads and writes on the data pipes,
// the zero-length packet after writes, purges and pipe restarts.
#include "cdc_bus.h"

// Formats one request for the pipe and fills its send options.
static NTSTATUS usb_request_prepare_for_io(WDFREQUEST request, WDFUSBPIPE pipe, WDFMEMORY memory,
                                           PFN_WDF_REQUEST_COMPLETION_ROUTINE routine, WDFCONTEXT context,
                                           PWDF_REQUEST_SEND_OPTIONS options, ULONG direction, BOOLEAN async,
                                           LONGLONG timeout) {
    NTSTATUS status;

    if (direction == QD_DIR_IN) {
        status = WdfUsbTargetPipeFormatRequestForRead(pipe, request, memory, NULL);
    } else {
        status = WdfUsbTargetPipeFormatRequestForWrite(pipe, request, memory, NULL);
    }
    if (!NT_SUCCESS(status)) {
        QD_TRACE(TRACE_LEVEL_ERROR, "%s: WdfUsbTargetPipeFormatRequest failed %lx\n", __func__, status);
        return status;
    }
    if (async && routine != NULL) {
        WdfRequestSetCompletionRoutine(request, routine, context);
    }
    WDF_REQUEST_SEND_OPTIONS_INIT(options, async ? 0 : WDF_REQUEST_SEND_OPTION_SYNCHRONOUS);
    WDF_REQUEST_SEND_OPTIONS_SET_TIMEOUT(options, timeout);
    return STATUS_SUCCESS;
}

static NTSTATUS usb_request_send(WDFREQUEST request, WDFUSBPIPE pipe, PWDF_REQUEST_SEND_OPTIONS options) {
    WDF_USB_PIPE_INFORMATION info;
    NTSTATUS status;

    if (WdfRequestSend(request, WdfUsbTargetPipeGetIoTarget(pipe), options)) {
        // A synchronous send has completed: its outcome is the request's.
        return (options->Flags & WDF_REQUEST_SEND_OPTION_SYNCHRONOUS) ? WdfRequestGetStatus(request) : STATUS_SUCCESS;
    }
    status = WdfRequestGetStatus(request);
    WDF_USB_PIPE_INFORMATION_INIT(&info);
    WdfUsbTargetPipeGetInformation(pipe, &info);
    QD_TRACE(TRACE_LEVEL_ERROR, "%s: WdfRequestSend failed %lx, ep %02x\n", __func__, status, info.EndpointAddress);
    return status;
}

// Sends the data request and, behind it on the same pipe, the zero-length
// request. *sent counts the requests that went out: asynchronous ones
// complete through their routines and must not be recycled by the caller.
NTSTATUS usb_read_write(WDFREQUEST request, WDFREQUEST zlp_request, WDFMEMORY memory, WDFUSBPIPE pipe,
                        PFN_WDF_REQUEST_COMPLETION_ROUTINE routine1, WDFCONTEXT ctx1,
                        PFN_WDF_REQUEST_COMPLETION_ROUTINE routine2, WDFCONTEXT ctx2, ULONG direction, BOOLEAN async,
                        LONGLONG timeout, PULONG sent) {
    WDF_REQUEST_SEND_OPTIONS options;
    WDF_REQUEST_SEND_OPTIONS zlp_options;
    const char* what = direction == QD_DIR_IN ? "read" : "write";
    NTSTATUS status;

    if (sent != NULL) {
        *sent = 0;
    }
    if (pipe == NULL) {
        return STATUS_UNSUCCESSFUL;
    }
    status = usb_request_prepare_for_io(request, pipe, memory, routine1, ctx1, &options, direction, async, timeout);
    if (!NT_SUCCESS(status)) {
        QD_TRACE(TRACE_LEVEL_ERROR, "%s: failed preparing request for %s\n", __func__, what);
        return status;
    }
    if (zlp_request != NULL) {
        // Sent the way the data request is: a synchronous write returns only
        // once its packet is done too, so both records are back in the pool.
        status = usb_request_prepare_for_io(zlp_request, pipe, NULL, routine2, ctx2, &zlp_options, QD_DIR_OUT, async,
                                            timeout);
        if (!NT_SUCCESS(status)) {
            QD_TRACE(TRACE_LEVEL_ERROR, "%s: failed preparing request for ZLP\n", __func__);
            return status;
        }
    }
    status = usb_request_send(request, pipe, &options);
    if (!NT_SUCCESS(status)) {
        QD_TRACE(TRACE_LEVEL_ERROR, "%s: failed sending %s request\n", __func__, what);
        return status;
    }
    if (sent != NULL) {
        *sent = 1;
    }
    if (zlp_request != NULL) {
        status = usb_request_send(zlp_request, pipe, &zlp_options);
        if (!NT_SUCCESS(status)) {
            QD_TRACE(TRACE_LEVEL_ERROR, "%s: failed sending ZLP request\n", __func__);
        } else if (sent != NULL) {
            *sent += 1;
        }
    }
    return status;
}

static VOID usb_cdc_write_pair_finish(PDEVICE_CONTEXT fdx, PREQUEST_CONTEXT rqx, WDFUSBPIPE pipe);

// A synchronous transfer is sent like an asynchronous one and waited for
// here, so that it can still be cancelled once it is out: the removal of a
// function device in control-device mode cancels what is in flight once,
// and a call that sends after that cancels its own requests.
typedef struct _USB_SYNC_WAIT {
    KEVENT done;                // notification event: every request sent has completed
    volatile LONG outstanding;  // interlocked; requests sent and not completed, plus 1 until the sends are over
} USB_SYNC_WAIT, *PUSB_SYNC_WAIT;

static VOID usb_sync_wait_release(PUSB_SYNC_WAIT wait, LONG count) {
    if (InterlockedExchangeAdd(&wait->outstanding, -count) == count) {
        KeSetEvent(&wait->done, IO_NO_INCREMENT, FALSE);
    }
}

static VOID usb_sync_complete(WDFREQUEST request, WDFIOTARGET target, PWDF_REQUEST_COMPLETION_PARAMS params,
                              WDFCONTEXT context) {
    UNREFERENCED_PARAMETER(request);
    UNREFERENCED_PARAMETER(target);
    UNREFERENCED_PARAMETER(params);
    usb_sync_wait_release((PUSB_SYNC_WAIT)context, 1);
}

// Sends the pair as usb_read_write does and returns once what went out is
// back; the status is the first failure of the pair.
static NTSTATUS usb_read_write_wait(PDEVICE_CONTEXT fdx, WDFREQUEST request, WDFREQUEST zlp_request, WDFMEMORY memory,
                                    WDFUSBPIPE pipe, ULONG direction, LONGLONG timeout, PULONG sent) {
    const LONG expected = zlp_request != NULL ? 2 : 1;
    USB_SYNC_WAIT wait;
    NTSTATUS status;

    KeInitializeEvent(&wait.done, NotificationEvent, FALSE);
    wait.outstanding = expected + 1;
    status = usb_read_write(request, zlp_request, memory, pipe, usb_sync_complete, &wait,
                            zlp_request != NULL ? usb_sync_complete : NULL, &wait, direction, TRUE, timeout, sent);
    if (*sent != 0 && InterlockedCompareExchange(&fdx->route_departing, 1, 1) != 0) {
        // The removal's cancel may have run before these went out.
        WdfRequestCancelSentRequest(request);
        if (*sent == 2) {
            WdfRequestCancelSentRequest(zlp_request);
        }
    }
    usb_sync_wait_release(&wait, expected - (LONG)*sent + 1);
    if (timeout == 0) {
        KeWaitForSingleObject(&wait.done, Executive, KernelMode, FALSE, NULL);
    } else {
        // The requests carry the caller's time-out: when it has passed, the
        // framework's own cancel is on its way and sets the event.
        LARGE_INTEGER due;
        due.QuadPart = timeout;
        while (KeWaitForSingleObject(&wait.done, Executive, KernelMode, FALSE, &due) == STATUS_TIMEOUT) {
        }
    }
    if (*sent != 0) {
        NTSTATUS data = WdfRequestGetStatus(request);
        if (!NT_SUCCESS(data)) {
            status = data;
        } else if (*sent == 2 && NT_SUCCESS(status)) {
            status = WdfRequestGetStatus(zlp_request);
        }
    }
    return status;
}

static BOOLEAN usb_cdc_data_inout(WDFDEVICE child, PDEVICE_CONTEXT fdx, PVOID buffer, ULONG length,
                                  PFN_CDC_DATA_COMPLETE cb_complete, PVOID cb_ctx, ULONG direction, BOOLEAN async,
                                  LONGLONG timeout) {
    PREQ_MANAGER manager;
    WDFUSBPIPE* pipe_field;
    WDFUSBPIPE pipe = NULL;
    PREQUEST_CONTEXT data_rqx = NULL;
    PREQUEST_CONTEXT zlp_rqx = NULL;
    WDFMEMORY memory = NULL;
    BOOLEAN short_of_packet;
    ULONG sent = 0;
    NTSTATUS status;

    if (fdx == NULL) {
        QD_TRACE(TRACE_LEVEL_ERROR, "%s: the USB device is disconnected\n", __func__);
        return FALSE;
    }
    UNREFERENCED_PARAMETER(child);
    // Without a callback the caller waits for the transfer, which it cannot
    // do above PASSIVE_LEVEL.
    if ((!async || cb_complete == NULL) && KeGetCurrentIrql() > PASSIVE_LEVEL) {
        QD_TRACE(TRACE_LEVEL_ERROR, "%s: no completion callback above PASSIVE_LEVEL\n", __func__);
        return FALSE;
    }
    if (direction == QD_DIR_IN) {
        manager = &fdx->req_in;
        pipe_field = &fdx->pipe_data_in;
    } else {
        manager = &fdx->req_out;
        pipe_field = &fdx->pipe_data_out;
    }
    // A synchronous call gets no callback: its result is the return value.
    if (!async) {
        cb_complete = NULL;
        cb_ctx = NULL;
    }

    // The completion finds its pool through the device that sent it, which
    // need not be the one the child is served by once it completes.
    if (!usb_qd_request_prepare(manager, pipe_field, direction == QD_DIR_OUT ? fdx : NULL, length, fdx, cb_complete,
                                cb_ctx, &data_rqx, &zlp_rqx, &pipe, &short_of_packet)) {
        if (short_of_packet) {
            QD_TRACE(TRACE_LEVEL_ERROR, "%s: Failed retrieving a request for ZLP\n", __func__);
            QD_TRACE(TRACE_LEVEL_ERROR, "%s: failed %lx\n", __func__, STATUS_UNSUCCESSFUL);
        } else {
            QD_TRACE(TRACE_LEVEL_ERROR, "%s: Failed retrieving a request, in %ld\n", __func__,
                     (LONG)(direction == QD_DIR_IN));
        }
        return FALSE;
    }

    if (length > 0) {
        status = WdfMemoryAssignBuffer(data_rqx->memory, buffer, length);
        if (!NT_SUCCESS(status)) {
            QD_TRACE(TRACE_LEVEL_ERROR, "%s: WdfMemoryAssignBuffer failed\n", __func__);
            status = STATUS_UNSUCCESSFUL;
            goto exit;
        }
        memory = data_rqx->memory;
    }
    data_rqx->length = length;
    if (direction == QD_DIR_OUT) {
        QD_TRACE(TRACE_LEVEL_VERBOSE, "%s: need_zlp %ld\n", __func__, (LONG)(zlp_rqx != NULL));
    }

    if (!async) {
        status = usb_read_write_wait(fdx, data_rqx->request, zlp_rqx != NULL ? zlp_rqx->request : NULL, memory, pipe,
                                     direction, timeout, &sent);
        goto exit;
    }
    if (zlp_rqx != NULL) {
        data_rqx->pair_outstanding = 2;
        data_rqx->data_status = STATUS_SUCCESS;
        data_rqx->data_bytes = 0;
        data_rqx->zlp_status = STATUS_SUCCESS;
    }
    // Both requests of a write complete to its data record.
    status = usb_read_write(data_rqx->request, zlp_rqx != NULL ? zlp_rqx->request : NULL, memory, pipe,
                            direction == QD_DIR_IN ? usb_cdc_data_in_complete : usb_cdc_data_out_complete,
                            (WDFCONTEXT)data_rqx, zlp_rqx != NULL ? usb_cdc_data_out_complete : NULL,
                            (WDFCONTEXT)data_rqx, direction, async, timeout, &sent);
    if (NT_SUCCESS(status)) {
        return TRUE;
    }
    if (sent == 1 && zlp_rqx != NULL) {
        // The data went out but its zero-length packet did not: the write is
        // under way, and whichever of the two ends last reports it (the data
        // request may be back already).
        data_rqx->zlp_status = status;
        if (InterlockedDecrement(&data_rqx->pair_outstanding) == 0) {
            usb_cdc_write_pair_finish(fdx, data_rqx, pipe);
        }
        return TRUE;
    }
    if (zlp_rqx != NULL) {
        // Neither went out.
        data_rqx->pair_outstanding = 0;
    }

exit:
    // Nothing asynchronous went out; synchronous requests are done. A packet
    // that went out synchronously is recycled like its data request.
    data_rqx->status = status;
    if (zlp_rqx != NULL && !async && sent == 2) {
        zlp_rqx->status = WdfRequestGetStatus(zlp_rqx->request);
    }
    usb_qd_request_release(manager, data_rqx, zlp_rqx, pipe);
    if (!NT_SUCCESS(status)) {
        QD_TRACE(TRACE_LEVEL_ERROR, "%s: failed %lx\n", __func__, status);
        return FALSE;
    }
    return TRUE;
}

// Gives a finished transfer's records back and tells the child. The records
// go back first, so that the child may send again from inside its callback;
// the callback holds a slot of the pool until it returns, which a closing of
// the data path waits for. With every slot taken the records go back only
// after the callback.
static VOID usb_cdc_data_report(PREQ_MANAGER manager, PREQUEST_CONTEXT rqx, PREQUEST_CONTEXT zlp_rqx, WDFUSBPIPE pipe,
                                NTSTATUS status, ULONG bytes) {
    PFN_CDC_DATA_COMPLETE cb_complete = rqx->cb_complete;
    PVOID cb_ctx = rqx->cb_ctx;
    LONG slot;

    rqx->cb_complete = NULL;
    rqx->cb_ctx = NULL;
    if (cb_complete == NULL || cb_ctx == NULL) {
        usb_qd_request_release(manager, rqx, zlp_rqx, pipe);
        QD_TRACE(TRACE_LEVEL_VERBOSE, "%s: completion not set\n", "usb_cdc_data_inout_complete");
        return;
    }
    slot = req_manager_callback_enter(manager);
    if (slot < 0) {
        cb_complete(cb_ctx, status, bytes);
        usb_qd_request_release(manager, rqx, zlp_rqx, pipe);
        return;
    }
    usb_qd_request_release(manager, rqx, zlp_rqx, pipe);
    cb_complete(cb_ctx, status, bytes);
    req_manager_callback_leave(manager, slot);
}

// Reports a write whose data and zero-length packet have both completed: the
// first failure of the two, with the bytes the data request moved.
static VOID usb_cdc_write_pair_finish(PDEVICE_CONTEXT fdx, PREQUEST_CONTEXT rqx, WDFUSBPIPE pipe) {
    NTSTATUS status = NT_SUCCESS(rqx->data_status) ? rqx->zlp_status : rqx->data_status;

    usb_cdc_data_report(&fdx->req_out, rqx, rqx->zlp_partner, pipe, status, rqx->data_bytes);
}

static VOID usb_cdc_data_inout_complete(WDFREQUEST request, WDFIOTARGET target, PWDF_REQUEST_COMPLETION_PARAMS params,
                                        WDFCONTEXT context, ULONG direction) {
    PREQUEST_CONTEXT rqx = (PREQUEST_CONTEXT)context;
    PREQUEST_CONTEXT zlp_rqx;
    PDEVICE_CONTEXT fdx;
    NTSTATUS cb_status;
    ULONG moved = 0;
    ULONG bytes;

    if (rqx == NULL || rqx->owner_device == NULL) {
        QD_TRACE(TRACE_LEVEL_ERROR, "%s: NULL context, %p %p\n", __func__, rqx, rqx != NULL ? rqx->owner_device : NULL);
        return;
    }
    fdx = rqx->owner_fdx;
    cb_status = params->IoStatus.Status;
    // The request's own status is asked for only when it is traced.
    QD_TRACE(TRACE_LEVEL_VERBOSE, "%s: dir %d, cb_status %lx, rqx_status %lx\n", __func__, direction, cb_status,
             WdfRequestGetStatus(request));

    zlp_rqx = rqx->zlp_partner;
    if (zlp_rqx != NULL) {
        // A write with its zero-length packet: the last of the pair reports it.
        if (request == rqx->request) {
            rqx->status = cb_status;
            rqx->usbd_status = params->Parameters.Usb.Completion->UsbdStatus;
            rqx->data_status = cb_status;
            rqx->data_bytes = (ULONG)params->Parameters.Usb.Completion->Parameters.PipeWrite.Length;
        } else {
            zlp_rqx->status = cb_status;
            zlp_rqx->usbd_status = params->Parameters.Usb.Completion->UsbdStatus;
            rqx->zlp_status = cb_status;
        }
        if (InterlockedDecrement(&rqx->pair_outstanding) == 0) {
            usb_cdc_write_pair_finish(fdx, rqx, (WDFUSBPIPE)target);
        }
        return;
    }

    rqx->status = cb_status;
    rqx->usbd_status = params->Parameters.Usb.Completion->UsbdStatus;
    if (direction == QD_DIR_IN) {
        bytes = (ULONG)params->Parameters.Usb.Completion->Parameters.PipeRead.Length;
    } else {
        moved = (ULONG)params->Parameters.Usb.Completion->Parameters.PipeWrite.Length;
        bytes = moved;
        if (bytes == 0) {
            bytes = rqx->length;
            QD_TRACE(TRACE_LEVEL_VERBOSE, "%s: ZLP, return %ld bytes\n", __func__, bytes);
        }
    }

    // The request goes back bound to the pipe it ran on: the pool's pipe may
    // already be gone after a closing, and the record must not keep it.
    usb_cdc_data_report(direction == QD_DIR_IN ? &fdx->req_in : &fdx->req_out, rqx, NULL, (WDFUSBPIPE)target, cb_status,
                        bytes);
}

VOID usb_cdc_data_in_complete(WDFREQUEST request, WDFIOTARGET target, PWDF_REQUEST_COMPLETION_PARAMS params,
                              WDFCONTEXT context) {
    usb_cdc_data_inout_complete(request, target, params, context, QD_DIR_IN);
}

VOID usb_cdc_data_out_complete(WDFREQUEST request, WDFIOTARGET target, PWDF_REQUEST_COMPLETION_PARAMS params,
                               WDFCONTEXT context) {
    usb_cdc_data_inout_complete(request, target, params, context, QD_DIR_OUT);
}

BOOLEAN usb_cdc_data_write_async_fdx(WDFDEVICE child, PDEVICE_CONTEXT fdx, PVOID buffer, ULONG length,
                                     PFN_CDC_DATA_COMPLETE cb_complete, PVOID cb_ctx, LONGLONG timeout) {
    // Without a callback there is nobody to tell: the transfer runs synchronously.
    return usb_cdc_data_inout(child, fdx, buffer, length, cb_complete, cb_ctx, QD_DIR_OUT, cb_complete != NULL,
                              timeout);
}

BOOLEAN usb_cdc_data_write_async(WDFDEVICE child, PVOID buffer, ULONG length, PFN_CDC_DATA_COMPLETE cb_complete,
                                 PVOID cb_ctx, LONGLONG timeout) {
    return usb_cdc_data_write_async_fdx(child, cdc_serving_fdx(child), buffer, length, cb_complete, cb_ctx, timeout);
}

BOOLEAN usb_cdc_data_write_sync_fdx(WDFDEVICE child, PDEVICE_CONTEXT fdx, PVOID buffer, ULONG length,
                                    LONGLONG timeout) {
    return usb_cdc_data_inout(child, fdx, buffer, length, NULL, NULL, QD_DIR_OUT, FALSE, timeout);
}

BOOLEAN usb_cdc_data_write_sync(WDFDEVICE child, PVOID buffer, ULONG length, LONGLONG timeout) {
    return usb_cdc_data_write_sync_fdx(child, cdc_serving_fdx(child), buffer, length, timeout);
}

BOOLEAN usb_cdc_data_read_async_fdx(WDFDEVICE child, PDEVICE_CONTEXT fdx, PVOID buffer, ULONG length,
                                    PFN_CDC_DATA_COMPLETE cb_complete, PVOID cb_ctx, LONGLONG timeout) {
    return usb_cdc_data_inout(child, fdx, buffer, length, cb_complete, cb_ctx, QD_DIR_IN, cb_complete != NULL, timeout);
}

BOOLEAN usb_cdc_data_read_async(WDFDEVICE child, PVOID buffer, ULONG length, PFN_CDC_DATA_COMPLETE cb_complete,
                                PVOID cb_ctx, LONGLONG timeout) {
    return usb_cdc_data_read_async_fdx(child, cdc_serving_fdx(child), buffer, length, cb_complete, cb_ctx, timeout);
}

BOOLEAN usb_cdc_data_read_sync_fdx(WDFDEVICE child, PDEVICE_CONTEXT fdx, PVOID buffer, ULONG length, LONGLONG timeout) {
    return usb_cdc_data_inout(child, fdx, buffer, length, NULL, NULL, QD_DIR_IN, FALSE, timeout);
}

BOOLEAN usb_cdc_data_read_sync(WDFDEVICE child, PVOID buffer, ULONG length, LONGLONG timeout) {
    return usb_cdc_data_read_sync_fdx(child, cdc_serving_fdx(child), buffer, length, timeout);
}

// Cancels everything in flight on one direction without waiting; new
// transfers there are refused until the last cancelled one has come back.
NTSTATUS usb_cdc_inout_purge_fdx(WDFDEVICE child, PDEVICE_CONTEXT fdx, BOOLEAN in) {
    PREQ_MANAGER manager;
    WDFCOLLECTION list;
    ULONG added = 0;
    ULONG cancelled = 0;
    ULONG count;
    NTSTATUS status = STATUS_SUCCESS;

    UNREFERENCED_PARAMETER(child);
    if (fdx == NULL) {
        QD_TRACE(TRACE_LEVEL_ERROR, "%s: the USB device is disconnected\n", "usb_cdc_inout_purge");
        return STATUS_DEVICE_NOT_CONNECTED;
    }
    QD_TRACE(TRACE_LEVEL_VERBOSE, "%s: entered, in %ld\n", "usb_cdc_inout_purge", (LONG)in);
    manager = in ? &fdx->req_in : &fdx->req_out;

    status = WdfCollectionCreate(WDF_NO_OBJECT_ATTRIBUTES, &list);
    if (!NT_SUCCESS(status)) {
        QD_TRACE(TRACE_LEVEL_ERROR, "%s: failed %lx\n", "usb_cdc_inout_purge", status);
        return STATUS_UNSUCCESSFUL;
    }

    // The list holds references on the requests, so one that completes and
    // is replaced meanwhile is still a valid handle to cancel.
    // Marked before it counts: a give-back without the lock then either
    // dropped the count before it was read or sees the mark and updates it.
    WdfSpinLockAcquire(manager->lock);
    InterlockedExchange(&manager->purge_in_progress, 1);
    count = (ULONG)ReadAcquire(&manager->busy_count);
    InterlockedExchange(&manager->purge_in_progress, (LONG)count);
    for (PREQUEST_CONTEXT rqx = manager->records; rqx != NULL; rqx = rqx->next_record) {
        if (ReadAcquire(&rqx->busy) == 0 || rqx->request == NULL) {
            continue;
        }
        status = WdfCollectionAdd(list, rqx->request);
        if (!NT_SUCCESS(status)) {
            QD_TRACE(TRACE_LEVEL_ERROR, "%s: failed adding req num %ld to purge list - %lx\n", "usb_cdc_inout_purge",
                     added, status);
            break;
        }
        added++;
    }
    WdfSpinLockRelease(manager->lock);

    while (WdfCollectionGetCount(list) != 0) {
        WDFREQUEST request = (WDFREQUEST)WdfCollectionGetFirstItem(list);
        if (WdfRequestCancelSentRequest(request)) {
            cancelled++;
        }
        WdfCollectionRemoveItem(list, 0);
    }
    WdfObjectDelete(list);

    QD_TRACE(TRACE_LEVEL_INFO, "%s: done, in %ld, cancelled %ld out of %ld\n", "usb_cdc_inout_purge", (LONG)in,
             cancelled, added);
    return status;
}

NTSTATUS usb_cdc_inout_purge(WDFDEVICE child, BOOLEAN in) {
    return usb_cdc_inout_purge_fdx(child, cdc_serving_fdx(child), in);
}

static NTSTATUS usb_cdc_restart_pipe(WDFUSBPIPE pipe) {
    WDF_REQUEST_SEND_OPTIONS options;
    NTSTATUS status;

    WDF_REQUEST_SEND_OPTIONS_INIT(&options, WDF_REQUEST_SEND_OPTION_IGNORE_TARGET_STATE);

    WdfIoTargetStop(WdfUsbTargetPipeGetIoTarget(pipe), WdfIoTargetCancelSentIo);
    QD_TRACE(TRACE_LEVEL_INFO, "%s: WdfIoTargetStop\n", "usb_cdc_restart_io_target");

    status = WdfUsbTargetPipeAbortSynchronously(pipe, WDF_NO_HANDLE, &options);
    QD_TRACE(TRACE_LEVEL_INFO, "%s: WdfUsbTargetPipeAbortSynchronously, status %lx\n", "usb_cdc_restart_io_target",
             status);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    status = WdfUsbTargetPipeResetSynchronously(pipe, WDF_NO_HANDLE, &options);
    QD_TRACE(TRACE_LEVEL_INFO, "%s: WdfUsbTargetPipeResetSynchronously, status %lx\n", "usb_cdc_restart_io_target",
             status);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    status = WdfIoTargetStart(WdfUsbTargetPipeGetIoTarget(pipe));
    QD_TRACE(TRACE_LEVEL_INFO, "%s: status %lx\n", "usb_cdc_restart_io_target", status);
    return status;
}

NTSTATUS usb_cdc_restart_io_target_fdx(WDFDEVICE child, PDEVICE_CONTEXT fdx, BOOLEAN in) {
    PREQ_MANAGER manager;
    WDFUSBPIPE pipe;
    NTSTATUS status;

    UNREFERENCED_PARAMETER(child);
    QD_TRACE(TRACE_LEVEL_ERROR, "%s: Entered\n", "usb_cdc_restart_io_target");
    if (fdx == NULL) {
        QD_TRACE(TRACE_LEVEL_ERROR, "%s: the USB device is disconnected\n", "usb_cdc_restart_io_target");
        return STATUS_DEVICE_NOT_CONNECTED;
    }
    if (!cdc_caller_at_passive("usb_cdc_restart_io_target")) {
        return STATUS_INVALID_DEVICE_STATE;
    }
    manager = in ? &fdx->req_in : &fdx->req_out;
    pipe = usb_data_pipe_pin(manager, in ? &fdx->pipe_data_in : &fdx->pipe_data_out);
    // A closed data path has no pipe to restart.
    if (pipe == NULL) {
        QD_TRACE(TRACE_LEVEL_ERROR, "%s: no data pipe\n", "usb_cdc_restart_io_target");
        return STATUS_INVALID_DEVICE_STATE;
    }
    status = usb_cdc_restart_pipe(pipe);
    usb_data_pipe_unpin(manager, pipe);
    return status;
}

NTSTATUS usb_cdc_restart_io_target(WDFDEVICE child, BOOLEAN in) {
    return usb_cdc_restart_io_target_fdx(child, cdc_serving_fdx(child), in);
}
