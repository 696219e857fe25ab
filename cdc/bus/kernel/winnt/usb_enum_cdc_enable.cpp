// Opening and closing of a function device's data path: the counted enable
// requested by children (and by the registry override), the switch between
// the data interface's alternate settings, and the control request record
// that lives while the path is open.
#include "cdc_bus.h"

// After a setting change: finds the notification pipe again and gives it a
// fresh request record, both handed to the reader. The registry override
// names the pipe by address and has none without a communication interface.
static NTSTATUS pipe_comm_notify_set(PDEVICE_CONTEXT fdx) {
    ULONG maxps = fdx->notify_maxps;
    ULONG ep = fdx->notify_ep;
    WDFMEMORY memory = NULL;
    WDFUSBPIPE pipe;
    NTSTATUS status;

    // The sizes children read only change with what the device says.
    if (fdx->cdc_override_configuration == 0) {
        pipe = usb_ifc_get_pipe(fdx->usb_ifc_comm, WdfUsbPipeTypeInterrupt, QD_PIPE_DIR_IN, &maxps, &ep);
    } else if (fdx->usb_ifc_comm != NULL) {
        pipe = usb_ifc_get_pipe_by_address(fdx->usb_ifc_comm, ep, &maxps);
    } else {
        usb_cdc_notify_attach(fdx, fdx->pipe_comm_notify, NULL);
        return STATUS_SUCCESS;
    }
    if (fdx->notify_maxps != maxps) {
        fdx->notify_maxps = maxps;
    }
    if (fdx->notify_ep != ep) {
        fdx->notify_ep = ep;
    }
    if (pipe == NULL) {
        QD_TRACE(TRACE_LEVEL_ERROR, "%s: notification endpoint not found\n", __func__);
        usb_cdc_notify_attach(fdx, NULL, NULL);
        return STATUS_UNSUCCESSFUL;
    }
    status = pipe_comm_notify_request_make(pipe, &memory);
    usb_cdc_notify_attach(fdx, pipe, memory);
    return status;
}

// Drops the data pipes for closing, unless a transfer or a maintenance call
// still holds one. The pools' locks are the ones under which transfers move
// requests to busy and maintenance calls borrow the pipes.
static BOOLEAN usb_cdc_data_pipes_drop(PDEVICE_CONTEXT fdx, PCSTR caller) {
    BOOLEAN pending;

    // The registry override opens the path during the start, before the
    // pools exist: nothing can be in flight then.
    if (fdx->req_out.lock == NULL || fdx->req_in.lock == NULL) {
        fdx->pipe_data_out = NULL;
        fdx->pipe_data_in = NULL;
        return TRUE;
    }

    WdfSpinLockAcquire(fdx->req_out.lock);
    pending = ReadAcquire(&fdx->req_out.busy_count) != 0 || fdx->req_out.pipe_users != 0;
    if (!pending) {
        fdx->pipe_data_out = NULL;
    }
    WdfSpinLockRelease(fdx->req_out.lock);
    if (pending) {
        QD_TRACE(TRACE_LEVEL_ERROR, "%s: out requests are pending\n", caller);
        return FALSE;
    }

    WdfSpinLockAcquire(fdx->req_in.lock);
    pending = ReadAcquire(&fdx->req_in.busy_count) != 0 || fdx->req_in.pipe_users != 0;
    if (!pending) {
        fdx->pipe_data_in = NULL;
    }
    WdfSpinLockRelease(fdx->req_in.lock);
    if (pending) {
        QD_TRACE(TRACE_LEVEL_ERROR, "%s: in requests are pending\n", caller);
        return FALSE;
    }
    return TRUE;
}

// The registry override opens the path during the start, before the pools'
// locks exist: nothing else runs then.
static WDFUSBPIPE usb_cdc_data_pipe_read(PREQ_MANAGER manager, WDFUSBPIPE* field) {
    WDFUSBPIPE pipe;

    if (manager->lock == NULL) {
        return *field;
    }
    WdfSpinLockAcquire(manager->lock);
    pipe = *field;
    WdfSpinLockRelease(manager->lock);
    return pipe;
}

