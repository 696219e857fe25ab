// The control device: its hardware and power callbacks, the registry of USB
// function devices, and the coordination of the children's power with the
// USB function devices that serve them.
#include "cdc_bus.h"

#define CTRL_WAKE_WAIT_TRIES 300

NTSTATUS ctrl_evt_dev_prepare_hardware(WDFDEVICE device, WDFCMRESLIST resources_raw,
                                       WDFCMRESLIST resources_translated) {
    UNREFERENCED_PARAMETER(resources_raw);
    UNREFERENCED_PARAMETER(resources_translated);
    QD_TRACE(TRACE_LEVEL_INFO, "%s: entered\n", __func__);
    // Under the lock the registrations and the pinning read it with.
    WdfSpinLockAcquire(drv_ctx.usb_devices_lock);
    WritePointerRelease((PVOID volatile*)&drv_ctx.control_device, device);
    WdfSpinLockRelease(drv_ctx.usb_devices_lock);
    return STATUS_SUCCESS;
}

NTSTATUS ctrl_evt_dev_release_hardware(WDFDEVICE device, WDFCMRESLIST resources_translated) {
    UNREFERENCED_PARAMETER(device);
    UNREFERENCED_PARAMETER(resources_translated);
    WdfSpinLockAcquire(drv_ctx.usb_devices_lock);
    WritePointerRelease((PVOID volatile*)&drv_ctx.control_device, NULL);
    WdfSpinLockRelease(drv_ctx.usb_devices_lock);
    QD_TRACE(TRACE_LEVEL_INFO, "%s: entered\n", __func__);
    return STATUS_SUCCESS;
}

// One read of the control device: an operation tests and uses the same value.
WDFDEVICE ctrl_control_device_get(VOID) {
    return (WDFDEVICE)ReadPointerAcquire((PVOID const volatile*)&drv_ctx.control_device);
}

// The control device's present children matching ids, as usb_child_iteration_begin
// does, on a control device read once.
static VOID ctrl_child_iteration_begin(WDFDEVICE control, WDFCHILDLIST* list, PWDF_CHILD_LIST_ITERATOR iterator) {
    *list = WdfFdoGetDefaultChildList(control);
    WDF_CHILD_LIST_ITERATOR_INIT(iterator, WdfRetrievePresentChildren);
    WdfChildListBeginIteration(*list, iterator);
}

// Caller holds drv_ctx.usb_devices_lock.
BOOLEAN ctrl_usb_device_is_listed(WDFDEVICE device) {
    ULONG count = WdfCollectionGetCount(drv_ctx.usb_devices);
    for (ULONG i = 0; i < count; i++) {
        if (WdfCollectionGetItem(drv_ctx.usb_devices, i) == device) {
            return TRUE;
        }
    }
    return FALSE;
}

