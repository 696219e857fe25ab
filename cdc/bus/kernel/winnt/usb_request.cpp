// Request records: a framework request with its data-buffer object, created
// once and used again and again.
#include "cdc_bus.h"

// Pool records and the control record carry no buffer of their own: their
// preallocated memory object points here until a transfer assigns the
// caller's buffer.
static UCHAR usb_request_placeholder[1];

// Creates one record bound to target (a pipe or the USB target device) and
// owned by parent. On a failure after the record's memory exists, the handle
// still holds it.
NTSTATUS usb_request_allocate_parented(WDFOBJECT parent, WDFIOTARGET target, WDFMEMORY* memory, size_t size) {
    WDF_OBJECT_ATTRIBUTES attributes;
    PREQUEST_CONTEXT rqx = NULL;
    NTSTATUS status;

    WDF_OBJECT_ATTRIBUTES_INIT(&attributes);
    attributes.ParentObject = parent;

    status = WdfMemoryCreate(&attributes, NonPagedPool, CDC_POOL_TAG, sizeof(REQUEST_CONTEXT), memory, (PVOID*)&rqx);
    if (!NT_SUCCESS(status)) {
        QD_TRACE(TRACE_LEVEL_ERROR, "%s: WdfMemoryCreate failed, status %lx\n", __func__, status);
        *memory = NULL;
        return status;
    }
    RtlZeroMemory(rqx, sizeof(REQUEST_CONTEXT));

    status = WdfRequestCreate(&attributes, target, &rqx->request);
    if (!NT_SUCCESS(status)) {
        QD_TRACE(TRACE_LEVEL_ERROR, "%s: WdfRequestCreate failed, status %lx\n", __func__, status);
        rqx->request = NULL;
        return status;
    }
    rqx->irp = WdfRequestWdmGetIrp(rqx->request);
    rqx->status = STATUS_SUCCESS;
    rqx->usbd_status = USBD_STATUS_SUCCESS;

    // The data buffer belongs to the record and goes with it.
    attributes.ParentObject = *memory;
    if (size != 0) {
        status = WdfMemoryCreate(&attributes, NonPagedPool, CDC_POOL_TAG, size, &rqx->memory, NULL);
        if (!NT_SUCCESS(status)) {
            QD_TRACE(TRACE_LEVEL_ERROR, "%s: %s failed, status %lx\n", __func__, "WdfMemoryCreate", status);
        }
    } else {
        status = WdfMemoryCreatePreallocated(&attributes, usb_request_placeholder, sizeof(usb_request_placeholder),
                                             &rqx->memory);
        if (!NT_SUCCESS(status)) {
            QD_TRACE(TRACE_LEVEL_ERROR, "%s: %s failed, status %lx\n", __func__, "WdfMemoryCreatePreallocated", status);
        }
    }
    return status;
}

NTSTATUS usb_request_allocate(WDFIOTARGET target, WDFMEMORY* memory, size_t size) {
    return usb_request_allocate_parented(target, target, memory, size);
}

// The data-buffer object goes with the record, its parent.
VOID usb_request_free(WDFMEMORY* memory) {
    PREQUEST_CONTEXT rqx;

    if (*memory == NULL) {
        return;
    }
    rqx = (PREQUEST_CONTEXT)WdfMemoryGetBuffer(*memory, NULL);
    if (rqx->request != NULL) {
        WdfObjectDelete(rqx->request);
        rqx->request = NULL;
    }
    WdfObjectDelete(*memory);
    *memory = NULL;
}

