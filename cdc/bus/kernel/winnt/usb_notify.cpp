// The notification reader of the interrupt IN pipe.
#include "cdc_bus.h"

#define CDC_NOTIFY_BUFFER_SIZE 16
#define CDC_NOTIFY_STOP_POLLS 10000

NTSTATUS pipe_comm_notify_request_make(WDFUSBPIPE pipe, WDFMEMORY* memory) {
    NTSTATUS status;

    status = usb_request_allocate(WdfUsbTargetPipeGetIoTarget(pipe), memory, CDC_NOTIFY_BUFFER_SIZE);
    if (!NT_SUCCESS(status)) {
        QD_TRACE(TRACE_LEVEL_ERROR, "%s: failed to allocate usb request memory for pipe_comm_notify, status %lx\n",
                 "pipe_comm_notify_request_allocate", status);
        // A half-made record is never handed to the reader.
        usb_request_free(memory);
    }
    return status;
}

// At the start, before any child can reach the reader; a release took the
// last record away and left the reader suspended.
NTSTATUS pipe_comm_notify_request_allocate(PDEVICE_CONTEXT fdx) {
    NTSTATUS status;

    fdx->notify_suspended = 0;
    InterlockedExchange(&fdx->notify_busy, 0);

    status = pipe_comm_notify_request_make(fdx->pipe_comm_notify, &fdx->notify_req_mem);
    if (NT_SUCCESS(status)) {
        fdx->notify_req = (PREQUEST_CONTEXT)WdfMemoryGetBuffer(fdx->notify_req_mem, NULL);
    }
    return status;
}

// The notification lock exists from the start on; the registry override's
// enable runs before that, with no reader and no child around.
static VOID usb_notify_lock(PDEVICE_CONTEXT fdx) {
    if (fdx->notify_lock != NULL) {
        WdfSpinLockAcquire(fdx->notify_lock);
    }
}

static VOID usb_notify_unlock(PDEVICE_CONTEXT fdx) {
    if (fdx->notify_lock != NULL) {
        WdfSpinLockRelease(fdx->notify_lock);
    }
}

// The reader ends: nothing is in flight any more, and a stop waiting for
// that may return. Under notify_lock.
static VOID usb_notify_reader_ended(PDEVICE_CONTEXT fdx) {
    InterlockedExchange(&fdx->notify_busy, 0);
    WriteUCharRelease(&fdx->notify_reader_stop, 0);
}

// Sends the notification read (again). The lock only guards the decision:
// no request is ever sent with it held. A re-arm carries on the count of the
// read whose completion re-sends it, so the count drops to 0 only when the
// reader has really ended, and always under the lock.
static NTSTATUS usb_notify_read_send(PDEVICE_CONTEXT fdx, BOOLEAN rearm) {
    PREQUEST_CONTEXT rqx;
    BOOLEAN not_ready;
    WDFUSBPIPE pipe;
    NTSTATUS status;

    QD_TRACE(TRACE_LEVEL_VERBOSE, "%s: Entered\n", "usb_interrupt_pipe_start_cont_reader");
    WdfSpinLockAcquire(fdx->notify_lock);
    // A reader already running (a read in flight, or its completion, which
    // recycles the request, about to re-send it) needs no second read.
    if (!rearm && ReadAcquire(&fdx->notify_busy) != 0) {
        WdfSpinLockRelease(fdx->notify_lock);
        return STATUS_SUCCESS;
    }
    rqx = fdx->notify_req;
    pipe = fdx->pipe_comm_notify;
    // Not ready, a stop under way (a read sent now would outlive it), or the
    // record being taken away for a setting switch.
    not_ready = rqx == NULL || rqx->request == NULL;
    if (not_ready || pipe == NULL || fdx->notify_reader_stop != 0 || fdx->notify_suspended != 0) {
        if (rearm) {
            usb_notify_reader_ended(fdx);
        }
        WdfSpinLockRelease(fdx->notify_lock);
        if (not_ready) {
            QD_TRACE(TRACE_LEVEL_INFO, "%s: not ready\n", "usb_interrupt_pipe_start_cont_reader");
        }
        return STATUS_SUCCESS;
    }
    // Counted before the lock goes, so a stop that finds nothing in flight
    // knows nothing is about to be.
    if (!rearm) {
        InterlockedExchange(&fdx->notify_busy, 1);
    }
    WdfSpinLockRelease(fdx->notify_lock);

    status = usb_read_write(rqx->request, NULL, rqx->memory, pipe, usb_cdc_interrupt_read_complete, rqx, NULL, NULL,
                            QD_DIR_IN, TRUE, 0, NULL);
    if (!NT_SUCCESS(status)) {
        // No completion will come to end the reader; the registrations stay
        // counted and the next one tries again.
        WdfSpinLockAcquire(fdx->notify_lock);
        usb_notify_reader_ended(fdx);
        WdfSpinLockRelease(fdx->notify_lock);
    }
    return status;
}