// Publishes the data pipes found on opening under the pools' locks, under
// which transfers and maintenance calls read them.
static VOID usb_cdc_data_pipes_publish(PDEVICE_CONTEXT fdx, WDFUSBPIPE out, ULONG out_maxps, WDFUSBPIPE in,
                                       ULONG in_maxps) {
    if (fdx->req_out.lock != NULL) {
        WdfSpinLockAcquire(fdx->req_out.lock);
    }
    fdx->pipe_data_out = out;
    if (fdx->data_out_maxps != out_maxps) {
        fdx->data_out_maxps = out_maxps;
    }
    if (fdx->req_out.lock != NULL) {
        WdfSpinLockRelease(fdx->req_out.lock);
    }
    if (fdx->req_in.lock != NULL) {
        WdfSpinLockAcquire(fdx->req_in.lock);
    }
    fdx->pipe_data_in = in;
    if (fdx->data_in_maxps != in_maxps) {
        fdx->data_in_maxps = in_maxps;
    }
    if (fdx->req_in.lock != NULL) {
        WdfSpinLockRelease(fdx->req_in.lock);
    }
}

// Selects the data interface's setting for opening or closing; the caller
// holds the device in D0 (power: how taking that hold went). The switch
// deletes the pipes of the old setting: no data transfer may be on them and
// the notification reader is stopped around it and restarted on the new
// record.
static BOOLEAN usb_cdc_alt_setting_select(PDEVICE_CONTEXT fdx, BOOLEAN enable, NTSTATUS power, PCSTR caller) {
    WDF_USB_INTERFACE_SELECT_SETTING_PARAMS params;
    UCHAR setting = (UCHAR)(enable ? fdx->alt_enable : fdx->alt_disable);
    WDFMEMORY memory = NULL;
    NTSTATUS status;

    QD_TRACE(TRACE_LEVEL_VERBOSE, "%s: select alt %d\n", caller, setting);

    if (enable && !usb_cdc_data_pipes_drop(fdx, caller)) {
        return FALSE;
    }
    if (!NT_SUCCESS(power)) {
        QD_TRACE(TRACE_LEVEL_ERROR, "%s: WdfDeviceStopIdle Failed %lx\n", caller, power);
        return FALSE;
    }

    if (!usb_cdc_notify_detach(fdx)) {
        return FALSE;
    }

    WDF_USB_INTERFACE_SELECT_SETTING_PARAMS_INIT_SETTING(&params, setting);
    status = WdfUsbInterfaceSelectSetting(fdx->usb_ifc_data, WDF_NO_OBJECT_ATTRIBUTES, &params);
    if (!NT_SUCCESS(status)) {
        QD_TRACE(TRACE_LEVEL_ERROR, "%s: failed setting alt %d, status 0x%lx, fdx->usb_ifc_data %p\n", caller, setting,
                 status, fdx->usb_ifc_data);
        // The old setting's pipes are still in force: the reader goes on
        // there if it can have a record.
        if (fdx->pipe_comm_notify != NULL &&
            NT_SUCCESS(pipe_comm_notify_request_make(fdx->pipe_comm_notify, &memory))) {
            usb_cdc_notify_attach(fdx, fdx->pipe_comm_notify, memory);
        } else {
            usb_cdc_notify_attach(fdx, fdx->pipe_comm_notify, NULL);
        }
        return FALSE;
    }

    if (fdx->notify_ep != QD_NO_ENDPOINT) {
        status = pipe_comm_notify_set(fdx);
        if (!NT_SUCCESS(status)) {
            QD_TRACE(TRACE_LEVEL_ERROR, "%s: pipe_comm_notify_set failed, status %lx\n", caller, status);
            return FALSE;
        }
    } else {
        usb_cdc_notify_attach(fdx, fdx->pipe_comm_notify, NULL);
    }
    return TRUE;
}

// Holds the device in D0 for a setting switch the caller may make, before
// enable_lock is taken: a child's control callback inside the device's own
// power transition may open or close the path too, and must not find the
// lock held by a thread waiting for the D0 that transition brings. There,
// on the transition's own thread, nothing is taken: the device is in D0 or
// entering it, and cannot leave it before the callback returns.
static NTSTATUS usb_cdc_path_power_hold(PDEVICE_CONTEXT fdx, PBOOLEAN held) {
    NTSTATUS status;

    *held = FALSE;
    if (fdx->idle_timeout == 0 || fdx->alt_enable == fdx->alt_disable || usb_in_own_power_callback(fdx)) {
        return STATUS_SUCCESS;
    }
    status = WdfDeviceStopIdle(fdx->ids.device, TRUE);
    *held = NT_SUCCESS(status);
    return status;
}