// Makes a completed request sendable again. A request whose last use failed
// is replaced rather than reused, except after the device answered as gone:
// creating a request cannot help then, so the old one is reused, and the
// next send finds out whether the device is back (after a port reset, say)
// or really gone. Either way the record stays usable.
NTSTATUS usb_request_reuse(WDFIOTARGET target, PREQUEST_CONTEXT rqx) {
    WDF_REQUEST_REUSE_PARAMS params;
    WDF_OBJECT_ATTRIBUTES attributes;
    NTSTATUS status;

    if (rqx->status >= 0 && rqx->request != NULL) {
        WDF_REQUEST_REUSE_PARAMS_INIT(&params, WDF_REQUEST_REUSE_NO_FLAGS, STATUS_SUCCESS);
        status = WdfRequestReuse(rqx->request, &params);
        if (NT_SUCCESS(status)) {
            rqx->irp->MdlAddress = NULL;
            return STATUS_SUCCESS;
        }
        // Still carrying its last use: replaced like a failed one.
        QD_TRACE(TRACE_LEVEL_ERROR, "%s: WdfRequestReuse failed, status %lx\n", __func__, status);
        rqx->status = status;
    }

    QD_TRACE(TRACE_LEVEL_INFO, "%s: request %s, status %lx, usbd status %lx\n", __func__,
             rqx->status == STATUS_CANCELLED        ? "cancelled"
             : rqx->status == STATUS_NO_SUCH_DEVICE ? "device removed, fail request creation"
                                                    : "failed",
             rqx->status, rqx->usbd_status);
    if (rqx->status == STATUS_NO_SUCH_DEVICE && rqx->request != NULL) {
        WDF_REQUEST_REUSE_PARAMS_INIT(&params, WDF_REQUEST_REUSE_NO_FLAGS, STATUS_SUCCESS);
        status = WdfRequestReuse(rqx->request, &params);
        if (NT_SUCCESS(status)) {
            rqx->irp->MdlAddress = NULL;
            rqx->status = STATUS_SUCCESS;
            rqx->usbd_status = USBD_STATUS_SUCCESS;
            return STATUS_SUCCESS;
        }
        QD_TRACE(TRACE_LEVEL_ERROR, "%s: WdfRequestReuse failed, status %lx\n", __func__, status);
    }

    if (rqx->request != NULL) {
        WdfObjectDelete(rqx->request);
        rqx->request = NULL;
        rqx->irp = NULL;
    }
    // Owned by the record, so the replacement lives exactly as long as it.
    WDF_OBJECT_ATTRIBUTES_INIT(&attributes);
    attributes.ParentObject = rqx->memory;
    status = WdfRequestCreate(&attributes, target, &rqx->request);
    if (!NT_SUCCESS(status)) {
        QD_TRACE(TRACE_LEVEL_INFO, "%s: failed creating a new request %lx\n", __func__, status);
        rqx->request = NULL;
        rqx->irp = NULL;
        return status;
    }
    rqx->irp = WdfRequestWdmGetIrp(rqx->request);
    rqx->status = STATUS_SUCCESS;
    rqx->usbd_status = USBD_STATUS_SUCCESS;
    return STATUS_SUCCESS;
}

// Caller holds the pool's lock; rqx->next_free is NULL.
static VOID req_free_append(PREQ_MANAGER manager, PREQUEST_CONTEXT rqx) {
    if (manager->free_tail != NULL) {
        manager->free_tail->next_free = rqx;
    } else {
        manager->free_head = rqx;
    }
    manager->free_tail = rqx;
    manager->free_count++;
}

// Moves the records given back without the lock to the free list's tail, in
// the order they came back. Caller holds the pool's lock.
static VOID req_free_collect(PREQ_MANAGER manager) {
    PREQUEST_CONTEXT stack;
    PREQUEST_CONTEXT oldest = NULL;

    if (ReadPointerAcquire((PVOID const volatile*)&manager->returned) == NULL) {
        return;
    }
    stack = (PREQUEST_CONTEXT)InterlockedExchangePointer((PVOID volatile*)&manager->returned, NULL);
    while (stack != NULL) {
        PREQUEST_CONTEXT next = stack->next_free;
        stack->next_free = oldest;
        oldest = stack;
        stack = next;
    }
    while (oldest != NULL) {
        PREQUEST_CONTEXT next = oldest->next_free;
        oldest->next_free = NULL;
        req_free_append(manager, oldest);
        oldest = next;
    }
}

// Pushes a record whose request is recycled onto the returned stack: no
// lock, and the take that collects it reads what was written before.
static VOID req_free_push(PREQ_MANAGER manager, PREQUEST_CONTEXT rqx) {
    PREQUEST_CONTEXT head;

    InterlockedExchange(&rqx->busy, FALSE);
    do {
        head = (PREQUEST_CONTEXT)ReadPointerAcquire((PVOID const volatile*)&manager->returned);
        rqx->next_free = head;
    } while (InterlockedCompareExchangePointer((PVOID volatile*)&manager->returned, rqx, head) != head);
}