NTSTATUS usb_interrupt_pipe_start_cont_reader(PDEVICE_CONTEXT fdx) { return usb_notify_read_send(fdx, FALSE); }

// Stops the reader: the read in flight is cancelled, also one that a
// completion re-sends meanwhile, until a completion has ended the reader or
// nothing is in flight any more.
NTSTATUS usb_interrupt_pipe_stop_cont_reader(PDEVICE_CONTEXT fdx) {
    LARGE_INTEGER interval;
    WDFREQUEST request;
    BOOLEAN ended;

    WdfSpinLockAcquire(fdx->notify_lock);
    if (fdx->notify_req == NULL || fdx->notify_req->request == NULL) {
        WdfSpinLockRelease(fdx->notify_lock);
        QD_TRACE(TRACE_LEVEL_INFO, "%s: not ready\n", __func__);
        return STATUS_SUCCESS;
    }
    WriteUCharRelease(&fdx->notify_reader_stop, 1);
    WdfSpinLockRelease(fdx->notify_lock);
    if (ReadPointerAcquire((PVOID const volatile*)&fdx->notify_cb_thread) == KeGetCurrentThread()) {
        // Called from a child's notification callback: the completion on this
        // thread ends the reader once the callback returns; waiting for it
        // here would wait for ourselves.
        return STATUS_SUCCESS;
    }

    interval.QuadPart = -10000;
    for (ULONG polls = 0; polls < CDC_NOTIFY_STOP_POLLS; polls++) {
        if (ReadUCharAcquire(&fdx->notify_reader_stop) == 0) {
            return STATUS_SUCCESS;
        }
        WdfSpinLockAcquire(fdx->notify_lock);
        ended = ReadAcquire(&fdx->notify_busy) == 0;
        if (ended) {
            WriteUCharRelease(&fdx->notify_reader_stop, 0);
        }
        request = fdx->notify_req != NULL ? fdx->notify_req->request : NULL;
        // The completion recycles the request under the lock: the reference
        // keeps this one valid for the cancel after the lock is gone.
        if (!ended && request != NULL) {
            WdfObjectReference(request);
        }
        WdfSpinLockRelease(fdx->notify_lock);
        if (ended) {
            return STATUS_SUCCESS;
        }
        if (request != NULL) {
            WdfRequestCancelSentRequest(request);
            WdfObjectDereference(request);
        }
        if (KeGetCurrentIrql() == PASSIVE_LEVEL) {
            KeDelayExecutionThread(KernelMode, FALSE, &interval);
        }
    }
    QD_TRACE(TRACE_LEVEL_ERROR, "%s: Request not cancelled yet\n", __func__);
    return STATUS_UNSUCCESSFUL;
}

