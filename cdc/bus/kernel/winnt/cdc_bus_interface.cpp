// The bus interface on every child PDO: the record child drivers query, its
// version check, reference counting and the small accessors.
#include "cdc_bus.h"

static const char cdc_bus_driver_version[] = CDC_BUS_DRIVER_VERSION;

static NTSTATUS cdc_no_operation(WDFDEVICE child) {
    UNREFERENCED_PARAMETER(child);
    return STATUS_SUCCESS;
}

static NTSTATUS cdc_ctrl_cbs_init_no_operation(WDFDEVICE child, ULONG check_open, PFN_CDC_CTRL_CB start_final,
                                               PFN_CDC_CTRL_CB stop_final, PFN_CDC_CTRL_CB is_open,
                                               PFN_CDC_CTRL_CB stop, PFN_CDC_CTRL_CB start, PVOID ctrl_cbs_ctx) {
    UNREFERENCED_PARAMETER(child);
    UNREFERENCED_PARAMETER(check_open);
    UNREFERENCED_PARAMETER(start_final);
    UNREFERENCED_PARAMETER(stop_final);
    UNREFERENCED_PARAMETER(is_open);
    UNREFERENCED_PARAMETER(stop);
    UNREFERENCED_PARAMETER(start);
    UNREFERENCED_PARAMETER(ctrl_cbs_ctx);
    return STATUS_SUCCESS;
}

static VOID cdc_ctrl_cbs_uninit_no_operation(WDFDEVICE child) { UNREFERENCED_PARAMETER(child); }

// The slots of the USB-direct mode: the function device that reported the
// child serves it for its whole life.
static VOID cdc_bus_interface_fill(PCDC_BUS_INTERFACE bus) {
    bus->class_control_sync = usb_class_control_sync;
    bus->generic_control_sync = usb_generic_control_sync;
    bus->class_control_async = usb_class_control_async;
    bus->generic_control_async = usb_generic_control_async;
    bus->cdc_transport_enable = usb_transport_enable;
    bus->cdc_transport_disable = usb_transport_disable;
    bus->cdc_restart_io_target = usb_cdc_restart_io_target;
    bus->cdc_data_in_async = usb_cdc_data_read_async;
    bus->cdc_data_out_async = usb_cdc_data_write_async;
    bus->cdc_data_in_sync = usb_cdc_data_read_sync;
    bus->cdc_data_out_sync = usb_cdc_data_write_sync;
    bus->cdc_set_notify_cb = usb_cdc_set_notify_cb;
    bus->cdc_inout_purge = usb_cdc_inout_purge;
    bus->cdc_get_functional_descriptor = usb_cdc_get_functional_descriptor;
    bus->cdc_get_string = usb_cdc_get_string;
    bus->qd_get_maxps = usb_qd_get_maxps;
    bus->cdc_data_io_init = usb_cdc_data_io_init;
    bus->cdc_data_io_uninit = usb_cdc_data_io_uninit;
    bus->cdc_data_io_ctrl_cbs_init = cdc_ctrl_cbs_init_no_operation;
    bus->cdc_data_io_ctrl_cbs_uninit = cdc_ctrl_cbs_uninit_no_operation;
    bus->qd_reset_device = usb_reset_device;
    bus->dfu_get_functional_descriptor = usb_dfu_get_functional_descriptor;
    bus->qd_get_func_protocol = usb_get_func_protocol;
    bus->qd_get_device_descriptor = usb_qd_get_device_descriptor;
    bus->qd_get_configuration_descriptor_copyout = usb_qd_get_configuration_descriptor_copyout;
    bus->reserved1 = cdc_no_operation;
    bus->reserved2 = cdc_no_operation;
    bus->qd_get_idle_timeout = usb_qd_get_idle_timeout;
    bus->control_request_purge = usb_control_request_purge;
    bus->qd_is_ext_ctrl_enabled = usb_qd_is_ext_ctrl_enabled;
    bus->qd_ui_number_get = usb_qd_ui_number_get;
    bus->qd_is_zlp_enabled = usb_qd_is_zlp_enabled;
    bus->qd_children_msg_set = usb_qd_children_msg_set;
    bus->qd_children_msg_send = usb_qd_children_msg_send;
    bus->qd_is_idle = usb_qd_is_idle;
    bus->qd_device_wakeup_sync = usb_qd_device_wakeup_sync;
    bus->qd_notify_child_not_in_use = cdc_no_operation;
    bus->qd_clear_data = usb_qd_clear_data;
    bus->qd_abort_reads = usb_qd_abort_reads;
}

