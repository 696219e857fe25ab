// Configuration descriptor retrieval and selection of a configuration by
// interface numbers.
#include "cdc_bus.h"

// The buffer lives as long as the USB target device; its handle is returned
// only so that a failed retrieval can drop it at once. Zero-filled, so bytes
// the device never sent read as a zero bLength and end every walk.
static NTSTATUS usb_config_desc_buffer_create(PDEVICE_CONTEXT fdx, USHORT size, WDFMEMORY* memory, PVOID* buffer) {
    WDF_OBJECT_ATTRIBUTES attributes;
    NTSTATUS status;

    WDF_OBJECT_ATTRIBUTES_INIT(&attributes);
    attributes.ParentObject = fdx->usb_device;
    status = WdfMemoryCreate(&attributes, NonPagedPool, CDC_POOL_TAG, size, memory, buffer);
    if (NT_SUCCESS(status)) {
        RtlZeroMemory(*buffer, size);
    }
    return status;
}

// Every walk of config_desc trusts wTotalLength, so it is cut down to the
// bytes the buffer really holds.
static VOID usb_config_desc_clamp(PVOID buffer, ULONG valid_bytes) {
    PUSB_CONFIGURATION_DESCRIPTOR config = (PUSB_CONFIGURATION_DESCRIPTOR)buffer;

    if (config->wTotalLength > valid_bytes) {
        config->wTotalLength = (USHORT)valid_bytes;
    }
}

PUSB_COMMON_DESCRIPTOR usb_config_desc_next(PVOID config_desc, PUSB_COMMON_DESCRIPTOR current) {
    PUCHAR base = (PUCHAR)config_desc;
    ULONG total = ((PUSB_CONFIGURATION_DESCRIPTOR)config_desc)->wTotalLength;
    ULONG offset = 0;
    PUSB_COMMON_DESCRIPTOR next;

    if (current != NULL) {
        offset = (ULONG)((PUCHAR)current - base) + current->bLength;
    }
    if (offset + sizeof(USB_COMMON_DESCRIPTOR) > total) {
        return NULL;
    }
    next = (PUSB_COMMON_DESCRIPTOR)(base + offset);
    if (next->bLength < sizeof(USB_COMMON_DESCRIPTOR) || offset + next->bLength > total) {
        return NULL;
    }
    return next;
}

// Called at every hardware start, before the interfaces are chosen.
NTSTATUS usb_get_configuration_descriptor_default(WDFDEVICE device) {
    PDEVICE_CONTEXT fdx = usb_get_device_context(device);
    WDFMEMORY memory = NULL;
    PVOID buffer = NULL;
    USHORT size = 0;
    USHORT allocated;
    NTSTATUS status;

    status = WdfUsbTargetDeviceRetrieveConfigDescriptor(fdx->usb_device, NULL, &size);
    if (status != STATUS_SUCCESS && status != STATUS_BUFFER_TOO_SMALL) {
        return status;
    }
    // Shorter than its own header is as unusable as no size at all.
    if (size < sizeof(USB_CONFIGURATION_DESCRIPTOR)) {
        QD_TRACE(TRACE_LEVEL_ERROR, "%s: failed to retrieve size\n", __func__);
        return STATUS_DEVICE_CONFIGURATION_ERROR;
    }

    status = usb_config_desc_buffer_create(fdx, size, &memory, &buffer);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    allocated = size;
    status = WdfUsbTargetDeviceRetrieveConfigDescriptor(fdx->usb_device, buffer, &size);
    if (!NT_SUCCESS(status)) {
        WdfObjectDelete(memory);
        return status;
    }
    usb_config_desc_clamp(buffer, size < allocated ? size : allocated);
    fdx->config_desc = buffer;
    return status;
}