// Pool records belong to the USB target device, not to the pipe they are
// first sent on: a setting switch replaces the pipes while the pool lives on,
// and every transfer formats its request for the pipe in force.
NTSTATUS req_manager_create(PREQ_MANAGER manager, WDFUSBDEVICE usb_device, WDFUSBPIPE pipe, ULONG count) {
    WDFIOTARGET target = pipe != NULL ? WdfUsbTargetPipeGetIoTarget(pipe) : WdfUsbTargetDeviceGetIoTarget(usb_device);
    PREQUEST_CONTEXT rqx;
    ULONG free_count;
    ULONG busy_count;
    WDFMEMORY memory;
    NTSTATUS status;

    WdfSpinLockAcquire(manager->lock);
    req_free_collect(manager);
    free_count = manager->free_count;
    busy_count = (ULONG)ReadAcquire(&manager->busy_count);
    WdfSpinLockRelease(manager->lock);
    if (free_count != 0 || busy_count != 0) {
        QD_TRACE(TRACE_LEVEL_ERROR, "%s: re-allocate requests, %ld %ld\n", __func__, free_count, busy_count);
    }

    for (ULONG i = 0; i < count; i++) {
        status = usb_request_allocate_parented(usb_device, target, &memory, 0);
        if (!NT_SUCCESS(status)) {
            QD_TRACE(TRACE_LEVEL_ERROR, "%s: usb_request_allocate failed, status %lx\n", __func__, status);
            // A half-made record is never handed out, and the records made
            // before it go too: the next try finds the pool empty.
            usb_request_free(&memory);
            req_manager_drain(manager);
            return status;
        }
        rqx = (PREQUEST_CONTEXT)WdfMemoryGetBuffer(memory, NULL);
        rqx->self = memory;
        WdfSpinLockAcquire(manager->lock);
        rqx->next_record = manager->records;
        manager->records = rqx;
        req_free_append(manager, rqx);
        WdfSpinLockRelease(manager->lock);
    }
    InterlockedExchange((volatile LONG*)&manager->destroyed, 0);
    return STATUS_SUCCESS;
}

// Marks an idle manager destroyed, which keeps prepare away; FALSE, and
// nothing changed, while a record is busy or a purge is outstanding.
BOOLEAN req_manager_close(PREQ_MANAGER manager) {
    BOOLEAN idle;

    QD_TRACE(TRACE_LEVEL_VERBOSE, "%s: entered\n", "req_manager_destroy");
    WdfSpinLockAcquire(manager->lock);
    idle = ReadAcquire(&manager->busy_count) == 0 && ReadAcquire(&manager->purge_in_progress) == 0;
    if (idle) {
        manager->destroyed = 1;
    }
    WdfSpinLockRelease(manager->lock);
    if (!idle) {
        QD_TRACE(TRACE_LEVEL_ERROR, "%s: pending requests\n", "req_manager_destroy");
    }
    return idle;
}

VOID req_manager_reopen(PREQ_MANAGER manager) { InterlockedExchange((volatile LONG*)&manager->destroyed, 0); }

LONG req_manager_callback_enter(PREQ_MANAGER manager) {
    PKTHREAD self = KeGetCurrentThread();

    for (LONG i = 0; i < CDC_POOL_CB_SLOTS; i++) {
        if (InterlockedCompareExchangePointer((PVOID volatile*)&manager->cb_threads[i], self, NULL) == NULL) {
            return i;
        }
    }
    return -1;
}

VOID req_manager_callback_leave(PREQ_MANAGER manager, LONG slot) {
    InterlockedExchangePointer((PVOID volatile*)&manager->cb_threads[slot], NULL);
    // After the clearing: a closing that set cb_waiting before it either saw
    // the slot clear or is woken here.
    if (InterlockedCompareExchange(&manager->cb_waiting, 0, 0) != 0) {
        KeSetEvent(&manager->callbacks_idle, IO_NO_INCREMENT, FALSE);
    }
}

