// The notification reader of the interrupt IN pipe.
#include "cdc_bus.h"

#define CDC_NOTIFY_BUFFER_SIZE 16

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

// Right after notify_lock is made, before any child can reach the reader: a
// release left it held stopped with its record gone.
VOID usb_notify_reader_init(PDEVICE_CONTEXT fdx) {
    fdx->notify_state = CDC_NOTIFY_IDLE;
    fdx->notify_stoppers = 0;
    fdx->notify_cancelled = FALSE;
    KeInitializeEvent(&fdx->notify_stopped, NotificationEvent, FALSE);
}

NTSTATUS pipe_comm_notify_request_allocate(PDEVICE_CONTEXT fdx) {
    NTSTATUS status;

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

// A cancel sticks to the request until it is reused: a stop's cancel that
// came after the completion recycled the request would fail the next read.
// Under notify_lock, with no read in flight and every stop's cancel made.
static VOID usb_notify_uncancel(PDEVICE_CONTEXT fdx) {
    if (fdx->notify_cancelled && fdx->notify_req != NULL && fdx->notify_req->request != NULL &&
        fdx->pipe_comm_notify != NULL) {
        usb_request_reuse(WdfUsbTargetPipeGetIoTarget(fdx->pipe_comm_notify), fdx->notify_req);
    }
    fdx->notify_cancelled = FALSE;
}

// The read in flight is over and not sent again. A stop that holds the
// reader finds it STOPPED and its waiters wake; with none left it is IDLE.
// Under notify_lock; the last touch of the record by the read's path.
static VOID usb_notify_reader_ended(PDEVICE_CONTEXT fdx) {
    if (fdx->notify_state == CDC_NOTIFY_STOPPING && fdx->notify_stoppers > 0) {
        fdx->notify_state = CDC_NOTIFY_STOPPED;
        KeSetEvent(&fdx->notify_stopped, IO_NO_INCREMENT, FALSE);
    } else if (fdx->notify_state != CDC_NOTIFY_STOPPED) {
        fdx->notify_state = CDC_NOTIFY_IDLE;
        usb_notify_uncancel(fdx);
    }
}

// Sends the notification read: a start from IDLE, or the re-arm of the
// completion that decided on it (ARMED), unless a stop came in between. The
// lock only guards the decision: no request is ever sent with it held.
static NTSTATUS usb_notify_read_send(PDEVICE_CONTEXT fdx, BOOLEAN rearm) {
    PREQUEST_CONTEXT rqx;
    BOOLEAN not_ready;
    WDFUSBPIPE pipe;
    NTSTATUS status;

    QD_TRACE(TRACE_LEVEL_VERBOSE, "%s: Entered\n", "usb_interrupt_pipe_start_cont_reader");
    WdfSpinLockAcquire(fdx->notify_lock);
    // A reader already running needs no second read; one being stopped is
    // restarted by its stop if a registration wants it.
    if (fdx->notify_state != (rearm ? CDC_NOTIFY_ARMED : CDC_NOTIFY_IDLE)) {
        if (rearm) {
            usb_notify_reader_ended(fdx);
        }
        WdfSpinLockRelease(fdx->notify_lock);
        return STATUS_SUCCESS;
    }
    rqx = fdx->notify_req;
    pipe = fdx->pipe_comm_notify;
    not_ready = rqx == NULL || rqx->request == NULL;
    if (not_ready || pipe == NULL) {
        if (rearm) {
            usb_notify_reader_ended(fdx);
        }
        WdfSpinLockRelease(fdx->notify_lock);
        if (not_ready) {
            QD_TRACE(TRACE_LEVEL_INFO, "%s: not ready\n", "usb_interrupt_pipe_start_cont_reader");
        }
        return STATUS_SUCCESS;
    }
    // ARMED before the lock goes: a stop from here on cancels this read, also
    // before it is sent (the cancel sticks to the request).
    fdx->notify_state = CDC_NOTIFY_ARMED;
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

// Holds the reader stopped: the read in flight is cancelled, and at
// PASSIVE_LEVEL waited for until its completion (or its failed re-send) has
// ended the reader. A cancelled read always completes, so the wait needs no
// bound. From a child's notification callback the completion on this thread
// ends the reader once the callback returns, and above PASSIVE_LEVEL the
// stop cannot wait: the reader then ends after the release, and its
// completion re-sends for a registration made meanwhile (*result
// STATUS_UNSUCCESSFUL). FALSE, holding nothing, when `need_record` and there
// is no record.
static BOOLEAN usb_notify_hold(PDEVICE_CONTEXT fdx, BOOLEAN need_record, NTSTATUS* result) {
    BOOLEAN in_callback;
    WDFREQUEST request = NULL;
    BOOLEAN stopping;

    *result = STATUS_SUCCESS;
    in_callback = ReadPointerAcquire((PVOID const volatile*)&fdx->notify_cb_thread) == KeGetCurrentThread();
    WdfSpinLockAcquire(fdx->notify_lock);
    if (need_record && (fdx->notify_req == NULL || fdx->notify_req->request == NULL)) {
        WdfSpinLockRelease(fdx->notify_lock);
        QD_TRACE(TRACE_LEVEL_INFO, "%s: not ready\n", "usb_interrupt_pipe_stop_cont_reader");
        return FALSE;
    }
    fdx->notify_stoppers++;
    if (fdx->notify_state == CDC_NOTIFY_IDLE) {
        fdx->notify_state = CDC_NOTIFY_STOPPED;
    } else if (fdx->notify_state == CDC_NOTIFY_ARMED) {
        fdx->notify_state = CDC_NOTIFY_STOPPING;
        KeClearEvent(&fdx->notify_stopped);
        // The completion on this thread has the request; nothing is sent.
        if (!in_callback && fdx->notify_req != NULL && fdx->notify_req->request != NULL) {
            request = fdx->notify_req->request;
            // Keeps the request valid for the cancel after the lock is gone:
            // a failed read's completion replaces it under the lock.
            WdfObjectReference(request);
            fdx->notify_cancelled = TRUE;
        }
    }
    stopping = fdx->notify_state == CDC_NOTIFY_STOPPING;
    WdfSpinLockRelease(fdx->notify_lock);

    if (request != NULL) {
        WdfRequestCancelSentRequest(request);
        WdfObjectDereference(request);
    }
    if (stopping && !in_callback) {
        if (KeGetCurrentIrql() == PASSIVE_LEVEL) {
            KeWaitForSingleObject(&fdx->notify_stopped, Executive, KernelMode, FALSE, NULL);
        } else {
            WdfSpinLockAcquire(fdx->notify_lock);
            stopping = fdx->notify_state == CDC_NOTIFY_STOPPING;
            WdfSpinLockRelease(fdx->notify_lock);
            if (stopping) {
                QD_TRACE(TRACE_LEVEL_ERROR, "%s: Request not cancelled yet\n", "usb_interrupt_pipe_stop_cont_reader");
                *result = STATUS_UNSUCCESSFUL;
            }
        }
    }
    return TRUE;
}

// Under notify_lock: one holder lets the reader go; the last makes a stopped
// reader IDLE, startable again.
static VOID usb_notify_release_locked(PDEVICE_CONTEXT fdx) {
    if (fdx->notify_stoppers > 0) {
        fdx->notify_stoppers--;
    }
    if (fdx->notify_stoppers == 0 && fdx->notify_state == CDC_NOTIFY_STOPPED) {
        fdx->notify_state = CDC_NOTIFY_IDLE;
        usb_notify_uncancel(fdx);
    }
}

NTSTATUS usb_interrupt_pipe_stop_cont_reader(PDEVICE_CONTEXT fdx) {
    NTSTATUS status;

    if (usb_notify_hold(fdx, TRUE, &status)) {
        WdfSpinLockAcquire(fdx->notify_lock);
        usb_notify_release_locked(fdx);
        WdfSpinLockRelease(fdx->notify_lock);
    }
    return status;
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
    // The record cannot be taken away while its reader is ARMED or STOPPING.
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
    if (fdx->notify_state == CDC_NOTIFY_ARMED) {
        rearm = NT_SUCCESS(status);
    } else {
        // A stop nobody waits for any more (it could not wait, or was made
        // from a callback of this read): a registration made since found
        // the reader stopping and sent nothing, so the reader is its.
        rearm =
            fdx->notify_state == CDC_NOTIFY_STOPPING && fdx->notify_stoppers == 0 && ReadAcquire(&fdx->ref_count) > 0;
        if (rearm) {
            fdx->notify_state = CDC_NOTIFY_ARMED;
            usb_notify_uncancel(fdx);
        }
    }
    if (!rearm) {
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
// release): the reader is held stopped, its read cancelled and waited for,
// and only the record detached under the lock is freed. The hold lasts until
// usb_cdc_notify_attach. FALSE, with nothing held or changed, from a child's
// notification callback, whose completion up the stack still uses the
// record.
BOOLEAN usb_cdc_notify_detach(PDEVICE_CONTEXT fdx) {
    WDFMEMORY memory;
    NTSTATUS status;

    if (fdx->notify_lock == NULL) {
        usb_request_free(&fdx->notify_req_mem);
        fdx->notify_req = NULL;
        return TRUE;
    }
    if (ReadPointerAcquire((PVOID const volatile*)&fdx->notify_cb_thread) == KeGetCurrentThread()) {
        QD_TRACE(TRACE_LEVEL_ERROR, "%s: called from a notification callback\n", __func__);
        return FALSE;
    }
    // At PASSIVE_LEVEL and not from the reader's own callback: the hold
    // waits until no read of the record runs.
    usb_notify_hold(fdx, FALSE, &status);
    WdfSpinLockAcquire(fdx->notify_lock);
    memory = fdx->notify_req_mem;
    fdx->notify_req_mem = NULL;
    fdx->notify_req = NULL;
    fdx->notify_cancelled = FALSE;
    WdfSpinLockRelease(fdx->notify_lock);
    usb_request_free(&memory);
    return TRUE;
}

// Hands the reader its pipe and record after a switch (memory NULL: none)
// and lets it go; the registrations counted meanwhile start it.
VOID usb_cdc_notify_attach(PDEVICE_CONTEXT fdx, WDFUSBPIPE pipe, WDFMEMORY memory) {
    usb_notify_lock(fdx);
    fdx->pipe_comm_notify = pipe;
    fdx->notify_req_mem = memory;
    fdx->notify_req = memory != NULL ? (PREQUEST_CONTEXT)WdfMemoryGetBuffer(memory, NULL) : NULL;
    if (fdx->notify_lock != NULL) {
        usb_notify_release_locked(fdx);
    }
    usb_notify_unlock(fdx);
    if (fdx->notify_lock != NULL && memory != NULL && ReadAcquire(&fdx->ref_count) > 0) {
        usb_interrupt_pipe_start_cont_reader(fdx);
    }
}