// The reader is counted per registration; a child only takes back what it
// registered on fdx, so a registration that died with an earlier device
// never stops the reader another child started here.
BOOLEAN usb_cdc_set_notify_cb_fdx(WDFDEVICE child, PDEVICE_CONTEXT fdx, PVOID notify_cb_ctx,
                                  PFN_CDC_NOTIFY_CB notify_cb) {
    PCDC_DEVICE_CONTEXT cdc_pdx;
    BOOLEAN present;
    LONG n;

    QD_TRACE(TRACE_LEVEL_VERBOSE, "%s: entered, %sset cb for cdc_dev %p\n", "usb_cdc_set_notify_cb",
             notify_cb != NULL ? "" : "un-", child);
    if (fdx == NULL) {
        QD_TRACE(TRACE_LEVEL_ERROR, "%s: the USB device is disconnected\n", "usb_cdc_set_notify_cb");
        return FALSE;
    }
    cdc_pdx = cdc_get_device_context(child);
    // The pair under the reader's lock: a packet never meets one callback
    // with another's context.
    WdfSpinLockAcquire(fdx->notify_lock);
    present = fdx->pipe_comm_notify != NULL;
    if (present) {
        cdc_pdx->notify_cb_ctx = notify_cb_ctx;
        cdc_pdx->notify_cb = notify_cb;
    }
    WdfSpinLockRelease(fdx->notify_lock);
    if (!present) {
        QD_TRACE(TRACE_LEVEL_VERBOSE, "%s: pipe_comm_notify is not present\n", "usb_cdc_set_notify_cb");
        return FALSE;
    }

    if (notify_cb != NULL && notify_cb_ctx != NULL) {
        n = cdc_child_hold_counted(cdc_pdx, fdx, &cdc_pdx->notify_refs, &fdx->ref_count);
        if (n > 1) {
            QD_TRACE(TRACE_LEVEL_VERBOSE, "%s: notify_cb already initialized, ref_count = %ld\n",
                     "usb_cdc_set_notify_cb", n);
        }
        // Also past the first: a reader that ended on a failed read, or is
        // being stopped, has none in flight; a running one is left alone.
        usb_interrupt_pipe_start_cont_reader(fdx);
        return TRUE;
    }
    if (!cdc_child_release_counted(cdc_pdx, fdx, &cdc_pdx->notify_refs, &fdx->ref_count, &n)) {
        return TRUE;
    }
    if (n <= 0) {
        usb_interrupt_pipe_stop_cont_reader(fdx);
        // A registration that came while the reader stopped found it
        // stopping and sent nothing: the reader is its to restart.
        if (ReadAcquire(&fdx->ref_count) > 0) {
            usb_interrupt_pipe_start_cont_reader(fdx);
        }
    }
    return TRUE;
}

BOOLEAN usb_cdc_set_notify_cb(WDFDEVICE child, PVOID notify_cb_ctx, PFN_CDC_NOTIFY_CB notify_cb) {
    return usb_cdc_set_notify_cb_fdx(child, cdc_serving_fdx(child), notify_cb_ctx, notify_cb);
}

VOID usb_cdc_interrupt_read_complete(WDFREQUEST request, WDFIOTARGET target, PWDF_REQUEST_COMPLETION_PARAMS params,
                                     WDFCONTEXT context) {
    WDF_CHILD_LIST_ITERATOR iterator;
    PREQUEST_CONTEXT rqx;
    PDEVICE_CONTEXT fdx;
    WDFCHILDLIST list;
    WDFDEVICE child;
    NTSTATUS status;
    PVOID buffer = NULL;
    ULONG bytes = 0;
    BOOLEAN rearm;

    UNREFERENCED_PARAMETER(context);

    status = params->IoStatus.Status;
    if (NT_SUCCESS(status)) {
        buffer = WdfMemoryGetBuffer(params->Parameters.Usb.Completion->Parameters.PipeRead.Buffer, NULL);
        bytes = (ULONG)params->Parameters.Usb.Completion->Parameters.PipeRead.Length;
    }
    QD_TRACE(TRACE_LEVEL_INFO, "%s: bytes_transferred %lx\n", __func__, bytes);

    fdx = usb_get_device_context(WdfIoTargetGetDevice(target));
    // The record cannot be taken away while its read is counted in flight.
    WdfSpinLockAcquire(fdx->notify_lock);
    rqx = fdx->notify_req;
    if (rqx == NULL || rqx->request != request) {
        usb_notify_reader_ended(fdx);
        WdfSpinLockRelease(fdx->notify_lock);
        QD_TRACE(TRACE_LEVEL_VERBOSE, "%s: ignore unknown request\n", __func__);
        return;
    }
    rqx->status = status;
    rqx->usbd_status = params->Parameters.Usb.Completion->UsbdStatus;
    usb_request_reuse(target, rqx);
    WdfSpinLockRelease(fdx->notify_lock);

    if (NT_SUCCESS(status)) {
        WritePointerRelease((PVOID volatile*)&fdx->notify_cb_thread, KeGetCurrentThread());
        usb_child_iteration_begin(fdx->ids.device, &list, &iterator);
        while (NT_SUCCESS(usb_child_retrieve_or_remove_next(&child, list, &iterator, &fdx->ids, FALSE)) &&
               child != NULL) {
            PCDC_DEVICE_CONTEXT cdc_pdx = cdc_get_device_context(child);
            WdfSpinLockAcquire(fdx->notify_lock);
            PFN_CDC_NOTIFY_CB notify_cb = cdc_pdx->notify_cb;
            PVOID notify_cb_ctx = cdc_pdx->notify_cb_ctx;
            WdfSpinLockRelease(fdx->notify_lock);
            if (notify_cb != NULL && notify_cb_ctx != NULL) {
                notify_cb(notify_cb_ctx, buffer, bytes);
            }
        }
        WdfChildListEndIteration(list, &iterator);
        WritePointerRelease((PVOID volatile*)&fdx->notify_cb_thread, NULL);
    }

    WdfSpinLockAcquire(fdx->notify_lock);
    rearm = fdx->notify_reader_stop == 0 && fdx->notify_suspended == 0 && NT_SUCCESS(status);
    if (!rearm) {
        // Last touch of the record: once the count is 0 it may be freed.
        usb_notify_reader_ended(fdx);
    }
    WdfSpinLockRelease(fdx->notify_lock);
    if (rearm) {
        usb_notify_read_send(fdx, TRUE);
    } else {
        QD_TRACE(TRACE_LEVEL_NOTICE, "%s: interrupt reader ended with status 0x%lx\n", __func__, status);
    }
}