// A slot held by the calling thread is a callback it is running itself (a
// child closing from inside its own callback); any other is waited for.
static BOOLEAN req_manager_callbacks_others(PREQ_MANAGER manager) {
    PKTHREAD self = KeGetCurrentThread();

    for (LONG i = 0; i < CDC_POOL_CB_SLOTS; i++) {
        PKTHREAD running = (PKTHREAD)ReadPointerAcquire((PVOID const volatile*)&manager->cb_threads[i]);
        if (running != NULL && running != self) {
            return TRUE;
        }
    }
    return FALSE;
}

BOOLEAN req_manager_callbacks_wait(PREQ_MANAGER manager) {
    if (!req_manager_callbacks_others(manager)) {
        return TRUE;
    }
    if (KeGetCurrentIrql() > PASSIVE_LEVEL) {
        QD_TRACE(TRACE_LEVEL_ERROR, "%s: completion callbacks running\n", "req_manager_destroy");
        return FALSE;
    }
    InterlockedExchange(&manager->cb_waiting, 1);
    while (req_manager_callbacks_others(manager)) {
        KeWaitForSingleObject(&manager->callbacks_idle, Executive, KernelMode, FALSE, NULL);
    }
    InterlockedExchange(&manager->cb_waiting, 0);
    return TRUE;
}

WDFUSBPIPE usb_data_pipe_pin(PREQ_MANAGER manager, WDFUSBPIPE* pipe) {
    WDFUSBPIPE pinned;

    WdfSpinLockAcquire(manager->lock);
    pinned = *pipe;
    if (pinned != NULL) {
        manager->pipe_users++;
    }
    WdfSpinLockRelease(manager->lock);
    return pinned;
}

VOID usb_data_pipe_unpin(PREQ_MANAGER manager, WDFUSBPIPE pipe) {
    if (pipe == NULL) {
        return;
    }
    WdfSpinLockAcquire(manager->lock);
    manager->pipe_users--;
    WdfSpinLockRelease(manager->lock);
}

// Frees the records of a closed manager; destroyed keeps prepare away and
// nothing is busy, so every record is on the free list.
VOID req_manager_drain(PREQ_MANAGER manager) {
    PREQUEST_CONTEXT rqx;
    WDFMEMORY memory;

    for (;;) {
        WdfSpinLockAcquire(manager->lock);
        req_free_collect(manager);
        rqx = manager->free_head;
        if (rqx != NULL) {
            manager->free_head = rqx->next_free;
            if (manager->free_head == NULL) {
                manager->free_tail = NULL;
            }
            manager->free_count--;
            for (PREQUEST_CONTEXT* link = &manager->records; *link != NULL; link = &(*link)->next_record) {
                if (*link == rqx) {
                    *link = rqx->next_record;
                    break;
                }
            }
        }
        WdfSpinLockRelease(manager->lock);
        if (rqx == NULL) {
            break;
        }
        memory = rqx->self;
        usb_request_free(&memory);
    }
}

NTSTATUS req_manager_destroy(PREQ_MANAGER manager) {
    if (!req_manager_close(manager)) {
        return STATUS_UNSUCCESSFUL;
    }
    req_manager_drain(manager);
    return STATUS_SUCCESS;
}

static BOOLEAN usb_cdc_need_zlp(PDEVICE_CONTEXT fdx, ULONG length) {
    if (fdx->zlp_enabled != 0 && fdx->data_out_maxps > 0) {
        return length > 0 && length % fdx->data_out_maxps == 0;
    }
    return TRUE;
}

// A free record made sendable, or NULL with *reason set. Caller holds the
// pool's lock; the record stays free until it is unlinked.
static PREQUEST_CONTEXT usb_qd_request_peek(PREQUEST_CONTEXT rqx, WDFUSBPIPE target, const char** reason,
                                            NTSTATUS* status) {
    if (rqx == NULL) {
        *reason = "no more free requests";
        return NULL;
    }
    // Under the lock, so a purge never reads a request being replaced.
    if (rqx->status < 0) {
        *status = usb_request_reuse(WdfUsbTargetPipeGetIoTarget(target), rqx);
        if (!NT_SUCCESS(*status)) {
            // Stays free for a later try rather than stuck in busy.
            *reason = "failed recycling request";
            return NULL;
        }
    }
    return rqx;
}