// Registers a started USB function device and hands it the children that
// match its identity, or reports new ones.
NTSTATUS ctrl_add_usb_device(WDFDEVICE device) {
    PDEVICE_CONTEXT fdx = usb_get_device_context(device);
    WDF_CHILD_LIST_ITERATOR iterator;
    WDFCHILDLIST list;
    WDFDEVICE child;
    WDFDEVICE control;
    ULONG matched = 0;
    NTSTATUS status;

    QD_TRACE(TRACE_LEVEL_VERBOSE, "%s: entered, device %p\n", __func__, device);

    WdfSpinLockAcquire(drv_ctx.usb_devices_lock);
    if (ctrl_usb_device_is_listed(device)) {
        WdfSpinLockRelease(drv_ctx.usb_devices_lock);
        QD_TRACE(TRACE_LEVEL_ERROR, "%s: The USB FDO is already listed\n", __func__);
        return STATUS_CTRL_USB_DEVICE_ALREADY_LISTED;
    }
    status = WdfCollectionAdd(drv_ctx.usb_devices, device);
    if (!NT_SUCCESS(status)) {
        WdfSpinLockRelease(drv_ctx.usb_devices_lock);
        QD_TRACE(TRACE_LEVEL_ERROR, "%s: Failed adding to collection\n", __func__);
        return status;
    }
    // Its last unregistration waited for every pin and left the count at 0,
    // which refuses pins: the rundown starts afresh, the count last, as the
    // pins read it first.
    KeInitializeEvent(&fdx->route_drained, NotificationEvent, FALSE);
    InterlockedExchange(&fdx->route_departing, 0);
    InterlockedExchange(&fdx->route_refs, 1);
    control = drv_ctx.control_device;
    if (control == NULL) {
        // The control device's D0 entry reports children for it later.
        WdfSpinLockRelease(drv_ctx.usb_devices_lock);
        return STATUS_SUCCESS;
    }

    ctrl_child_iteration_begin(control, &list, &iterator);
    for (;;) {
        status = usb_child_retrieve_or_remove_next(&child, list, &iterator, &fdx->ids, FALSE);
        if (!NT_SUCCESS(status) || child == NULL) {
            break;
        }
        PCDC_DEVICE_CONTEXT cdc_pdx = cdc_get_device_context(child);
        // Its pools and openings died with the device that served it before.
        cdc_child_forget(cdc_pdx);
        cdc_child_serve_drop(cdc_child_serve(cdc_pdx, device));
        matched++;
    }
    WdfChildListEndIteration(list, &iterator);
    WdfSpinLockRelease(drv_ctx.usb_devices_lock);

    if (matched == 0 && NT_SUCCESS(status)) {
        return usb_children_plugin(control, &fdx->ids, fdx->child_count, fdx->ext_ctrl_enabled);
    }
    return status;
}

// Cancels what is in flight on an I/O target and lets it take requests again:
// a pinned call blocked in a transfer gets its answer and returns; a
// synchronous data transfer it sends afterwards sees route_departing and
// cancels itself, an asynchronous one is cancelled by the hardware stop's
// own stop of the data pipes.
static VOID ctrl_io_target_flush(WDFIOTARGET target) {
    WdfIoTargetStop(target, WdfIoTargetCancelSentIo);
    WdfIoTargetStart(target);
}

// The data pipe a pool sends on, read under the pool's lock: a routed switch
// of the data interface replaces the pipes under the same lock.
static WDFUSBPIPE ctrl_pool_pipe(PREQ_MANAGER manager, WDFUSBPIPE* pipe) {
    WDFUSBPIPE current;

    if (manager->lock == NULL) {
        return NULL;
    }
    WdfSpinLockAcquire(manager->lock);
    current = *pipe;
    if (current != NULL) {
        WdfObjectReferenceActual(current, (PVOID)ctrl_pool_pipe, __LINE__, (PCHAR)__FILE__);
    }
    WdfSpinLockRelease(manager->lock);
    return current;
}

static VOID ctrl_pool_pipe_flush(PREQ_MANAGER manager, WDFUSBPIPE* pipe) {
    WDFUSBPIPE current = ctrl_pool_pipe(manager, pipe);

    if (current != NULL) {
        ctrl_io_target_flush(WdfUsbTargetPipeGetIoTarget(current));
        WdfObjectDereferenceActual(current, (PVOID)ctrl_pool_pipe, __LINE__, (PCHAR)__FILE__);
    }
}

// A hold on the routing's rundown, refused once the count is 0 (not
// registered, or drained) or the device is departing. A pin that reads
// departing clear just before the unregistration sets it is waited for like
// one taken earlier; a synchronous transfer it sends then sees departing
// set and cancels itself.
BOOLEAN ctrl_route_acquire(PDEVICE_CONTEXT fdx) {
    LONG refs;

    for (;;) {
        refs = ReadAcquire(&fdx->route_refs);
        if (refs == 0 || ReadAcquire(&fdx->route_departing) != 0) {
            return FALSE;
        }
        if (InterlockedCompareExchange(&fdx->route_refs, refs + 1, refs) == refs) {
            return TRUE;
        }
    }
}

