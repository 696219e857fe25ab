// The bus interface of the control-device mode: each call finds the USB
// function device that serves the child now, pins it for the length of the
// call and runs the USB-direct operation on exactly that device.
#include "cdc_bus.h"

// The lock call takes a hold on the rundown of the child's serving device
// with no lock: it reads the published device counted in the child's
// route_readers, and a device that stops serving the child waits in its
// removal until that count has been 0 once (cdc_child_route_settle), so the
// device's context outlives every call that read it before it holds it. The
// rundown refuses once the device is unregistered.
// The hold alone keeps the device and its USB target for the call: the
// unregistration waits for the last hold before it detaches the children
// (dropping their references) and the device can go, so a call takes no
// framework reference of its own. The unlock call drops exactly that hold,
// on the device the lock call recorded, whether or not the device is still
// registered or still serves the child.
BOOLEAN ctrl_lock_unlock_usb_device(WDFDEVICE child, BOOLEAN lock, PCTRL_ROUTE_PIN pin) {
    PCDC_DEVICE_CONTEXT cdc_pdx;
    PDEVICE_CONTEXT fdx;
    BOOLEAN pinned = FALSE;

    if (!lock) {
        ctrl_route_release(pin->fdx);
        return TRUE;
    }
    if (ctrl_control_device_get() == NULL) {
        return FALSE;
    }
    cdc_pdx = cdc_get_device_context(child);
    InterlockedIncrement(&cdc_pdx->route_readers);
    fdx = (PDEVICE_CONTEXT)ReadPointerAcquire((PVOID const volatile*)&cdc_pdx->usb_fdx);
    if (fdx != NULL && ctrl_route_acquire(fdx)) {
        pin->device = fdx->ids.device;
        pin->fdx = fdx;
        pin->target = fdx->usb_device;
        pinned = TRUE;
    }
    if (InterlockedDecrement(&cdc_pdx->route_readers) == 0 && ReadAcquire(&cdc_pdx->route_settling) != 0) {
        KeSetEvent(&cdc_pdx->route_settled, IO_NO_INCREMENT, FALSE);
    }
    if (!pinned) {
        QD_TRACE(TRACE_LEVEL_VERBOSE, "%s: the USB device is disconnected\n", __func__);
    }
    return pinned;
}

// Pins the child's serving device for one routed call. NULL when there is
// none, with *absent set to what a status slot returns then.
static PDEVICE_CONTEXT ctrl_route_enter(WDFDEVICE child, const char* caller, PCTRL_ROUTE_PIN pin, NTSTATUS* absent) {
    *absent = STATUS_CTRL_USB_DEVICE_ABSENT;
    if (ctrl_control_device_get() == NULL) {
        QD_TRACE(TRACE_LEVEL_ERROR, "%s: control device is missing\n", caller);
        *absent = STATUS_DEVICE_NOT_CONNECTED;
        return NULL;
    }
    if (!ctrl_lock_unlock_usb_device(child, TRUE, pin)) {
        // Also when the control device went between the two reads: the
        // child is not served either way.
        *absent = STATUS_CTRL_USB_DEVICE_ABSENT;
        return NULL;
    }
    return pin->fdx;
}

static VOID ctrl_route_leave(WDFDEVICE child, PCTRL_ROUTE_PIN pin) { ctrl_lock_unlock_usb_device(child, FALSE, pin); }

NTSTATUS ctrl_class_control_sync(WDFDEVICE child, BOOLEAN direction_in, UCHAR request, USHORT value, USHORT length,
                                 PVOID buffer, PULONG bytes_transferred, LONGLONG timeout) {
    CTRL_ROUTE_PIN usb_device;
    NTSTATUS status;
    PDEVICE_CONTEXT fdx = ctrl_route_enter(child, __func__, &usb_device, &status);

    if (fdx == NULL) {
        return status;
    }
    status = usb_class_control_sync_fdx(child, fdx, direction_in, request, value, length, buffer, bytes_transferred,
                                        timeout);
    ctrl_route_leave(child, &usb_device);
    return status;
}

NTSTATUS ctrl_generic_control_sync(WDFDEVICE child, PVOID setup_packet, PVOID buffer, USHORT length,
                                   PULONG bytes_transferred, LONGLONG timeout) {
    CTRL_ROUTE_PIN usb_device;
    NTSTATUS status;
    PDEVICE_CONTEXT fdx = ctrl_route_enter(child, __func__, &usb_device, &status);

    if (fdx == NULL) {
        return status;
    }
    status = usb_generic_control_sync_fdx(child, fdx, setup_packet, buffer, length, bytes_transferred, timeout);
    ctrl_route_leave(child, &usb_device);
    return status;
}

