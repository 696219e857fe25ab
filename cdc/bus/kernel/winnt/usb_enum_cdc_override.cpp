// Interface selection from the device's registry values, for devices the
// automatic detection cannot configure.
#include "cdc_bus.h"

// Reads an optional value, applying its default when it is absent.
static ULONG usb_cdc_override_value(WDFDEVICE device, PCWSTR name, ULONG default_value) {
    ULONG value = default_value;

    if (!NT_SUCCESS(qd_registry_rw_ulong(NULL, device, name, &value))) {
        value = default_value;
    }
    return value;
}

// Hardware start, after the automatic selection failed with
// STATUS_DEVICE_CONFIGURATION_ERROR. Fails with STATUS_INVALID_PARAMETER when
// a required value is missing, with the status of the configuration
// selection, or with STATUS_INVALID_DEVICE_STATE.
NTSTATUS usb_cdc_select_interfaces_override(WDFDEVICE device) {
    PDEVICE_CONTEXT fdx = usb_get_device_context(device);
    USB_INTERFACE_DESCRIPTOR desc;
    WDFUSBINTERFACE ifc;
    ULONG configuration = 0;
    ULONG data_interface = 0;
    ULONG comm_interface;
    UCHAR num_interfaces;
    NTSTATUS status;

    // Required values are stored as they are read: a missing one stops the
    // reading with the earlier ones in place.
    if (!NT_SUCCESS(qd_registry_rw_ulong(NULL, device, L"Configuration", &configuration)) ||
        !NT_SUCCESS(qd_registry_rw_ulong(NULL, device, L"DataInterface", &data_interface)) ||
        !NT_SUCCESS(qd_registry_rw_ulong(NULL, device, L"DataInEp", &fdx->data_in_ep)) ||
        !NT_SUCCESS(qd_registry_rw_ulong(NULL, device, L"DataOutEp", &fdx->data_out_ep))) {
        return STATUS_INVALID_PARAMETER;
    }
    fdx->alt_enable = usb_cdc_override_value(device, L"DataAlternateEnable", 0);
    fdx->alt_disable = usb_cdc_override_value(device, L"DataAlternateDisable", 0);
    comm_interface = usb_cdc_override_value(device, L"CommInterface", QD_NO_INTERFACE);
    fdx->notify_ep = usb_cdc_override_value(device, L"NotifyEp", QD_NO_ENDPOINT);

    QD_TRACE(TRACE_LEVEL_INFO,
             "%s:\n configuration %lx\n data ifc %lx\n alt enable %lx\n alt disable %lx\n in ep %02lx\n out ep "
             "%02lx\n comm ifc %lx\n notify ep %02lx\n",
             __func__, configuration, data_interface, fdx->alt_enable, fdx->alt_disable, fdx->data_in_ep,
             fdx->data_out_ep, comm_interface, fdx->notify_ep);

    status = usb_select_configuration(device, (UCHAR)configuration, data_interface, comm_interface);
    if (!NT_SUCCESS(status)) {
        return status;
    }

    num_interfaces = WdfUsbTargetDeviceGetNumInterfaces(fdx->usb_device);
    QD_TRACE(TRACE_LEVEL_INFO, "%s: num_interfaces %d\n", __func__, num_interfaces);

    // Interfaces found by the failed automatic selection belong to another
    // selection and must not pass for the named ones.
    fdx->usb_ifc_data = NULL;
    fdx->usb_ifc_comm = NULL;
    for (ULONG i = 0; i < num_interfaces; i++) {
        ifc = WdfUsbTargetDeviceGetInterface(fdx->usb_device, (UCHAR)i);
        WdfUsbInterfaceGetDescriptor(ifc, 0, &desc);
        usb_ifc_trace(&desc);
        if (desc.bInterfaceNumber == data_interface) {
            fdx->usb_ifc_data = ifc;
        }
        if (desc.bInterfaceNumber == comm_interface) {
            fdx->usb_ifc_comm = ifc;
        }
    }
    if (fdx->usb_ifc_data == NULL || (comm_interface != QD_NO_INTERFACE && fdx->usb_ifc_comm == NULL)) {
        QD_TRACE(TRACE_LEVEL_ERROR, "%s: interface not found\n", __func__);
        return STATUS_INVALID_DEVICE_STATE;
    }

    fdx->cdc_override_configuration = 1;

    // "NotifyEp" only says that there is a notification pipe: the last
    // interrupt IN pipe of the communication interface is taken, and its
    // address replaces the configured one.
    if (fdx->notify_ep != QD_NO_ENDPOINT && fdx->usb_ifc_comm != NULL) {
        fdx->pipe_comm_notify = usb_ifc_get_pipe(fdx->usb_ifc_comm, WdfUsbPipeTypeInterrupt, QD_PIPE_DIR_IN,
                                                 &fdx->notify_maxps, &fdx->notify_ep);
        if (fdx->pipe_comm_notify == NULL) {
            QD_TRACE(TRACE_LEVEL_ERROR, "%s: notification endpoint not found\n", __func__);
            return STATUS_INVALID_DEVICE_STATE;
        }
    }

    status = usb_cdc_enable(fdx);
    if (!NT_SUCCESS(status)) {
        QD_TRACE(TRACE_LEVEL_ERROR, "%s: Failed to enable CDC device, status %lx\n", __func__, status);
        return STATUS_INVALID_DEVICE_STATE;
    }

    QD_TRACE(TRACE_LEVEL_INFO, "%s: device configured ok\n", __func__);
    return STATUS_SUCCESS;
}