// Drops one hold on the routing's rundown; the last one wakes the
// unregistration waiting for it.
VOID ctrl_route_release(PDEVICE_CONTEXT fdx) {
    if (InterlockedDecrement(&fdx->route_refs) == 0) {
        KeSetEvent(&fdx->route_drained, IO_NO_INCREMENT, FALSE);
    }
}

// The references a routed call holds keep the device's objects in memory but
// not alive: the framework deletes the request pools, locks and collections
// with the device all the same. So the device, once unlisted (no call can
// pin it any more), cancels what the calls running on it wait for and waits
// until the last of them has unpinned.
static VOID ctrl_usb_device_drain(PDEVICE_CONTEXT fdx) {
    InterlockedExchange(&fdx->route_departing, 1);
    if (ReadAcquire(&fdx->route_refs) > 1) {
        ctrl_pool_pipe_flush(&fdx->req_in, &fdx->pipe_data_in);
        ctrl_pool_pipe_flush(&fdx->req_out, &fdx->pipe_data_out);
        ctrl_io_target_flush(WdfUsbTargetDeviceGetIoTarget(fdx->usb_device));
        QD_TRACE(TRACE_LEVEL_INFO, "%s: %ld calls running\n", __func__, ReadAcquire(&fdx->route_refs) - 1);
    }
    ctrl_route_release(fdx);
    KeWaitForSingleObject(&fdx->route_drained, Executive, KernelMode, FALSE, NULL);
}

NTSTATUS ctrl_remove_usb_device(WDFDEVICE device) {
    PDEVICE_CONTEXT fdx = usb_get_device_context(device);
    NTSTATUS status;

    QD_TRACE(TRACE_LEVEL_VERBOSE, "%s: entered\n", __func__);

    ctrl_usb_device_final_stop(device);
    WdfSpinLockAcquire(drv_ctx.usb_devices_lock);
    if (!ctrl_usb_device_is_listed(device)) {
        WdfSpinLockRelease(drv_ctx.usb_devices_lock);
        QD_TRACE(TRACE_LEVEL_ERROR, "%s: The USB FDO is not listed\n", __func__);
        status = STATUS_CTRL_USB_DEVICE_NOT_LISTED;
    } else {
        WdfCollectionRemove(drv_ctx.usb_devices, device);
        WdfSpinLockRelease(drv_ctx.usb_devices_lock);
        ctrl_usb_device_drain(fdx);
        if (ctrl_control_device_get() != NULL) {
            status = ctrl_try_to_remove_children(&fdx->ids, device);
        } else {
            QD_TRACE(TRACE_LEVEL_INFO, "%s: no control children\n", __func__);
            status = STATUS_SUCCESS;
        }
    }
    QD_TRACE(TRACE_LEVEL_VERBOSE, "%s: done, status %lx\n", __func__, status);
    return status;
}

// Marks the children matching ids missing, unless one of them is served:
// a device with this identity registered since they were detached.
static NTSTATUS ctrl_children_remove_unserved(WDFDEVICE control, PCDC_IDS ids) {
    WDF_CHILD_LIST_ITERATOR iterator;
    WDFCHILDLIST list;
    WDFDEVICE child;
    BOOLEAN served = FALSE;
    NTSTATUS status;

    QD_TRACE(TRACE_LEVEL_INFO, "%s: entered, qd_enumerator %ws, hwid %ws, location %ws\n", "usb_children_remove",
             ids->qd_enumerator, ids->hwid, ids->location);

    WdfSpinLockAcquire(drv_ctx.usb_devices_lock);
    ctrl_child_iteration_begin(control, &list, &iterator);
    for (;;) {
        status = usb_child_retrieve_or_remove_next(&child, list, &iterator, ids, FALSE);
        if (!NT_SUCCESS(status) || child == NULL) {
            break;
        }
        if (cdc_get_device_context(child)->usb_device != NULL) {
            served = TRUE;
        }
    }
    WdfChildListEndIteration(list, &iterator);
    if (NT_SUCCESS(status) && !served) {
        ctrl_child_iteration_begin(control, &list, &iterator);
        do {
            status = usb_child_retrieve_or_remove_next(&child, list, &iterator, ids, TRUE);
        } while (NT_SUCCESS(status) && child != NULL);
        WdfChildListEndIteration(list, &iterator);
    }
    WdfSpinLockRelease(drv_ctx.usb_devices_lock);
    if (served) {
        QD_TRACE(TRACE_LEVEL_INFO, "%s: served by another device\n", "ctrl_try_to_remove_children");
    }
    return status;
}