NTSTATUS ctrl_class_control_async(WDFDEVICE child, BOOLEAN direction_in, UCHAR request, USHORT value, USHORT length,
                                  PVOID buffer, PFN_CDC_DATA_COMPLETE cb_complete, PVOID cb_ctx,
                                  PULONG bytes_transferred, LONGLONG timeout) {
    CTRL_ROUTE_PIN usb_device;
    NTSTATUS status;
    PDEVICE_CONTEXT fdx = ctrl_route_enter(child, __func__, &usb_device, &status);

    if (fdx == NULL) {
        return status;
    }
    status = usb_class_control_async_fdx(child, fdx, direction_in, request, value, length, buffer, cb_complete, cb_ctx,
                                         bytes_transferred, timeout);
    ctrl_route_leave(child, &usb_device);
    return status;
}

NTSTATUS ctrl_generic_control_async(WDFDEVICE child, PVOID setup_packet, PVOID buffer, USHORT length,
                                    PFN_CDC_DATA_COMPLETE cb_complete, PVOID cb_ctx, PULONG bytes_transferred,
                                    LONGLONG timeout) {
    CTRL_ROUTE_PIN usb_device;
    NTSTATUS status;
    PDEVICE_CONTEXT fdx = ctrl_route_enter(child, __func__, &usb_device, &status);

    if (fdx == NULL) {
        return status;
    }
    status = usb_generic_control_async_fdx(child, fdx, setup_packet, buffer, length, cb_complete, cb_ctx,
                                           bytes_transferred, timeout);
    ctrl_route_leave(child, &usb_device);
    return status;
}

NTSTATUS ctrl_cdc_transport_enable(WDFDEVICE child) {
    CTRL_ROUTE_PIN usb_device;
    NTSTATUS status;
    PDEVICE_CONTEXT fdx = ctrl_route_enter(child, __func__, &usb_device, &status);

    if (fdx == NULL) {
        return status;
    }
    status = usb_transport_enable_fdx(child, fdx);
    ctrl_route_leave(child, &usb_device);
    return status;
}

NTSTATUS ctrl_cdc_transport_disable(WDFDEVICE child) {
    CTRL_ROUTE_PIN usb_device;
    NTSTATUS status;
    PDEVICE_CONTEXT fdx = ctrl_route_enter(child, __func__, &usb_device, &status);

    if (fdx == NULL) {
        return status;
    }
    status = usb_transport_disable_fdx(child, fdx);
    ctrl_route_leave(child, &usb_device);
    return status;
}

NTSTATUS ctrl_cdc_restart_io_target(WDFDEVICE child, BOOLEAN in) {
    CTRL_ROUTE_PIN usb_device;
    NTSTATUS status;
    PDEVICE_CONTEXT fdx = ctrl_route_enter(child, __func__, &usb_device, &status);

    if (fdx == NULL) {
        return status;
    }
    status = usb_cdc_restart_io_target_fdx(child, fdx, in);
    ctrl_route_leave(child, &usb_device);
    return status;
}

BOOLEAN ctrl_cdc_data_in_async(WDFDEVICE child, PVOID buffer, ULONG length, PFN_CDC_DATA_COMPLETE cb_complete,
                               PVOID cb_ctx, LONGLONG timeout) {
    CTRL_ROUTE_PIN usb_device;
    NTSTATUS absent;
    BOOLEAN result;
    PDEVICE_CONTEXT fdx = ctrl_route_enter(child, __func__, &usb_device, &absent);

    if (fdx == NULL) {
        return FALSE;
    }
    result = usb_cdc_data_read_async_fdx(child, fdx, buffer, length, cb_complete, cb_ctx, timeout);
    ctrl_route_leave(child, &usb_device);
    return result;
}

BOOLEAN ctrl_cdc_data_out_async(WDFDEVICE child, PVOID buffer, ULONG length, PFN_CDC_DATA_COMPLETE cb_complete,
                                PVOID cb_ctx, LONGLONG timeout) {
    CTRL_ROUTE_PIN usb_device;
    NTSTATUS absent;
    BOOLEAN result;
    PDEVICE_CONTEXT fdx = ctrl_route_enter(child, __func__, &usb_device, &absent);

    if (fdx == NULL) {
        return FALSE;
    }
    result = usb_cdc_data_write_async_fdx(child, fdx, buffer, length, cb_complete, cb_ctx, timeout);
    ctrl_route_leave(child, &usb_device);
    return result;
}