VOID usb_cdc_path_lock(PDEVICE_CONTEXT fdx) {
    KeWaitForSingleObject(&fdx->enable_lock, Executive, KernelMode, FALSE, NULL);
}

VOID usb_cdc_path_unlock(PDEVICE_CONTEXT fdx, BOOLEAN held) {
    KeSetEvent(&fdx->enable_lock, IO_NO_INCREMENT, FALSE);
    if (held) {
        WdfDeviceResumeIdle(fdx->ids.device);
    }
}

static BOOLEAN usb_cdc_open_close(PDEVICE_CONTEXT fdx, BOOLEAN enable, NTSTATUS power);

// Opens (enable) or closes the data path. Returns FALSE on any failure; the
// caller's count is not undone.
BOOLEAN usb_cdc_enable_disable(PDEVICE_CONTEXT fdx, BOOLEAN enable) {
    BOOLEAN held;
    NTSTATUS power;
    BOOLEAN done;

    if (fdx == NULL) {
        QD_TRACE(TRACE_LEVEL_ERROR, "%s: the USB device is disconnected\n", __func__);
        return FALSE;
    }
    power = usb_cdc_path_power_hold(fdx, &held);
    usb_cdc_path_lock(fdx);
    done = usb_cdc_open_close(fdx, enable, power);
    usb_cdc_path_unlock(fdx, held);
    return done;
}

// The switch itself, under enable_lock.
static BOOLEAN usb_cdc_open_close(PDEVICE_CONTEXT fdx, BOOLEAN enable, NTSTATUS power) {
    static const char name[] = "usb_cdc_enable_disable";
    BOOLEAN toggle_alt_setting;

    toggle_alt_setting = fdx->alt_enable != fdx->alt_disable;
    QD_TRACE(TRACE_LEVEL_VERBOSE, "%s: entered, enable %ld, toggle_alt_setting %ld, cdc_override_configuration %ld\n",
             name, (LONG)enable, (LONG)toggle_alt_setting, (LONG)fdx->cdc_override_configuration);

    if (!enable) {
        if (!toggle_alt_setting) {
            QD_TRACE(TRACE_LEVEL_INFO, "%s: this device is always enabled\n", name);
            return TRUE;
        }
        if (!usb_cdc_data_pipes_drop(fdx, name)) {
            return FALSE;
        }
    }

    if (toggle_alt_setting && !usb_cdc_alt_setting_select(fdx, enable, power, name)) {
        return FALSE;
    }

    if (enable) {
        // Only a missing pipe is looked up; what is found is published at
        // once, under the pools' locks.
        WDFUSBPIPE out = usb_cdc_data_pipe_read(&fdx->req_out, &fdx->pipe_data_out);
        WDFUSBPIPE in = usb_cdc_data_pipe_read(&fdx->req_in, &fdx->pipe_data_in);
        ULONG out_maxps = fdx->data_out_maxps;
        ULONG in_maxps = fdx->data_in_maxps;
        ULONG out_ep = fdx->data_out_ep;
        ULONG in_ep = fdx->data_in_ep;

        if (fdx->cdc_override_configuration != 0) {
            if (out == NULL) {
                out = usb_ifc_get_pipe_by_address(fdx->usb_ifc_data, out_ep, &out_maxps);
            }
            if (in == NULL) {
                in = usb_ifc_get_pipe_by_address(fdx->usb_ifc_data, in_ep, &in_maxps);
            }
        } else {
            // DFU and ICCD beyond protocol 0 have no data interface.
            if (fdx->usb_ifc_data == NULL) {
                return TRUE;
            }
            if (out == NULL) {
                out = usb_ifc_get_pipe(fdx->usb_ifc_data, WdfUsbPipeTypeBulk, QD_PIPE_DIR_OUT, &out_maxps, &out_ep);
                if (fdx->data_out_ep != out_ep) {
                    fdx->data_out_ep = out_ep;
                }
            }
            if (in == NULL) {
                in = usb_ifc_get_pipe(fdx->usb_ifc_data, WdfUsbPipeTypeBulk, QD_PIPE_DIR_IN, &in_maxps, &in_ep);
                if (fdx->data_in_ep != in_ep) {
                    fdx->data_in_ep = in_ep;
                }
            }
        }
        usb_cdc_data_pipes_publish(fdx, out, out_maxps, in, in_maxps);
        if (out == NULL || in == NULL) {
            QD_TRACE(TRACE_LEVEL_ERROR, "%s: data in/out endpoints not found\n", name);
            return FALSE;
        }
    }

    QD_TRACE(TRACE_LEVEL_VERBOSE, "%s: done\n", name);
    return TRUE;
}