// Takes the notification record away (a setting switch, or the device's
// release): no read is sent from here on, the one in flight is cancelled and
// waited for, and only the record detached under the lock is freed. FALSE,
// with the record left in place, while its read cannot be stopped.
BOOLEAN usb_cdc_notify_detach(PDEVICE_CONTEXT fdx) {
    WDFMEMORY memory;

    if (fdx->notify_lock == NULL) {
        usb_request_free(&fdx->notify_req_mem);
        fdx->notify_req = NULL;
        return TRUE;
    }
    // From a child's notification callback (completed inline in a send) the
    // completion up the stack still uses the record.
    if (ReadPointerAcquire((PVOID const volatile*)&fdx->notify_cb_thread) == KeGetCurrentThread()) {
        QD_TRACE(TRACE_LEVEL_ERROR, "%s: called from a notification callback\n", __func__);
        return FALSE;
    }
    WdfSpinLockAcquire(fdx->notify_lock);
    fdx->notify_suspended = 1;
    memory = fdx->notify_req_mem;
    WdfSpinLockRelease(fdx->notify_lock);
    if (memory != NULL && !NT_SUCCESS(usb_interrupt_pipe_stop_cont_reader(fdx))) {
        WdfSpinLockAcquire(fdx->notify_lock);
        fdx->notify_suspended = 0;
        WdfSpinLockRelease(fdx->notify_lock);
        return FALSE;
    }
    WdfSpinLockAcquire(fdx->notify_lock);
    memory = fdx->notify_req_mem;
    fdx->notify_req_mem = NULL;
    fdx->notify_req = NULL;
    WdfSpinLockRelease(fdx->notify_lock);
    usb_request_free(&memory);
    return TRUE;
}

// Hands the reader its pipe and record after a switch (memory NULL: none) and
// lets it run again; the registrations counted meanwhile start it.
VOID usb_cdc_notify_attach(PDEVICE_CONTEXT fdx, WDFUSBPIPE pipe, WDFMEMORY memory) {
    usb_notify_lock(fdx);
    fdx->pipe_comm_notify = pipe;
    fdx->notify_req_mem = memory;
    fdx->notify_req = memory != NULL ? (PREQUEST_CONTEXT)WdfMemoryGetBuffer(memory, NULL) : NULL;
    fdx->notify_suspended = 0;
    usb_notify_unlock(fdx);
    if (fdx->notify_lock != NULL && memory != NULL && ReadAcquire(&fdx->ref_count) > 0) {
        usb_interrupt_pipe_start_cont_reader(fdx);
    }
}