BOOLEAN ctrl_cdc_data_in_sync(WDFDEVICE child, PVOID buffer, ULONG length, LONGLONG timeout) {
    CTRL_ROUTE_PIN usb_device;
    NTSTATUS absent;
    BOOLEAN result;
    PDEVICE_CONTEXT fdx = ctrl_route_enter(child, __func__, &usb_device, &absent);

    if (fdx == NULL) {
        return FALSE;
    }
    result = usb_cdc_data_read_sync_fdx(child, fdx, buffer, length, timeout);
    ctrl_route_leave(child, &usb_device);
    return result;
}

BOOLEAN ctrl_cdc_data_out_sync(WDFDEVICE child, PVOID buffer, ULONG length, LONGLONG timeout) {
    CTRL_ROUTE_PIN usb_device;
    NTSTATUS absent;
    BOOLEAN result;
    PDEVICE_CONTEXT fdx = ctrl_route_enter(child, __func__, &usb_device, &absent);

    if (fdx == NULL) {
        return FALSE;
    }
    result = usb_cdc_data_write_sync_fdx(child, fdx, buffer, length, timeout);
    ctrl_route_leave(child, &usb_device);
    return result;
}

BOOLEAN ctrl_cdc_set_notify_cb(WDFDEVICE child, PVOID notify_cb_ctx, PFN_CDC_NOTIFY_CB notify_cb) {
    CTRL_ROUTE_PIN usb_device;
    NTSTATUS absent;
    BOOLEAN result;
    PDEVICE_CONTEXT fdx = ctrl_route_enter(child, __func__, &usb_device, &absent);

    if (fdx == NULL) {
        return FALSE;
    }
    result = usb_cdc_set_notify_cb_fdx(child, fdx, notify_cb_ctx, notify_cb);
    ctrl_route_leave(child, &usb_device);
    return result;
}

NTSTATUS ctrl_cdc_inout_purge(WDFDEVICE child, BOOLEAN in) {
    CTRL_ROUTE_PIN usb_device;
    NTSTATUS status;
    PDEVICE_CONTEXT fdx = ctrl_route_enter(child, __func__, &usb_device, &status);

    if (fdx == NULL) {
        return status;
    }
    status = usb_cdc_inout_purge_fdx(child, fdx, in);
    ctrl_route_leave(child, &usb_device);
    return status;
}

NTSTATUS ctrl_cdc_get_functional_descriptor(WDFDEVICE child, UCHAR subtype, PUCHAR buffer, PUCHAR length) {
    CTRL_ROUTE_PIN usb_device;
    NTSTATUS status;
    PDEVICE_CONTEXT fdx = ctrl_route_enter(child, __func__, &usb_device, &status);

    if (fdx == NULL) {
        return status;
    }
    status = usb_cdc_get_functional_descriptor_fdx(child, fdx, subtype, buffer, length);
    ctrl_route_leave(child, &usb_device);
    return status;
}

NTSTATUS ctrl_cdc_get_string(WDFDEVICE child, UCHAR index, PUNICODE_STRING string, PUSHORT length) {
    CTRL_ROUTE_PIN usb_device;
    NTSTATUS status;
    PDEVICE_CONTEXT fdx = ctrl_route_enter(child, __func__, &usb_device, &status);

    if (fdx == NULL) {
        return status;
    }
    status = usb_cdc_get_string_fdx(child, fdx, index, string, length);
    ctrl_route_leave(child, &usb_device);
    return status;
}

NTSTATUS ctrl_qd_get_maxps(WDFDEVICE child, PULONG notify_maxps, PULONG data_out_maxps, PULONG data_in_maxps,
                           PUCHAR ep0_maxps) {
    CTRL_ROUTE_PIN usb_device;
    NTSTATUS status;
    PDEVICE_CONTEXT fdx = ctrl_route_enter(child, __func__, &usb_device, &status);

    if (fdx == NULL) {
        return status;
    }
    status = usb_qd_get_maxps_fdx(child, fdx, notify_maxps, data_out_maxps, data_in_maxps, ep0_maxps);
    ctrl_route_leave(child, &usb_device);
    return status;
}

