// What children learn of the USB function through the bus interface:
// functional descriptors, strings, packet sizes and descriptor copies.
#include "cdc_bus.h"

#define CDC_CS_INTERFACE 0x24
#define CDC_DFU_FUNCTIONAL 0x21
#define CDC_DFU_FUNCTIONAL_LENGTH 9
#define CDC_LANGUAGE_EN_US 0x0409

static USHORT usb_config_total_length(PVOID config_desc) {
    return ((PUSB_CONFIGURATION_DESCRIPTOR)config_desc)->wTotalLength;
}

// The communication interface's descriptor (its first setting) in the
// configuration. A failure is traced under the caller's name.
static NTSTATUS usb_get_comm_ifc_ptr(PDEVICE_CONTEXT fdx, PCSTR caller, PUSB_INTERFACE_DESCRIPTOR* ifc) {
    PUSB_COMMON_DESCRIPTOR desc = NULL;
    NTSTATUS status = STATUS_NOT_FOUND;
    UCHAR number;

    if (fdx == NULL) {
        QD_TRACE(TRACE_LEVEL_ERROR, "%s: the USB device is disconnected\n", __func__);
        status = STATUS_DEVICE_NOT_CONNECTED;
    } else if (fdx->usb_ifc_comm == NULL || fdx->config_desc == NULL) {
        status = STATUS_DEVICE_CONFIGURATION_ERROR;
    } else {
        number = WdfUsbInterfaceGetInterfaceNumber(fdx->usb_ifc_comm);
        while ((desc = usb_config_desc_next(fdx->config_desc, desc)) != NULL) {
            if (desc->bDescriptorType == USB_INTERFACE_DESCRIPTOR_TYPE &&
                desc->bLength >= sizeof(USB_INTERFACE_DESCRIPTOR) &&
                ((PUSB_INTERFACE_DESCRIPTOR)desc)->bInterfaceNumber == number) {
                *ifc = (PUSB_INTERFACE_DESCRIPTOR)desc;
                return STATUS_SUCCESS;
            }
        }
    }
    QD_TRACE(TRACE_LEVEL_ERROR, "%s: failed getting interface descriptor\n", caller);
    return status;
}

NTSTATUS usb_cdc_get_functional_descriptor_fdx(WDFDEVICE child, PDEVICE_CONTEXT fdx, UCHAR subtype, PUCHAR buffer,
                                               PUCHAR length) {
    PUSB_INTERFACE_DESCRIPTOR ifc;
    PUSB_COMMON_DESCRIPTOR desc;
    NTSTATUS status;

    UNREFERENCED_PARAMETER(child);
    status = usb_get_comm_ifc_ptr(fdx, "usb_cdc_get_functional_descriptor", &ifc);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    if (length == NULL) {
        return STATUS_INVALID_PARAMETER;
    }
    desc = (PUSB_COMMON_DESCRIPTOR)ifc;
    while ((desc = usb_config_desc_next(fdx->config_desc, desc)) != NULL) {
        // A functional descriptor header is three bytes.
        if (desc->bDescriptorType != CDC_CS_INTERFACE || desc->bLength < 3) {
            return STATUS_NOT_FOUND;
        }
        if (((PUCHAR)desc)[2] == subtype) {
            UCHAR capacity = *length;
            *length = desc->bLength;
            if (desc->bLength > capacity || buffer == NULL) {
                return STATUS_BUFFER_TOO_SMALL;
            }
            RtlCopyMemory(buffer, desc, desc->bLength);
            return STATUS_SUCCESS;
        }
    }
    return STATUS_NOT_FOUND;
}

NTSTATUS usb_cdc_get_functional_descriptor(WDFDEVICE child, UCHAR subtype, PUCHAR buffer, PUCHAR length) {
    return usb_cdc_get_functional_descriptor_fdx(child, cdc_serving_fdx(child), subtype, buffer, length);
}