// A matching child served by another device: that device has the identity
// now, and its children are not the departing one's to detach or remove.
// Caller holds drv_ctx.usb_devices_lock.
static BOOLEAN ctrl_child_served_elsewhere(PCDC_DEVICE_CONTEXT cdc_pdx, WDFDEVICE departing) {
    return cdc_pdx->usb_device != NULL && cdc_pdx->usb_device != departing;
}

// Detaches the children matching ids that departing serves; removes them
// unless one is open, so that open handles survive until the device comes
// back. departing NULL (a not-in-use report) detaches nothing: it only
// removes children none serves.
NTSTATUS ctrl_try_to_remove_children(PCDC_IDS ids, WDFDEVICE departing) {
    WDF_CHILD_LIST_ITERATOR iterator;
    WDFCHILDLIST list;
    WDFDEVICE child;
    WDFDEVICE control = ctrl_control_device_get();
    ULONG count = 0;
    BOOLEAN open = FALSE;
    BOOLEAN served = FALSE;
    NTSTATUS status;

    if (control == NULL) {
        QD_TRACE(TRACE_LEVEL_INFO, "%s: no control children\n", __func__);
        return STATUS_SUCCESS;
    }

    // The re-attachment walk of a registration runs under the same lock: a
    // device with this identity registering meanwhile either comes first and
    // keeps its children, or after and finds them detached.
    WdfSpinLockAcquire(drv_ctx.usb_devices_lock);
    ctrl_child_iteration_begin(control, &list, &iterator);
    for (;;) {
        status = usb_child_retrieve_or_remove_next(&child, list, &iterator, ids, FALSE);
        if (!NT_SUCCESS(status) || child == NULL) {
            break;
        }
        PCDC_DEVICE_CONTEXT cdc_pdx = cdc_get_device_context(child);
        if (ctrl_child_served_elsewhere(cdc_pdx, departing)) {
            served = TRUE;
            continue;
        }
        if (cdc_pdx->usb_device != NULL) {
            cdc_child_serve_drop(cdc_child_serve(cdc_pdx, NULL));
            cdc_child_forget(cdc_pdx);
        }
    }
    WdfChildListEndIteration(list, &iterator);
    WdfSpinLockRelease(drv_ctx.usb_devices_lock);

    // The departing device served these children, or did until another took
    // them: a routed call may still be reading it, not yet holding it. The
    // device is not gone before every such read is over.
    if (departing != NULL) {
        ctrl_child_iteration_begin(control, &list, &iterator);
        for (;;) {
            NTSTATUS next = usb_child_retrieve_or_remove_next(&child, list, &iterator, ids, FALSE);
            if (!NT_SUCCESS(next) || child == NULL) {
                break;
            }
            cdc_child_route_settle(cdc_get_device_context(child));
        }
        WdfChildListEndIteration(list, &iterator);
    }

    if (served) {
        QD_TRACE(TRACE_LEVEL_INFO, "%s: served by another device\n", __func__);
        return STATUS_SUCCESS;
    }

    // The open tests are the child drivers' code: at passive level.
    ctrl_child_iteration_begin(control, &list, &iterator);
    for (;;) {
        status = usb_child_retrieve_or_remove_next(&child, list, &iterator, ids, FALSE);
        if (!NT_SUCCESS(status) || child == NULL) {
            break;
        }
        CDC_CTRL_CBS cbs;
        cdc_ctrl_cbs_get(cdc_get_device_context(child), &cbs);
        if (cbs.check_open != 0 && cbs.is_open != NULL && cbs.is_open(cbs.ctx) != 0) {
            open = TRUE;
        }
        count++;
    }
    WdfChildListEndIteration(list, &iterator);

    if (count == 0) {
        QD_TRACE(TRACE_LEVEL_INFO, "%s: no matching child\n", __func__);
        status = STATUS_SUCCESS;
    } else if (open) {
        QD_TRACE(TRACE_LEVEL_INFO, "%s: child remains pending due to an open file handle\n", __func__);
        status = STATUS_SUCCESS;
    } else {
        QD_TRACE(TRACE_LEVEL_INFO, "%s: remove children\n", __func__);
        status = ctrl_children_remove_unserved(control, ids);
    }
    QD_TRACE(TRACE_LEVEL_VERBOSE, "%s: done, status %lx\n", __func__, status);
    return status;
}