NTSTATUS ctrl_cdc_data_io_init(WDFDEVICE child, ULONG req_in_n, ULONG req_out_n) {
    CTRL_ROUTE_PIN usb_device;
    PDEVICE_CONTEXT fdx;
    NTSTATUS status;

    QD_TRACE(TRACE_LEVEL_INFO, "%s: entered\n", __func__);
    fdx = ctrl_route_enter(child, "__ctrl_cdc_data_io_init", &usb_device, &status);
    if (fdx == NULL) {
        return status;
    }
    status = usb_cdc_data_io_init_fdx(child, fdx, req_in_n, req_out_n);
    ctrl_route_leave(child, &usb_device);
    QD_TRACE(TRACE_LEVEL_INFO, "%s: done\n", __func__);
    return status;
}

NTSTATUS ctrl_cdc_data_io_uninit(WDFDEVICE child) {
    CTRL_ROUTE_PIN usb_device;
    PDEVICE_CONTEXT fdx;
    NTSTATUS status;

    QD_TRACE(TRACE_LEVEL_INFO, "%s: entered\n", __func__);
    fdx = ctrl_route_enter(child, "__ctrl_cdc_data_io_uninit", &usb_device, &status);
    if (fdx == NULL) {
        return status;
    }
    status = usb_cdc_data_io_uninit_fdx(child, fdx);
    ctrl_route_leave(child, &usb_device);
    QD_TRACE(TRACE_LEVEL_INFO, "%s: done\n", __func__);
    return status;
}

// The control device's power coordination calls these on the child's
// behalf; the is-open, stop and start callbacks are optional.
NTSTATUS ctrl_cdc_data_io_ctrl_cbs_init(WDFDEVICE child, ULONG check_open, PFN_CDC_CTRL_CB start_final,
                                        PFN_CDC_CTRL_CB stop_final, PFN_CDC_CTRL_CB is_open, PFN_CDC_CTRL_CB stop,
                                        PFN_CDC_CTRL_CB start, PVOID ctrl_cbs_ctx) {
    PCDC_DEVICE_CONTEXT cdc_pdx = cdc_get_device_context(child);

    if (start_final == NULL || stop_final == NULL || ctrl_cbs_ctx == NULL) {
        QD_TRACE(TRACE_LEVEL_ERROR, "%s: NULL control callbacks or context\n", __func__);
        return STATUS_UNSUCCESSFUL;
    }
    WdfSpinLockAcquire(cdc_pdx->counts_lock);
    cdc_pdx->ctrl_start_final_cb = start_final;
    cdc_pdx->ctrl_stop_final_cb = stop_final;
    cdc_pdx->ctrl_is_open_cb = is_open;
    cdc_pdx->ctrl_stop_cb = stop;
    cdc_pdx->ctrl_start_cb = start;
    cdc_pdx->ctrl_cbs_ctx = ctrl_cbs_ctx;
    cdc_pdx->ctrl_check_open = check_open;
    WdfSpinLockRelease(cdc_pdx->counts_lock);
    return STATUS_SUCCESS;
}

VOID ctrl_cdc_data_io_ctrl_cbs_uninit(WDFDEVICE child) {
    PCDC_DEVICE_CONTEXT cdc_pdx = cdc_get_device_context(child);

    WdfSpinLockAcquire(cdc_pdx->counts_lock);
    cdc_pdx->ctrl_start_final_cb = NULL;
    cdc_pdx->ctrl_stop_final_cb = NULL;
    cdc_pdx->ctrl_is_open_cb = NULL;
    cdc_pdx->ctrl_stop_cb = NULL;
    cdc_pdx->ctrl_start_cb = NULL;
    cdc_pdx->ctrl_cbs_ctx = NULL;
    cdc_pdx->ctrl_check_open = 0;
    WdfSpinLockRelease(cdc_pdx->counts_lock);
}

NTSTATUS ctrl_qd_reset_device(WDFDEVICE child) {
    CTRL_ROUTE_PIN usb_device;
    NTSTATUS status;
    PDEVICE_CONTEXT fdx = ctrl_route_enter(child, __func__, &usb_device, &status);

    if (fdx == NULL) {
        return status;
    }
    status = usb_reset_device_fdx(child, fdx);
    ctrl_route_leave(child, &usb_device);
    return status;
}