// Caller holds the pool's lock; rqx is the head of the free list.
static VOID usb_qd_request_take(PREQ_MANAGER manager, PREQUEST_CONTEXT rqx) {
    manager->free_head = rqx->next_free;
    if (manager->free_head == NULL) {
        manager->free_tail = NULL;
    }
    rqx->next_free = NULL;
    InterlockedExchange(&rqx->busy, TRUE);
    manager->free_count--;
    InterlockedIncrement(&manager->busy_count);
}

// The pipe is read under the pool's lock: a closing of the data path drops
// it under the same lock only while nothing is busy, so a record taken here
// keeps the pipe alive. So is the packet size the zero-length packet is
// decided by, which an opening publishes with the pipe.
BOOLEAN usb_qd_request_prepare(PREQ_MANAGER manager, WDFUSBPIPE* pipe, PDEVICE_CONTEXT zlp_fdx, ULONG length,
                               PDEVICE_CONTEXT owner, PFN_CDC_DATA_COMPLETE cb_complete, PVOID cb_ctx,
                               PREQUEST_CONTEXT* rqx, PREQUEST_CONTEXT* zlp_rqx, WDFUSBPIPE* target,
                               PBOOLEAN short_of_packet) {
    const char* reason = NULL;
    NTSTATUS status = STATUS_SUCCESS;
    PREQUEST_CONTEXT data = NULL;
    PREQUEST_CONTEXT packet = NULL;

    *rqx = NULL;
    *zlp_rqx = NULL;
    *short_of_packet = FALSE;
    WdfSpinLockAcquire(manager->lock);
    *target = *pipe;
    if (*target == NULL) {
        reason = "disabled";
    } else if (ReadAcquire(&manager->purge_in_progress) != 0 || manager->destroyed != 0) {
        reason = "being purged or destroyed";
    } else {
        req_free_collect(manager);
        data = usb_qd_request_peek(manager->free_head, *target, &reason, &status);
        if (data != NULL && zlp_fdx != NULL && usb_cdc_need_zlp(zlp_fdx, length)) {
            packet = usb_qd_request_peek(data->next_free, *target, &reason, &status);
            if (packet == NULL) {
                *short_of_packet = TRUE;
                data = NULL;
            }
        }
        if (data != NULL) {
            usb_qd_request_take(manager, data);
            if (packet != NULL) {
                usb_qd_request_take(manager, packet);
            }
        }
    }
    WdfSpinLockRelease(manager->lock);

    if (reason != NULL) {
        QD_TRACE(TRACE_LEVEL_ERROR, "%s: %s, status %lx\n", "usb_qd_request_prepare", reason, status);
        return FALSE;
    }

    data->cb_complete = cb_complete;
    data->cb_ctx = cb_ctx;
    data->owner_device = owner->ids.device;
    data->owner_fdx = owner;
    data->zlp_partner = packet;
    if (packet != NULL) {
        packet->cb_complete = NULL;
        packet->cb_ctx = NULL;
        packet->owner_device = owner->ids.device;
        packet->owner_fdx = owner;
        packet->zlp_partner = NULL;
    }
    *rqx = data;
    *zlp_rqx = packet;
    return TRUE;
}

// Recycles a completed record's request in place, without the pool's lock:
// TRUE when the request is kept. FALSE for a request to replace (its last use
// failed, or the recycling itself did), which only the locked path does, so
// that a purge never reads a request being replaced.
static BOOLEAN usb_request_recycle(PREQUEST_CONTEXT rqx) {
    WDF_REQUEST_REUSE_PARAMS params;
    NTSTATUS status;

    if (rqx->status < 0 || rqx->request == NULL) {
        return FALSE;
    }
    WDF_REQUEST_REUSE_PARAMS_INIT(&params, WDF_REQUEST_REUSE_NO_FLAGS, STATUS_SUCCESS);
    status = WdfRequestReuse(rqx->request, &params);
    if (!NT_SUCCESS(status)) {
        QD_TRACE(TRACE_LEVEL_ERROR, "%s: WdfRequestReuse failed, status %lx\n", "usb_request_reuse", status);
        rqx->status = status;
        return FALSE;
    }
    rqx->irp->MdlAddress = NULL;
    return TRUE;
}