NTSTATUS usb_cdc_get_string_fdx(WDFDEVICE child, PDEVICE_CONTEXT fdx, UCHAR index, PUNICODE_STRING string,
                                PUSHORT length) {
    WDFMEMORY memory;
    USHORT chars = 0;
    PWCHAR text;
    size_t size;
    NTSTATUS status;

    UNREFERENCED_PARAMETER(child);
    if (fdx == NULL) {
        QD_TRACE(TRACE_LEVEL_ERROR, "%s: the USB device is disconnected\n", "usb_cdc_get_string");
        return STATUS_DEVICE_NOT_CONNECTED;
    }
    if (string == NULL || length == NULL) {
        return STATUS_INVALID_PARAMETER;
    }
    if (!cdc_caller_at_passive("usb_cdc_get_string")) {
        return STATUS_INVALID_DEVICE_STATE;
    }
    status = WdfUsbTargetDeviceAllocAndQueryString(fdx->usb_device, WDF_NO_OBJECT_ATTRIBUTES, &memory, &chars, index,
                                                   CDC_LANGUAGE_EN_US);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    if (memory == NULL) {
        // An empty string comes without memory.
        *length = 0;
        return RtlUnicodeStringPrintf(string, L"%ws", L"");
    }
    if (chars > *length) {
        *length = chars;
        WdfObjectDelete(memory);
        return STATUS_BUFFER_TOO_SMALL;
    }
    *length = chars;
    text = (PWCHAR)WdfMemoryGetBuffer(memory, &size);
    // The device's characters are counted, not terminated: print at most that many.
    QD_TRACE(TRACE_LEVEL_INFO, "%s: entered, string desc %.*ws, length: %d\n", "usb_cdc_get_string", (int)chars, text,
             chars);
    // A string buffer smaller than the capacity the child claimed holds only
    // part of the text: that is no success.
    status = RtlUnicodeStringPrintf(string, L"%.*ws", (int)chars, text);
    WdfObjectDelete(memory);
    return status;
}

NTSTATUS usb_cdc_get_string(WDFDEVICE child, UCHAR index, PUNICODE_STRING string, PUSHORT length) {
    return usb_cdc_get_string_fdx(child, cdc_serving_fdx(child), index, string, length);
}

// A data pipe's packet size: the configured pipe's, else its endpoint's in
// setting alt_enable. Nothing is written when neither exists.
static BOOLEAN usb_data_maxps(PDEVICE_CONTEXT fdx, WDFUSBPIPE pipe, ULONG configured, ULONG ep, LONG direction,
                              PULONG out) {
    ULONG maxps;

    if (pipe != NULL) {
        *out = configured;
        return TRUE;
    }
    if (fdx->usb_ifc_data != NULL && usb_ifc_get_endpoint_maxps(fdx->usb_ifc_data, (UCHAR)fdx->alt_enable, ep,
                                                                fdx->data_pipe_type, direction, &maxps)) {
        *out = maxps;
        return TRUE;
    }
    return FALSE;
}

// Whether the pipe is open and its size, read together under the pool's
// lock, under which opening publishes both. The registry override opens the
// path during the start, before the pool's lock exists.
static VOID usb_data_pipe_snapshot(PREQ_MANAGER manager, WDFUSBPIPE const* pipe_field, ULONG const* maxps_field,
                                   WDFUSBPIPE* pipe, PULONG maxps) {
    if (manager->lock != NULL) {
        WdfSpinLockAcquire(manager->lock);
    }
    *pipe = *pipe_field;
    *maxps = *maxps_field;
    if (manager->lock != NULL) {
        WdfSpinLockRelease(manager->lock);
    }
}

NTSTATUS usb_qd_get_maxps_fdx(WDFDEVICE child, PDEVICE_CONTEXT fdx, PULONG notify_maxps, PULONG data_out_maxps,
                              PULONG data_in_maxps, PUCHAR ep0_maxps) {
    USB_DEVICE_DESCRIPTOR device_desc;
    NTSTATUS status = STATUS_SUCCESS;
    WDFUSBPIPE pipe;
    ULONG maxps;

    UNREFERENCED_PARAMETER(child);
    if (fdx == NULL) {
        QD_TRACE(TRACE_LEVEL_ERROR, "%s: the USB device is disconnected\n", "usb_qd_get_maxps");
        return STATUS_UNSUCCESSFUL;
    }
    if (notify_maxps != NULL) {
        if (fdx->pipe_comm_notify != NULL) {
            *notify_maxps = fdx->notify_maxps;
        } else {
            status = STATUS_UNSUCCESSFUL;
            if (fdx->notify_ep != QD_NO_ENDPOINT && fdx->usb_ifc_comm != NULL &&
                usb_ifc_get_endpoint_maxps(fdx->usb_ifc_comm, 0, fdx->notify_ep, WdfUsbPipeTypeInterrupt,
                                           QD_PIPE_DIR_IN, &maxps)) {
                *notify_maxps = maxps;
                status = STATUS_SUCCESS;
            }
        }
    }
    // The sizes of setting alt_enable answer also while the data path is closed.
    if (data_out_maxps != NULL) {
        usb_data_pipe_snapshot(&fdx->req_out, &fdx->pipe_data_out, &fdx->data_out_maxps, &pipe, &maxps);
        if (!usb_data_maxps(fdx, pipe, maxps, fdx->data_out_ep, QD_PIPE_DIR_OUT, data_out_maxps)) {
            status = STATUS_UNSUCCESSFUL;
        }
    }
    if (data_in_maxps != NULL) {
        usb_data_pipe_snapshot(&fdx->req_in, &fdx->pipe_data_in, &fdx->data_in_maxps, &pipe, &maxps);
        if (!usb_data_maxps(fdx, pipe, maxps, fdx->data_in_ep, QD_PIPE_DIR_IN, data_in_maxps)) {
            status = STATUS_UNSUCCESSFUL;
        }
    }
    if (ep0_maxps != NULL) {
        WdfUsbTargetDeviceGetDeviceDescriptor(fdx->usb_device, &device_desc);
        *ep0_maxps = device_desc.bMaxPacketSize0;
    }
    return status;
}