// The slots of the control-device mode: every call first finds and pins the
// function device that serves the child now, if any.
static VOID cdc_bus_interface_fill_ctrl(PCDC_BUS_INTERFACE bus) {
    bus->class_control_sync = ctrl_class_control_sync;
    bus->generic_control_sync = ctrl_generic_control_sync;
    bus->class_control_async = ctrl_class_control_async;
    bus->generic_control_async = ctrl_generic_control_async;
    bus->cdc_transport_enable = ctrl_cdc_transport_enable;
    bus->cdc_transport_disable = ctrl_cdc_transport_disable;
    bus->cdc_restart_io_target = ctrl_cdc_restart_io_target;
    bus->cdc_data_in_async = ctrl_cdc_data_in_async;
    bus->cdc_data_out_async = ctrl_cdc_data_out_async;
    bus->cdc_data_in_sync = ctrl_cdc_data_in_sync;
    bus->cdc_data_out_sync = ctrl_cdc_data_out_sync;
    bus->cdc_set_notify_cb = ctrl_cdc_set_notify_cb;
    bus->cdc_inout_purge = ctrl_cdc_inout_purge;
    bus->cdc_get_functional_descriptor = ctrl_cdc_get_functional_descriptor;
    bus->cdc_get_string = ctrl_cdc_get_string;
    bus->qd_get_maxps = ctrl_qd_get_maxps;
    bus->cdc_data_io_init = ctrl_cdc_data_io_init;
    bus->cdc_data_io_uninit = ctrl_cdc_data_io_uninit;
    bus->cdc_data_io_ctrl_cbs_init = ctrl_cdc_data_io_ctrl_cbs_init;
    bus->cdc_data_io_ctrl_cbs_uninit = ctrl_cdc_data_io_ctrl_cbs_uninit;
    bus->qd_reset_device = ctrl_qd_reset_device;
    bus->dfu_get_functional_descriptor = ctrl_dfu_get_functional_descriptor;
    bus->qd_get_func_protocol = ctrl_qd_get_func_protocol;
    bus->qd_get_device_descriptor = ctrl_qd_get_device_descriptor;
    bus->qd_get_configuration_descriptor_copyout = ctrl_qd_get_configuration_descriptor_copyout;
    bus->reserved1 = cdc_no_operation;
    bus->reserved2 = cdc_no_operation;
    bus->qd_get_idle_timeout = ctrl_qd_get_idle_timeout;
    bus->control_request_purge = ctrl_control_request_purge;
    bus->qd_is_ext_ctrl_enabled = ctrl_qd_is_ext_ctrl_enabled;
    bus->qd_ui_number_get = ctrl_qd_ui_number_get;
    bus->qd_is_zlp_enabled = ctrl_qd_is_zlp_enabled;
    bus->qd_children_msg_set = ctrl_qd_children_msg_set;
    bus->qd_children_msg_send = ctrl_qd_children_msg_send;
    bus->qd_is_idle = ctrl_qd_is_idle;
    bus->qd_device_wakeup_sync = ctrl_qd_device_wakeup_sync;
    bus->qd_notify_child_not_in_use = ctrl_qd_notify_child_not_in_use;
    bus->qd_clear_data = ctrl_qd_clear_data;
    bus->qd_abort_reads = ctrl_qd_abort_reads;
}

NTSTATUS cdc_register_interface(WDFDEVICE child) {
    WDF_QUERY_INTERFACE_CONFIG config;
    CDC_BUS_INTERFACE bus;
    NTSTATUS status;

    RtlZeroMemory(&bus, sizeof(bus));
    bus.header.Size = sizeof(bus);
    bus.header.Version = CDC_BUS_INTERFACE_VERSION;
    bus.header.Context = child;
    bus.header.InterfaceReference = usb_cdc_reference;
    bus.header.InterfaceDereference = usb_cdc_dereference;
    if (drv_ctx.control_device_used) {
        cdc_bus_interface_fill_ctrl(&bus);
    } else {
        cdc_bus_interface_fill(&bus);
    }

    // The framework keeps its own copy of the record.
    WDF_QUERY_INTERFACE_CONFIG_INIT(&config, (PINTERFACE)&bus, &GUID_CDC_BUS_INTERFACE, driver_version_verify);
    status = WdfDeviceAddQueryInterface(child, &config);
    if (!NT_SUCCESS(status)) {
        QD_TRACE(TRACE_LEVEL_ERROR, "%s: WdfDeviceAddQueryInterface failed %x\n", __func__, status);
    }
    return status;
}

// Only a child built for this very bus driver gets the interface.
NTSTATUS driver_version_verify(WDFDEVICE device, LPGUID interface_type, PINTERFACE exposed_interface,
                               PVOID interface_specific_data) {
    const char* child_version = (const char*)interface_specific_data;

    UNREFERENCED_PARAMETER(device);
    UNREFERENCED_PARAMETER(interface_type);
    UNREFERENCED_PARAMETER(exposed_interface);

    QD_TRACE(TRACE_LEVEL_INFO, "%s: entered, bus driver version %s\n", __func__, cdc_bus_driver_version);
    if (child_version != NULL) {
        ULONG i = 0;
        // Byte by byte up to the terminator: a shorter string differs at its
        // own terminator and nothing past it is read.
        while (i < sizeof(cdc_bus_driver_version) && child_version[i] == cdc_bus_driver_version[i] &&
               cdc_bus_driver_version[i] != '\0') {
            i++;
        }
        if (i < sizeof(cdc_bus_driver_version) && child_version[i] == cdc_bus_driver_version[i]) {
            QD_TRACE(TRACE_LEVEL_INFO, "%s: Drivers are of the same versions.\n", __func__);
            return STATUS_SUCCESS;
        }
    }
    QD_TRACE(TRACE_LEVEL_ERROR, "%s: Drivers are of different versions. child version %s, bus version %s\n", __func__,
             child_version != NULL ? child_version : "(null)", cdc_bus_driver_version);
    return STATUS_UNSUCCESSFUL;
}