// Caller holds the pool's lock. recycled: the request was recycled in place.
static VOID usb_qd_request_put(PREQ_MANAGER manager, PREQUEST_CONTEXT rqx, WDFUSBPIPE target, BOOLEAN recycled) {
    if (target != NULL && !recycled) {
        usb_request_reuse(WdfUsbTargetPipeGetIoTarget(target), rqx);
    }
    InterlockedExchange(&rqx->busy, FALSE);
    rqx->next_free = NULL;
    req_free_append(manager, rqx);
    InterlockedDecrement(&manager->busy_count);
}

// A purge waits for the records busy when it began; the give-back that
// brings busy_count to its end clears it. Caller holds the pool's lock.
static VOID usb_qd_purge_update(PREQ_MANAGER manager) {
    LONG busy;

    if (ReadAcquire(&manager->purge_in_progress) != 0) {
        busy = ReadAcquire(&manager->busy_count);
        InterlockedExchange(&manager->purge_in_progress, busy);
        if (busy == 0) {
            QD_TRACE(TRACE_LEVEL_INFO, "%s: purged\n", "update_purge_in_progress");
        }
    }
}

VOID usb_qd_request_release(PREQ_MANAGER manager, PREQUEST_CONTEXT rqx, PREQUEST_CONTEXT zlp_rqx, WDFUSBPIPE target) {
    BOOLEAN data_recycled = FALSE;
    BOOLEAN zlp_recycled = FALSE;

    rqx->zlp_partner = NULL;
    if (target != NULL) {
        data_recycled = usb_request_recycle(rqx);
        zlp_recycled = zlp_rqx != NULL && usb_request_recycle(zlp_rqx);
        if (data_recycled && (zlp_rqx == NULL || zlp_recycled)) {
            // Back without the lock. A purge marks itself before it counts
            // what is busy, and the count drops before the mark is read: one
            // of the two sees the other, so the last give-back of a purge
            // always ends it under the lock.
            req_free_push(manager, rqx);
            if (zlp_rqx != NULL) {
                req_free_push(manager, zlp_rqx);
            }
            InterlockedExchangeAdd(&manager->busy_count, zlp_rqx != NULL ? -2 : -1);
            if (ReadAcquire(&manager->purge_in_progress) != 0) {
                WdfSpinLockAcquire(manager->lock);
                usb_qd_purge_update(manager);
                WdfSpinLockRelease(manager->lock);
            }
            return;
        }
    }
    WdfSpinLockAcquire(manager->lock);
    usb_qd_request_put(manager, rqx, target, data_recycled);
    if (zlp_rqx != NULL) {
        usb_qd_request_put(manager, zlp_rqx, target, zlp_recycled);
    }
    usb_qd_purge_update(manager);
    WdfSpinLockRelease(manager->lock);
}

NTSTATUS usb_cdc_data_io_init_fdx(WDFDEVICE child, PDEVICE_CONTEXT fdx, ULONG req_in_n, ULONG req_out_n) {
    NTSTATUS status = STATUS_SUCCESS;

    if (fdx == NULL) {
        QD_TRACE(TRACE_LEVEL_ERROR, "%s: the USB device is disconnected\n", "usb_cdc_data_io_init");
        return STATUS_DEVICE_NOT_CONNECTED;
    }
    QD_TRACE(TRACE_LEVEL_VERBOSE, "%s: entered, req_in_n %lx, req_out_n %lx\n", "usb_cdc_data_io_init", req_in_n,
             req_out_n);
    // Counts no data path needs would take the system's memory, and a write
    // count past half of 32 bits doubles to a pool that wraps to nothing.
    if (req_in_n > CDC_MAX_POOL_RECORDS || req_out_n > CDC_MAX_POOL_RECORDS / 2) {
        QD_TRACE(TRACE_LEVEL_ERROR, "%s: pool sizes %lu, %lu refused\n", "usb_cdc_data_io_init", req_in_n, req_out_n);
        return STATUS_INVALID_PARAMETER;
    }

    if (fdx->usb_ifc_data != NULL) {
        if (InterlockedIncrement(&fdx->data_io_count) > 1) {
            cdc_child_hold(cdc_get_device_context(child), fdx, &cdc_get_device_context(child)->data_io_refs);
            QD_TRACE(TRACE_LEVEL_ERROR, "%s: already performed\n", "usb_cdc_data_io_init");
            return STATUS_SUCCESS;
        }
        // A write followed by a zero-length packet takes two records.
        status = req_manager_create(&fdx->req_out, fdx->usb_device, fdx->pipe_data_out, 2 * req_out_n);
        if (!NT_SUCCESS(status)) {
            QD_TRACE(TRACE_LEVEL_ERROR, "%s: req_manager_create failed for PIPE OUT, status %lx\n",
                     "usb_cdc_data_io_init", status);
            // Not counted: the next init tries again rather than finding
            // the pools made.
            InterlockedDecrement(&fdx->data_io_count);
            return status;
        }
        status = req_manager_create(&fdx->req_in, fdx->usb_device, fdx->pipe_data_in, req_in_n);
        if (!NT_SUCCESS(status)) {
            QD_TRACE(TRACE_LEVEL_ERROR, "%s: req_manager_create failed for PIPE IN, status %lx\n",
                     "usb_cdc_data_io_init", status);
            req_manager_destroy(&fdx->req_out);
            InterlockedDecrement(&fdx->data_io_count);
            return status;
        }
        cdc_child_hold(cdc_get_device_context(child), fdx, &cdc_get_device_context(child)->data_io_refs);
    }
    QD_TRACE(TRACE_LEVEL_VERBOSE, "%s: done\n", "usb_cdc_data_io_init");
    return status;
}