// Reads configuration number `configuration` (counted from 1) with two
// standard GET_DESCRIPTOR requests: the 9-byte header for wTotalLength, then
// the whole configuration.
NTSTATUS usb_get_configuration_descriptor(WDFDEVICE device, UCHAR configuration) {
    PDEVICE_CONTEXT fdx = usb_get_device_context(device);
    WDF_USB_CONTROL_SETUP_PACKET setup;
    WDF_MEMORY_DESCRIPTOR descriptor;
    USB_CONFIGURATION_DESCRIPTOR header;
    PUSB_CONFIGURATION_DESCRIPTOR config;
    WDFMEMORY memory = NULL;
    PVOID buffer = NULL;
    ULONG transferred = 0;
    USHORT total;
    NTSTATUS status;

    QD_TRACE(TRACE_LEVEL_VERBOSE, "%s: entered, configuration %x\n", __func__, configuration);

    // The descriptor index is 8-bit: configuration 0 asks for index 255.
    WDF_USB_CONTROL_SETUP_PACKET_INIT(
        &setup, BmRequestDeviceToHost, BmRequestToDevice, USB_REQUEST_GET_DESCRIPTOR,
        USB_DESCRIPTOR_MAKE_TYPE_AND_INDEX(USB_CONFIGURATION_DESCRIPTOR_TYPE, (UCHAR)(configuration - 1)), 0);
    setup.Packet.wLength = sizeof(header);

    RtlZeroMemory(&header, sizeof(header));
    WDF_MEMORY_DESCRIPTOR_INIT_BUFFER(&descriptor, &header, sizeof(header));
    status = WdfUsbTargetDeviceSendControlTransferSynchronously(fdx->usb_device, WDF_NO_HANDLE, WDF_NO_SEND_OPTIONS,
                                                                &setup, &descriptor, NULL);
    if (!NT_SUCCESS(status)) {
        goto failed;
    }

    total = header.wTotalLength;
    if (total < sizeof(USB_CONFIGURATION_DESCRIPTOR)) {
        QD_TRACE(TRACE_LEVEL_ERROR, "%s: failed to retrieve size\n", __func__);
        status = STATUS_DEVICE_CONFIGURATION_ERROR;
        goto failed;
    }

    status = usb_config_desc_buffer_create(fdx, total, &memory, &buffer);
    if (!NT_SUCCESS(status)) {
        goto failed;
    }

    setup.Packet.wLength = total;
    WDF_MEMORY_DESCRIPTOR_INIT_BUFFER(&descriptor, buffer, total);
    status = WdfUsbTargetDeviceSendControlTransferSynchronously(fdx->usb_device, WDF_NO_HANDLE, WDF_NO_SEND_OPTIONS,
                                                                &setup, &descriptor, &transferred);

    config = (PUSB_CONFIGURATION_DESCRIPTOR)buffer;
    QD_TRACE(TRACE_LEVEL_VERBOSE, "%s: wTotalLength %x, bNumInterfaces %x, bConfigurationValue %x\n", __func__,
             config->wTotalLength, config->bNumInterfaces, config->bConfigurationValue);
    if (NT_SUCCESS(status)) {
        // A short answer is kept, but only what arrived counts as the
        // configuration; a header cut short is no configuration at all.
        if (transferred < sizeof(USB_CONFIGURATION_DESCRIPTOR)) {
            QD_TRACE(TRACE_LEVEL_ERROR, "%s: failed to retrieve size\n", __func__);
            status = STATUS_DEVICE_CONFIGURATION_ERROR;
            WdfObjectDelete(memory);
            goto failed;
        }
        usb_config_desc_clamp(buffer, transferred < total ? transferred : total);
        fdx->config_desc = buffer;
        return status;
    }
    WdfObjectDelete(memory);

failed:
    QD_TRACE(TRACE_LEVEL_ERROR, "%s: failed, status %lx\n", __func__, status);
    return status;
}

// Registry override only: selects configuration `configuration` with the
// descriptors of the named interfaces (QD_NO_INTERFACE names none).
NTSTATUS usb_select_configuration(WDFDEVICE device, UCHAR configuration, ULONG data_interface, ULONG comm_interface) {
    PDEVICE_CONTEXT fdx = usb_get_device_context(device);
    WDF_USB_DEVICE_SELECT_CONFIG_PARAMS params;
    PUSB_INTERFACE_DESCRIPTOR* interfaces = NULL;
    PUSB_INTERFACE_DESCRIPTOR ifc;
    PUSB_COMMON_DESCRIPTOR desc;
    WDFMEMORY interfaces_mem = NULL;
    ULONG expected = 0;
    ULONG found = 0;
    NTSTATUS status;

    QD_TRACE(TRACE_LEVEL_VERBOSE, "%s: %x\n", __func__, configuration);

    status = usb_get_configuration_descriptor(device, configuration);
    if (!NT_SUCCESS(status)) {
        return STATUS_DEVICE_CONFIGURATION_ERROR;
    }

    if (data_interface != QD_NO_INTERFACE) {
        expected++;
    }
    // One interface may serve as both.
    if (comm_interface != QD_NO_INTERFACE && comm_interface != data_interface) {
        expected++;
    }
    if (expected == 0) {
        QD_TRACE(TRACE_LEVEL_ERROR, "%s: config error num_interface_desc %x\n", __func__, expected);
        return STATUS_DEVICE_CONFIGURATION_ERROR;
    }

    status = WdfMemoryCreate(WDF_NO_OBJECT_ATTRIBUTES, NonPagedPool, CDC_POOL_TAG,
                             expected * sizeof(PUSB_INTERFACE_DESCRIPTOR), &interfaces_mem, (PVOID*)&interfaces);
    if (!NT_SUCCESS(status)) {
        return status;
    }

    // Matching is by interface number alone, so each alternate setting of a
    // named interface takes a place in the list.
    for (desc = usb_config_desc_next(fdx->config_desc, NULL); desc != NULL && found < expected;
         desc = usb_config_desc_next(fdx->config_desc, desc)) {
        if (desc->bDescriptorType != USB_INTERFACE_DESCRIPTOR_TYPE ||
            desc->bLength < sizeof(USB_INTERFACE_DESCRIPTOR)) {
            continue;
        }
        ifc = (PUSB_INTERFACE_DESCRIPTOR)desc;
        if (ifc->bInterfaceNumber == data_interface || ifc->bInterfaceNumber == comm_interface) {
            interfaces[found++] = ifc;
        }
    }
    if (found < expected) {
        QD_TRACE(TRACE_LEVEL_ERROR, "%s: descriptors number expected %x, found %x\n", __func__, expected, found);
        status = STATUS_DEVICE_CONFIGURATION_ERROR;
        goto exit;
    }

    WDF_USB_DEVICE_SELECT_CONFIG_PARAMS_INIT_INTERFACES_DESCRIPTORS(
        &params, (PUSB_CONFIGURATION_DESCRIPTOR)fdx->config_desc, interfaces, expected);
    status = WdfUsbTargetDeviceSelectConfig(fdx->usb_device, WDF_NO_OBJECT_ATTRIBUTES, &params);
    if (NT_SUCCESS(status)) {
        QD_TRACE(TRACE_LEVEL_VERBOSE, "%s: ok\n", __func__);
    } else {
        QD_TRACE(TRACE_LEVEL_ERROR, "%s: WdfUsbTargetDeviceSelectConfig failed %lx. Bad USB config descriptor\n",
                 __func__, status);
    }

exit:
    WdfObjectDelete(interfaces_mem);
    return status;
}