// Counted: only an enable that takes the count to 1 or below opens the path;
// a concurrent second enable waits for that opening. A failure keeps the
// count.
NTSTATUS usb_cdc_enable(PDEVICE_CONTEXT fdx) {
    NTSTATUS status = STATUS_SUCCESS;

    BOOLEAN held;
    NTSTATUS power;

    QD_TRACE(TRACE_LEVEL_VERBOSE, "%s: entered\n", __func__);

    // Another child's closing or opening is over before the count is
    // looked at, and this one's is over before another's begins.
    power = usb_cdc_path_power_hold(fdx, &held);
    usb_cdc_path_lock(fdx);
    if (InterlockedIncrement(&fdx->enable_count) > 1) {
        // Already open.
    } else if (!usb_cdc_open_close(fdx, TRUE, power)) {
        status = STATUS_UNSUCCESSFUL;
    } else {
        // A closing that met a control transfer left the record to it: that
        // transfer may be reading the field, and the record is still good.
        // A control transfer may run meanwhile (the started device takes
        // them with no record): it sees none or a finished one.
        if (fdx->control_req_mem == NULL) {
            WDFMEMORY record = NULL;

            status = usb_request_allocate(WdfUsbTargetDeviceGetIoTarget(fdx->usb_device), &record, 0);
            if (NT_SUCCESS(status)) {
                InterlockedExchangePointer((PVOID volatile*)&fdx->control_req_mem, record);
            } else {
                // A half-made record would be taken for a usable one.
                usb_request_free(&record);
            }
        }
        if (NT_SUCCESS(status)) {
            InterlockedCompareExchange(&fdx->control_req_state, 0, 2);
            InterlockedExchange(&fdx->io_enabled, 1);
        } else {
            QD_TRACE(TRACE_LEVEL_ERROR, "%s: WdfUsbTargetPipeGetIoTarget failed, status %lx\n", __func__, status);
        }
    }
    usb_cdc_path_unlock(fdx, held);

    QD_TRACE(TRACE_LEVEL_VERBOSE, "%s: done, status %lx\n", __func__, status);
    return status;
}

// Counted: only the closing that takes the count to 0 or below closes the
// path, and not while a control transfer runs. A failure keeps the count.
NTSTATUS usb_cdc_disable(PDEVICE_CONTEXT fdx) {
    NTSTATUS status = STATUS_SUCCESS;

    BOOLEAN held;
    NTSTATUS power;

    QD_TRACE(TRACE_LEVEL_VERBOSE, "%s: entered\n", __func__);

    power = usb_cdc_path_power_hold(fdx, &held);
    usb_cdc_path_lock(fdx);
    if (InterlockedDecrement(&fdx->enable_count) > 0) {
        // Others still have it open.
    } else {
        InterlockedExchange(&fdx->io_enabled, 0);
        InterlockedCompareExchange(&fdx->control_req_state, 2, 0);
        if (ReadAcquire(&fdx->control_req_state) == 1) {
            QD_TRACE(TRACE_LEVEL_ERROR, "%s: error, control request is still in progress\n", "control_request_delete");
            QD_TRACE(TRACE_LEVEL_ERROR, "%s: Failed to free control request, status %lx\n", __func__,
                     STATUS_UNSUCCESSFUL);
            status = STATUS_UNSUCCESSFUL;
        } else {
            usb_request_free(&fdx->control_req_mem);
            QD_TRACE(TRACE_LEVEL_VERBOSE, "%s: finished successfully\n", "control_request_delete");
            status = usb_cdc_open_close(fdx, FALSE, power) ? STATUS_SUCCESS : STATUS_UNSUCCESSFUL;
        }
    }
    usb_cdc_path_unlock(fdx, held);

    QD_TRACE(TRACE_LEVEL_VERBOSE, "%s: done, status %lx\n", __func__, status);
    return status;
}