NTSTATUS usb_cdc_data_io_init(WDFDEVICE child, ULONG req_in_n, ULONG req_out_n) {
    return usb_cdc_data_io_init_fdx(child, cdc_serving_fdx(child), req_in_n, req_out_n);
}

// Only pools this child counted on fdx are given back: those of a device
// that served it before died with that device.
NTSTATUS usb_cdc_data_io_uninit_fdx(WDFDEVICE child, PDEVICE_CONTEXT fdx) {
    if (fdx == NULL) {
        QD_TRACE(TRACE_LEVEL_ERROR, "%s: the USB device is disconnected\n", "usb_cdc_data_io_uninit");
        return STATUS_DEVICE_NOT_CONNECTED;
    }
    QD_TRACE(TRACE_LEVEL_VERBOSE, "%s: entered\n", "usb_cdc_data_io_uninit");
    if (fdx->usb_ifc_data != NULL) {
        if (!cdc_child_release(cdc_get_device_context(child), fdx, &cdc_get_device_context(child)->data_io_refs)) {
            QD_TRACE(TRACE_LEVEL_ERROR, "%s: no request pools of this child\n", "usb_cdc_data_io_uninit");
            return STATUS_SUCCESS;
        }
        if (InterlockedDecrement(&fdx->data_io_count) > 0) {
            QD_TRACE(TRACE_LEVEL_ERROR, "%s: still in use\n", "usb_cdc_data_io_uninit");
            return STATUS_SUCCESS;
        }
        // Both pools idle before either goes: a refusal leaves the child's
        // pools, its count and the device's count as they were.
        if (!req_manager_close(&fdx->req_out)) {
            goto refused;
        }
        if (!req_manager_close(&fdx->req_in)) {
            req_manager_reopen(&fdx->req_out);
            goto refused;
        }
        // Closed, no transfer starts: what is left is callbacks of finished
        // transfers, which return before the child hears the pools are gone.
        if (!req_manager_callbacks_wait(&fdx->req_out) || !req_manager_callbacks_wait(&fdx->req_in)) {
            req_manager_reopen(&fdx->req_out);
            req_manager_reopen(&fdx->req_in);
            goto refused;
        }
        req_manager_drain(&fdx->req_out);
        req_manager_drain(&fdx->req_in);
    }
    QD_TRACE(TRACE_LEVEL_VERBOSE, "%s: done\n", "usb_cdc_data_io_uninit");
    return STATUS_SUCCESS;

refused:
    InterlockedIncrement(&fdx->data_io_count);
    cdc_child_hold(cdc_get_device_context(child), fdx, &cdc_get_device_context(child)->data_io_refs);
    return STATUS_UNSUCCESSFUL;
}

NTSTATUS usb_cdc_data_io_uninit(WDFDEVICE child) { return usb_cdc_data_io_uninit_fdx(child, cdc_serving_fdx(child)); }