NTSTATUS usb_qd_get_maxps(WDFDEVICE child, PULONG notify_maxps, PULONG data_out_maxps, PULONG data_in_maxps,
                          PUCHAR ep0_maxps) {
    return usb_qd_get_maxps_fdx(child, cdc_serving_fdx(child), notify_maxps, data_out_maxps, data_in_maxps, ep0_maxps);
}

NTSTATUS usb_dfu_get_functional_descriptor_fdx(WDFDEVICE child, PDEVICE_CONTEXT fdx, PVOID descriptor) {
    PUSB_INTERFACE_DESCRIPTOR ifc;
    PUSB_COMMON_DESCRIPTOR desc;
    NTSTATUS status;

    UNREFERENCED_PARAMETER(child);
    status = usb_get_comm_ifc_ptr(fdx, "usb_dfu_get_functional_descriptor", &ifc);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    desc = usb_config_desc_next(fdx->config_desc, (PUSB_COMMON_DESCRIPTOR)ifc);
    if (desc == NULL || desc->bDescriptorType != CDC_DFU_FUNCTIONAL) {
        return STATUS_NOT_FOUND;
    }
    if (desc->bLength != CDC_DFU_FUNCTIONAL_LENGTH) {
        return STATUS_INVALID_BUFFER_SIZE;
    }
    if (descriptor == NULL) {
        return STATUS_INVALID_PARAMETER;
    }
    RtlCopyMemory(descriptor, desc, CDC_DFU_FUNCTIONAL_LENGTH);
    return STATUS_SUCCESS;
}

NTSTATUS usb_dfu_get_functional_descriptor(WDFDEVICE child, PVOID descriptor) {
    return usb_dfu_get_functional_descriptor_fdx(child, cdc_serving_fdx(child), descriptor);
}

NTSTATUS usb_get_func_protocol_fdx(WDFDEVICE child, PDEVICE_CONTEXT fdx, PUCHAR protocol) {
    PUSB_INTERFACE_DESCRIPTOR ifc;
    NTSTATUS status;

    UNREFERENCED_PARAMETER(child);
    status = usb_get_comm_ifc_ptr(fdx, "usb_get_func_protocol", &ifc);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    if (protocol == NULL) {
        return STATUS_INVALID_PARAMETER;
    }
    *protocol = ifc->bInterfaceProtocol;
    return STATUS_SUCCESS;
}

NTSTATUS usb_get_func_protocol(WDFDEVICE child, PUCHAR protocol) {
    return usb_get_func_protocol_fdx(child, cdc_serving_fdx(child), protocol);
}

NTSTATUS usb_qd_get_device_descriptor_fdx(WDFDEVICE child, PDEVICE_CONTEXT fdx, PUSB_DEVICE_DESCRIPTOR descriptor) {
    UNREFERENCED_PARAMETER(child);
    if (fdx == NULL || descriptor == NULL) {
        return fdx == NULL ? STATUS_DEVICE_NOT_CONNECTED : STATUS_INVALID_PARAMETER;
    }
    WdfUsbTargetDeviceGetDeviceDescriptor(fdx->usb_device, descriptor);
    return STATUS_SUCCESS;
}

NTSTATUS usb_qd_get_device_descriptor(WDFDEVICE child, PUSB_DEVICE_DESCRIPTOR descriptor) {
    return usb_qd_get_device_descriptor_fdx(child, cdc_serving_fdx(child), descriptor);
}

NTSTATUS usb_qd_get_configuration_descriptor_copyout_fdx(WDFDEVICE child, PDEVICE_CONTEXT fdx, PUCHAR buffer,
                                                         PUSHORT total_length) {
    USHORT length;

    UNREFERENCED_PARAMETER(child);
    if (fdx == NULL || fdx->config_desc == NULL) {
        return STATUS_DEVICE_NOT_CONNECTED;
    }
    length = usb_config_total_length(fdx->config_desc);
    if (total_length != NULL) {
        *total_length = length;
    }
    if (buffer != NULL) {
        RtlCopyMemory(buffer, fdx->config_desc, length);
    }
    return STATUS_SUCCESS;
}

NTSTATUS usb_qd_get_configuration_descriptor_copyout(WDFDEVICE child, PUCHAR buffer, PUSHORT total_length) {
    return usb_qd_get_configuration_descriptor_copyout_fdx(child, cdc_serving_fdx(child), buffer, total_length);
}