static NTSTATUS usb_children_get_count(WDFDEVICE device, PULONG count) {
    WDF_CHILD_LIST_ITERATOR iterator;
    WDFCHILDLIST list;
    WDFDEVICE child;
    NTSTATUS status;

    *count = 0;
    usb_child_iteration_begin(device, &list, &iterator);
    while (NT_SUCCESS(status = WdfChildListRetrieveNextDevice(list, &iterator, &child, NULL))) {
        (*count)++;
    }
    WdfChildListEndIteration(list, &iterator);
    return status == STATUS_NO_MORE_ENTRIES ? STATUS_SUCCESS : status;
}

// Item index of the registered USB function devices, referenced with tag so
// that it stays valid once the lock is dropped; NULL when there is none.
static WDFDEVICE ctrl_usb_device_get_referenced(ULONG index, PVOID tag) {
    WDFDEVICE device;
    WdfSpinLockAcquire(drv_ctx.usb_devices_lock);
    device = (WDFDEVICE)WdfCollectionGetItem(drv_ctx.usb_devices, index);
    if (device != NULL) {
        WdfObjectReferenceActual(device, tag, __LINE__, (PCHAR)__FILE__);
    }
    WdfSpinLockRelease(drv_ctx.usb_devices_lock);
    return device;
}

// Waits, for each of the first n registered devices, up to 300 x 10 ms until
// it is back in D0.
static VOID wait_for_usb_devs_wake_up(ULONG n) {
    LARGE_INTEGER interval;
    ULONG tries = 0;
    ULONG i = 0;

    interval.QuadPart = -100000;
    while (i < n) {
        WDFDEVICE device = ctrl_usb_device_get_referenced(i, (PVOID)wait_for_usb_devs_wake_up);
        if (device == NULL) {
            QD_TRACE(TRACE_LEVEL_ERROR, "%s: WdfCollectionGetItem failed (i = %u, device removed?)\n", __func__, i);
            i++;
            continue;
        }
        PDEVICE_CONTEXT fdx = usb_get_device_context(device);
        if (ReadAcquire(&fdx->d0_exited) != 0 && tries < CTRL_WAKE_WAIT_TRIES) {
            tries++;
            KeDelayExecutionThread(KernelMode, FALSE, &interval);
        } else {
            if (ReadAcquire(&fdx->d0_exited) != 0) {
                QD_TRACE(TRACE_LEVEL_ERROR, "%s: Failed to wait for usb device %p to wake up\n", __func__, fdx);
            }
            tries = 0;
            i++;
        }
        WdfObjectDereferenceActual(device, (PVOID)wait_for_usb_devs_wake_up, __LINE__, (PCHAR)__FILE__);
    }
}