NTSTATUS ctrl_dfu_get_functional_descriptor(WDFDEVICE child, PVOID descriptor) {
    CTRL_ROUTE_PIN usb_device;
    NTSTATUS status;
    PDEVICE_CONTEXT fdx = ctrl_route_enter(child, __func__, &usb_device, &status);

    if (fdx == NULL) {
        return status;
    }
    status = usb_dfu_get_functional_descriptor_fdx(child, fdx, descriptor);
    ctrl_route_leave(child, &usb_device);
    return status;
}

NTSTATUS ctrl_qd_get_func_protocol(WDFDEVICE child, PUCHAR protocol) {
    CTRL_ROUTE_PIN usb_device;
    NTSTATUS status;
    PDEVICE_CONTEXT fdx = ctrl_route_enter(child, __func__, &usb_device, &status);

    if (fdx == NULL) {
        return status;
    }
    status = usb_get_func_protocol_fdx(child, fdx, protocol);
    ctrl_route_leave(child, &usb_device);
    return status;
}

NTSTATUS ctrl_qd_get_device_descriptor(WDFDEVICE child, PUSB_DEVICE_DESCRIPTOR descriptor) {
    CTRL_ROUTE_PIN usb_device;
    NTSTATUS status;
    PDEVICE_CONTEXT fdx = ctrl_route_enter(child, __func__, &usb_device, &status);

    if (fdx == NULL) {
        return status;
    }
    status = usb_qd_get_device_descriptor_fdx(child, fdx, descriptor);
    ctrl_route_leave(child, &usb_device);
    return status;
}

NTSTATUS ctrl_qd_get_configuration_descriptor_copyout(WDFDEVICE child, PUCHAR buffer, PUSHORT total_length) {
    CTRL_ROUTE_PIN usb_device;
    NTSTATUS status;
    PDEVICE_CONTEXT fdx = ctrl_route_enter(child, __func__, &usb_device, &status);

    if (fdx == NULL) {
        return status;
    }
    status = usb_qd_get_configuration_descriptor_copyout_fdx(child, fdx, buffer, total_length);
    ctrl_route_leave(child, &usb_device);
    return status;
}

NTSTATUS ctrl_qd_get_idle_timeout(WDFDEVICE child, PULONG idle_timeout) {
    CTRL_ROUTE_PIN usb_device;
    NTSTATUS status;
    PDEVICE_CONTEXT fdx = ctrl_route_enter(child, __func__, &usb_device, &status);

    if (fdx == NULL) {
        return status;
    }
    status = usb_qd_get_idle_timeout_fdx(child, fdx, idle_timeout);
    ctrl_route_leave(child, &usb_device);
    return status;
}

NTSTATUS ctrl_control_request_purge(WDFDEVICE child) {
    CTRL_ROUTE_PIN usb_device;
    NTSTATUS status;
    PDEVICE_CONTEXT fdx = ctrl_route_enter(child, __func__, &usb_device, &status);

    if (fdx == NULL) {
        return status;
    }
    status = usb_control_request_purge_fdx(child, fdx);
    ctrl_route_leave(child, &usb_device);
    return status;
}

BOOLEAN ctrl_qd_is_ext_ctrl_enabled(WDFDEVICE child) {
    CTRL_ROUTE_PIN usb_device;
    NTSTATUS absent;
    BOOLEAN result;
    PDEVICE_CONTEXT fdx = ctrl_route_enter(child, __func__, &usb_device, &absent);

    if (fdx == NULL) {
        return FALSE;
    }
    result = usb_qd_is_ext_ctrl_enabled_fdx(child, fdx);
    ctrl_route_leave(child, &usb_device);
    return result;
}

ULONG ctrl_qd_ui_number_get(WDFDEVICE child) {
    CTRL_ROUTE_PIN usb_device;
    NTSTATUS absent;
    ULONG ui_number;

    if (ctrl_route_enter(child, __func__, &usb_device, &absent) == NULL) {
        return 0xFFFFFFFF;
    }
    ui_number = usb_qd_ui_number_get(child);
    ctrl_route_leave(child, &usb_device);
    return ui_number;
}

BOOLEAN ctrl_qd_is_zlp_enabled(WDFDEVICE child) {
    CTRL_ROUTE_PIN usb_device;
    NTSTATUS absent;
    BOOLEAN result;
    PDEVICE_CONTEXT fdx = ctrl_route_enter(child, __func__, &usb_device, &absent);

    if (fdx == NULL) {
        return FALSE;
    }
    result = usb_qd_is_zlp_enabled_fdx(child, fdx);
    ctrl_route_leave(child, &usb_device);
    return result;
}