VOID usb_cdc_reference(PVOID context) {
    InterlockedIncrement(&cdc_get_device_context((WDFDEVICE)context)->cdc_ref_count);
}

VOID usb_cdc_dereference(PVOID context) {
    PCDC_DEVICE_CONTEXT cdc_pdx = cdc_get_device_context((WDFDEVICE)context);
    LONG current;

    // Never below zero, also when two dereferences race at one.
    do {
        current = ReadAcquire(&cdc_pdx->cdc_ref_count);
        if (current == 0) {
            QD_TRACE(TRACE_LEVEL_ERROR, "%s: ref is already 0\n", __func__);
            return;
        }
    } while (InterlockedCompareExchange(&cdc_pdx->cdc_ref_count, current - 1, current) != current);
    if (current == 1) {
        QD_TRACE(TRACE_LEVEL_INFO, "%s: ref is 0\n", __func__);
    }
}

NTSTATUS usb_transport_enable_fdx(WDFDEVICE child, PDEVICE_CONTEXT fdx) {
    PCDC_DEVICE_CONTEXT cdc_pdx = cdc_get_device_context(child);

    if (fdx == NULL) {
        return STATUS_UNSUCCESSFUL;
    }
    if (!cdc_caller_at_passive("usb_transport_enable")) {
        return STATUS_INVALID_DEVICE_STATE;
    }
    // Counted also when the opening fails: the function device keeps its count then too.
    cdc_child_hold(cdc_pdx, fdx, &cdc_pdx->enable_refs);
    return usb_cdc_enable(fdx);
}

NTSTATUS usb_transport_enable(WDFDEVICE child) { return usb_transport_enable_fdx(child, cdc_serving_fdx(child)); }

// A closing the child never opened on fdx leaves the others' data path alone.
NTSTATUS usb_transport_disable_fdx(WDFDEVICE child, PDEVICE_CONTEXT fdx) {
    PCDC_DEVICE_CONTEXT cdc_pdx = cdc_get_device_context(child);

    if (fdx == NULL) {
        return STATUS_UNSUCCESSFUL;
    }
    if (!cdc_caller_at_passive("usb_transport_disable")) {
        return STATUS_INVALID_DEVICE_STATE;
    }
    if (!cdc_child_release(cdc_pdx, fdx, &cdc_pdx->enable_refs)) {
        QD_TRACE(TRACE_LEVEL_ERROR, "%s: the data path was not opened by this child\n", "usb_transport_disable");
        return STATUS_SUCCESS;
    }
    return usb_cdc_disable(fdx);
}

NTSTATUS usb_transport_disable(WDFDEVICE child) { return usb_transport_disable_fdx(child, cdc_serving_fdx(child)); }

NTSTATUS usb_qd_get_idle_timeout_fdx(WDFDEVICE child, PDEVICE_CONTEXT fdx, PULONG idle_timeout) {
    UNREFERENCED_PARAMETER(child);
    if (fdx != NULL && idle_timeout != NULL) {
        *idle_timeout = fdx->idle_timeout;
    }
    return STATUS_SUCCESS;
}

NTSTATUS usb_qd_get_idle_timeout(WDFDEVICE child, PULONG idle_timeout) {
    return usb_qd_get_idle_timeout_fdx(child, cdc_serving_fdx(child), idle_timeout);
}

BOOLEAN usb_qd_is_ext_ctrl_enabled_fdx(WDFDEVICE child, PDEVICE_CONTEXT fdx) {
    UNREFERENCED_PARAMETER(child);
    return fdx != NULL && fdx->ext_ctrl_enabled != 0;
}

BOOLEAN usb_qd_is_ext_ctrl_enabled(WDFDEVICE child) {
    return usb_qd_is_ext_ctrl_enabled_fdx(child, cdc_serving_fdx(child));
}

ULONG usb_qd_ui_number_get(WDFDEVICE child) { return cdc_get_device_context(child)->ui_number; }

BOOLEAN usb_qd_is_zlp_enabled_fdx(WDFDEVICE child, PDEVICE_CONTEXT fdx) {
    UNREFERENCED_PARAMETER(child);
    return fdx != NULL && fdx->zlp_enabled != 0;
}

BOOLEAN usb_qd_is_zlp_enabled(WDFDEVICE child) { return usb_qd_is_zlp_enabled_fdx(child, cdc_serving_fdx(child)); }

BOOLEAN usb_qd_is_idle_fdx(WDFDEVICE child, PDEVICE_CONTEXT fdx) {
    UNREFERENCED_PARAMETER(child);
    return fdx != NULL && ReadAcquire(&fdx->d0_exited) != 0;
}

BOOLEAN usb_qd_is_idle(WDFDEVICE child) { return usb_qd_is_idle_fdx(child, cdc_serving_fdx(child)); }