NTSTATUS ctrl_evt_device_d0_entry(WDFDEVICE device, WDF_POWER_DEVICE_STATE previous_state) {
    ULONG children = 0;
    ULONG registered;
    NTSTATUS status;

    QD_TRACE(TRACE_LEVEL_INFO, "%s: coming from %s\n", __func__, usb_power_state_name(previous_state));

    status = usb_children_get_count(device, &children);
    if (!NT_SUCCESS(status)) {
        QD_TRACE(TRACE_LEVEL_ERROR, "%s: usb_children_get_count failed, status 0x%lx\n", __func__, status);
        return status;
    }

    WdfSpinLockAcquire(drv_ctx.usb_devices_lock);
    registered = WdfCollectionGetCount(drv_ctx.usb_devices);
    WdfSpinLockRelease(drv_ctx.usb_devices_lock);
    wait_for_usb_devs_wake_up(registered);

    if (children > 0) {
        QD_TRACE(TRACE_LEVEL_VERBOSE, "%s: detected %d children\n", __func__, children);
    } else if (registered > 0) {
        QD_TRACE(TRACE_LEVEL_VERBOSE, "%s: No enumerated children detected, try to re-enumerate\n", __func__);
        for (ULONG i = 0; i < registered; i++) {
            WDFDEVICE usb_device = ctrl_usb_device_get_referenced(i, (PVOID)ctrl_evt_device_d0_entry);
            if (usb_device == NULL) {
                continue;
            }
            PDEVICE_CONTEXT fdx = usb_get_device_context(usb_device);
            usb_children_plugin(device, &fdx->ids, fdx->child_count, fdx->ext_ctrl_enabled);
            WdfObjectDereferenceActual(usb_device, (PVOID)ctrl_evt_device_d0_entry, __LINE__, (PCHAR)__FILE__);
        }
        QD_TRACE(TRACE_LEVEL_VERBOSE, "%s: Done\n", __func__);
    } else {
        QD_TRACE(TRACE_LEVEL_VERBOSE, "%s: No connected devices detected, exiting\n", __func__);
    }
    return STATUS_SUCCESS;
}

NTSTATUS ctrl_evt_device_d0_exit(WDFDEVICE device, WDF_POWER_DEVICE_STATE target_state) {
    UNREFERENCED_PARAMETER(device);
    QD_TRACE(TRACE_LEVEL_INFO, "%s: moving to %s\n", __func__, usb_power_state_name(target_state));
    return STATUS_SUCCESS;
}

NTSTATUS ctrl_usb_device_d0_entry(WDFDEVICE device, WDF_POWER_DEVICE_STATE previous_state) {
    QD_TRACE(TRACE_LEVEL_VERBOSE, "%s: entered, prev_state %s\n", __func__, usb_power_state_name(previous_state));
    InterlockedExchange(&usb_get_device_context(device)->final_stopped, 0);
    return ctrl_usb_device_d0_entry_exit(device, TRUE, previous_state == WdfPowerDeviceD3Final);
}

NTSTATUS ctrl_usb_device_d0_exit(WDFDEVICE device, WDF_POWER_DEVICE_STATE target_state) {
    QD_TRACE(TRACE_LEVEL_VERBOSE, "%s: entered, target_state %s\n", __func__, usb_power_state_name(target_state));
    if (target_state == WdfPowerDeviceD3Final) {
        InterlockedExchange(&usb_get_device_context(device)->final_stopped, 1);
    }
    return ctrl_usb_device_d0_entry_exit(device, FALSE, target_state == WdfPowerDeviceD3Final);
}

// A device removed while in a low-power state passes no D0 exit to
// D3Final: its children hear their stop-final from its hardware stop, while
// it still serves them.
VOID ctrl_usb_device_final_stop(WDFDEVICE device) {
    PDEVICE_CONTEXT fdx = usb_get_device_context(device);

    if (ReadAcquire(&fdx->d0_exited) == 0 || InterlockedExchange(&fdx->final_stopped, 1) != 0) {
        return;
    }
    QD_TRACE(TRACE_LEVEL_INFO, "%s: removed in a low-power state, stopping the children\n", __func__);
    ctrl_usb_device_d0_entry_exit(device, FALSE, TRUE);
}