// Writes only the child's own context: nothing to pin.
VOID ctrl_qd_children_msg_set(WDFDEVICE child, PFN_CDC_CHILDREN_MSG_CB cb, PVOID ctx) {
    if (ctrl_control_device_get() == NULL) {
        QD_TRACE(TRACE_LEVEL_ERROR, "%s: control device is missing\n", __func__);
        return;
    }
    usb_qd_children_msg_set(child, cb, ctx);
}

NTSTATUS ctrl_qd_children_msg_send(WDFDEVICE child, ULONG_PTR msg, PULONG count) {
    CTRL_ROUTE_PIN usb_device;
    NTSTATUS status;
    PDEVICE_CONTEXT fdx = ctrl_route_enter(child, __func__, &usb_device, &status);

    if (fdx == NULL) {
        return status;
    }
    status = usb_qd_children_msg_send_fdx(child, fdx, msg, count);
    ctrl_route_leave(child, &usb_device);
    return status;
}

BOOLEAN ctrl_qd_is_idle(WDFDEVICE child) {
    CTRL_ROUTE_PIN usb_device;
    NTSTATUS absent;
    BOOLEAN result;
    PDEVICE_CONTEXT fdx = ctrl_route_enter(child, __func__, &usb_device, &absent);

    if (fdx == NULL) {
        return FALSE;
    }
    result = usb_qd_is_idle_fdx(child, fdx);
    ctrl_route_leave(child, &usb_device);
    return result;
}

// Unlike the USB-direct slot, which only traces, this one wakes the device.
NTSTATUS ctrl_qd_device_wakeup_sync(WDFDEVICE child, BOOLEAN reset_in_pipe) {
    CTRL_ROUTE_PIN usb_device;
    NTSTATUS status;
    PDEVICE_CONTEXT fdx = ctrl_route_enter(child, __func__, &usb_device, &status);

    if (fdx == NULL) {
        return status;
    }
    status = usb_device_wakeup_fdx(fdx, TRUE, reset_in_pipe);
    ctrl_route_leave(child, &usb_device);
    return status;
}

// A pending child's driver no longer uses it: the children of its departed
// function device go unless one of them is still open.
NTSTATUS ctrl_qd_notify_child_not_in_use(WDFDEVICE child) {
    PCDC_DEVICE_CONTEXT cdc_pdx = cdc_get_device_context(child);

    WDFDEVICE served;

    if (ctrl_control_device_get() == NULL) {
        QD_TRACE(TRACE_LEVEL_ERROR, "%s: control device is missing\n", __func__);
        return STATUS_DEVICE_NOT_CONNECTED;
    }
    CDC_CTRL_CBS cbs;
    cdc_ctrl_cbs_get(cdc_pdx, &cbs);
    if (cbs.check_open == 0) {
        return STATUS_SUCCESS;
    }
    WdfSpinLockAcquire(drv_ctx.usb_devices_lock);
    served = cdc_pdx->usb_device;
    WdfSpinLockRelease(drv_ctx.usb_devices_lock);
    if (served != NULL) {
        QD_TRACE(TRACE_LEVEL_VERBOSE, "%s: usb device is present\n", __func__);
        return STATUS_SUCCESS;
    }
    QD_TRACE(TRACE_LEVEL_INFO, "%s: try to remove not-in-use childen\n", __func__);
    // Removes only children none serves: a device registering meanwhile
    // keeps the ones it has re-attached.
    return ctrl_try_to_remove_children(&cdc_pdx->ids, NULL);
}

NTSTATUS ctrl_qd_clear_data(WDFDEVICE child) {
    CTRL_ROUTE_PIN usb_device;
    NTSTATUS status;
    PDEVICE_CONTEXT fdx = ctrl_route_enter(child, __func__, &usb_device, &status);

    if (fdx == NULL) {
        return status;
    }
    status = usb_qd_clear_data_fdx(child, fdx);
    ctrl_route_leave(child, &usb_device);
    return status;
}

NTSTATUS ctrl_qd_abort_reads(WDFDEVICE child) {
    CTRL_ROUTE_PIN usb_device;
    NTSTATUS status;
    PDEVICE_CONTEXT fdx = ctrl_route_enter(child, __func__, &usb_device, &status);

    if (fdx == NULL) {
        return status;
    }
    status = usb_qd_abort_reads_fdx(child, fdx);
    ctrl_route_leave(child, &usb_device);
    return status;
}