// Tells the children served by device that it is stopping or starting.
NTSTATUS ctrl_usb_device_d0_entry_exit(WDFDEVICE device, BOOLEAN entry, BOOLEAN final) {
    PDEVICE_CONTEXT fdx = usb_get_device_context(device);
    WDF_CHILD_LIST_ITERATOR iterator;
    WDFCHILDLIST list;
    WDFDEVICE child;
    WDFDEVICE control;
    NTSTATUS failure = STATUS_SUCCESS;
    NTSTATUS status;

    QD_TRACE(TRACE_LEVEL_VERBOSE, "%s: entered, device %p, %s\n", __func__, device, entry ? "Start" : "Stop");
    control = ctrl_control_device_get();
    if (control == NULL) {
        QD_TRACE(TRACE_LEVEL_INFO, "%s: control device is missing\n", __func__);
        return STATUS_SUCCESS;
    }

    // The children run inside this device's power transition: a wake-up they
    // ask for must not wait for the D0 the transition itself brings.
    WritePointerRelease((PVOID volatile*)&fdx->power_cb_thread, KeGetCurrentThread());
    ctrl_child_iteration_begin(control, &list, &iterator);
    for (;;) {
        status = usb_child_retrieve_or_remove_next(&child, list, &iterator, &fdx->ids, FALSE);
        if (!NT_SUCCESS(status) || child == NULL) {
            break;
        }
        PCDC_DEVICE_CONTEXT cdc_pdx = cdc_get_device_context(child);
        PFN_CDC_CTRL_CB callback;
        LONG child_status = 0;

        QD_TRACE(TRACE_LEVEL_VERBOSE, "%s: Handling child %p\n", __func__, child);
        WdfSpinLockAcquire(drv_ctx.usb_devices_lock);
        const BOOLEAN elsewhere = ctrl_child_served_elsewhere(cdc_pdx, device);
        WdfSpinLockRelease(drv_ctx.usb_devices_lock);
        if (elsewhere) {
            // The identity moved on to a device plugged in since.
            continue;
        }
        CDC_CTRL_CBS cbs;
        cdc_ctrl_cbs_get(cdc_pdx, &cbs);
        if (cbs.start_final == NULL || cbs.stop_final == NULL || cbs.ctx == NULL) {
            QD_TRACE(TRACE_LEVEL_INFO, "%s: NULL control callbacks or context\n", __func__);
            continue;
        }
        if (cbs.check_open != 0 && cbs.is_open != NULL && cbs.is_open(cbs.ctx) == 0) {
            QD_TRACE(TRACE_LEVEL_INFO, "%s: child device is closed\n", __func__);
            continue;
        }
        QD_TRACE(TRACE_LEVEL_INFO, "%s: %s I/O\n", __func__, entry ? "start" : "stop");
        if (entry) {
            callback = final ? cbs.start_final : cbs.start;
        } else {
            callback = final ? cbs.stop_final : cbs.stop;
        }
        if (callback != NULL) {
            child_status = callback(cbs.ctx);
        }
        if (child_status != 0) {
            QD_TRACE(TRACE_LEVEL_ERROR, "%s: Failed to change state, entry=%d, from_or_to_final=%d, status=0x%x\n",
                     __func__, entry, final, child_status);
            failure = child_status;
        }
    }
    WdfChildListEndIteration(list, &iterator);
    WritePointerRelease((PVOID volatile*)&fdx->power_cb_thread, NULL);

    if (failure != STATUS_SUCCESS) {
        QD_TRACE(TRACE_LEVEL_ERROR, "%s: returning failure, status=0x%x\n", __func__, failure);
        return failure;
    }
    return STATUS_SUCCESS;
}
