// Hardware start and stop of a USB function device.
#include "cdc_bus.h"

// After a failed USB target creation: what the PnP manager knows of the
// device, so that a bad device can be identified from the trace. Ends at the
// first property that cannot be read.
static VOID usb_device_property_dump(WDFDEVICE device) {
    static const struct {
        DEVICE_REGISTRY_PROPERTY property;
        const char* format;
    } properties[] = {
        {DevicePropertyPhysicalDeviceObjectName, "    device name: %ws\n"},
        {DevicePropertyHardwareID, "    hardware id: %ws\n"},
        {DevicePropertyDeviceDescription, "    device description: %ws\n"},
    };
    WDF_OBJECT_ATTRIBUTES attributes;
    WDFMEMORY memory;
    NTSTATUS status;

    for (ULONG i = 0; i < RTL_NUMBER_OF(properties); i++) {
        WDF_OBJECT_ATTRIBUTES_INIT(&attributes);
        attributes.ParentObject = device;
        status = WdfDeviceAllocAndQueryProperty(device, properties[i].property, NonPagedPool, &attributes, &memory);
        if (!NT_SUCCESS(status)) {
            return;
        }
        QD_TRACE(TRACE_LEVEL_INFO, properties[i].format, (PCWSTR)WdfMemoryGetBuffer(memory, NULL));
        WdfObjectDelete(memory);
    }
}

// Copies the characters of [begin, end) into a zeroed 40-character buffer.
// Fails, writing nothing, when the part does not fit with its terminator.
static BOOLEAN usb_copy_id_part(PWCHAR buffer, const WCHAR* begin, const WCHAR* end) {
    size_t length = (size_t)(end - begin);
    if (length > CDC_ID_CHARS - 1) {
        return FALSE;
    }
    RtlZeroMemory(buffer, CDC_ID_CHARS * sizeof(WCHAR));
    RtlCopyMemory(buffer, begin, length * sizeof(WCHAR));
    return TRUE;
}

static const WCHAR* usb_find_char(const WCHAR* begin, const WCHAR* end, WCHAR c) {
    for (const WCHAR* p = begin; p < end; p++) {
        if (*p == c) {
            return p;
        }
    }
    return NULL;
}

// Learns the hardware id and the location from the device's own interface
// name: <prefix>#<hardware id>#<location>#{class guid}.
NTSTATUS usb_device_get_ids(WDFDEVICE device, PWCHAR hwid, PULONG64 hwid_len, PWCHAR location) {
    WDFSTRING string = NULL;
    UNICODE_STRING name;
    const WCHAR* end;
    const WCHAR* hwid_begin;
    const WCHAR* hwid_end;
    const WCHAR* location_end;
    NTSTATUS status;

    status = WdfStringCreate(NULL, WDF_NO_OBJECT_ATTRIBUTES, &string);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    status = WdfDeviceRetrieveDeviceInterfaceString(device, &GUID_DEVINTERFACE_CDC_BUS, NULL, string);
    if (!NT_SUCCESS(status)) {
        QD_TRACE(TRACE_LEVEL_ERROR, "%s: failed retrieving device interface string %lx\n", __func__, status);
        goto exit;
    }
    WdfStringGetUnicodeString(string, &name);
    QD_TRACE(TRACE_LEVEL_INFO, "%s: interface_string %wZ\n", __func__, &name);

    // A string that breaks the expected form fails the start rather than
    // leaving a partial identity behind.
    end = name.Buffer + name.Length / sizeof(WCHAR);
    hwid_begin = usb_find_char(name.Buffer, end, L'#');
    hwid_end = hwid_begin != NULL ? usb_find_char(hwid_begin + 1, end, L'#') : NULL;
    location_end = hwid_end != NULL ? usb_find_char(hwid_end + 1, end, L'#') : NULL;
    if (location_end == NULL || !usb_copy_id_part(hwid, hwid_begin + 1, hwid_end) ||
        !usb_copy_id_part(location, hwid_end + 1, location_end)) {
        QD_TRACE(TRACE_LEVEL_ERROR, "%s: malformed interface string %wZ\n", __func__, &name);
        status = STATUS_DEVICE_CONFIGURATION_ERROR;
        goto exit;
    }
    *hwid_len = (ULONG64)(hwid_end - (hwid_begin + 1));
    QD_TRACE(TRACE_LEVEL_VERBOSE, "%s: usb hwid %ws, len %ld\n", __func__, hwid, (LONG)*hwid_len);
    QD_TRACE(TRACE_LEVEL_VERBOSE, "%s: usb location %ws\n", __func__, location);
    for (ULONG i = 0; location[i] != L'\0'; i++) {
        if (location[i] == L'&') {
            location[i] = L'_';
        }
    }
    QD_TRACE(TRACE_LEVEL_VERBOSE, "%s: location %ws\n", __func__, location);
    status = STATUS_SUCCESS;

exit:
    WdfObjectDelete(string);
    return status;
}

// A hardware id must hold at least two '_' (VID_vvvv&PID_pppp).
NTSTATUS usb_device_get_composite_enumerated(PCWSTR hwid) {
    const WCHAR* first = NULL;
    const WCHAR* second = NULL;

    for (const WCHAR* p = hwid; *p != L'\0'; p++) {
        if (*p == L'_') {
            if (first == NULL) {
                first = p;
            } else {
                second = p;
                break;
            }
        }
    }
    if (second == NULL) {
        QD_TRACE(TRACE_LEVEL_ERROR, "%s: bad hwid %ws\n", __func__, hwid);
        return STATUS_DEVICE_CONFIGURATION_ERROR;
    }
    return STATUS_SUCCESS;
}

// A request manager's lock, with empty lists; the records themselves come
// when a child initialises data I/O. Records of an earlier start died with
// the USB target they belonged to, or stay its children, out of any list.
static NTSTATUS usb_req_manager_objects_create(PREQ_MANAGER manager, PWDF_OBJECT_ATTRIBUTES attributes) {
    manager->free_head = NULL;
    manager->free_tail = NULL;
    manager->records = NULL;
    manager->returned = NULL;
    manager->free_count = 0;
    manager->busy_count = 0;
    KeInitializeEvent(&manager->callbacks_idle, SynchronizationEvent, FALSE);
    return WdfSpinLockCreate(attributes, &manager->lock);
}

// A start after a stop (a rebalance): the hardware stop cancelled what the
// previous USB target had in flight, but completion routines of it may still
// run and give records back to the pools this start remakes. Deleting the
// target waits for every one of them and frees what the previous start
// parented to it; nothing of it is reachable afterwards.
static VOID usb_previous_start_drop(PDEVICE_CONTEXT fdx) {
    if (fdx->usb_device == NULL) {
        return;
    }
    WdfObjectDelete(fdx->usb_device);
    fdx->usb_device = NULL;
    fdx->usb_ifc_comm = NULL;
    fdx->usb_ifc_data = NULL;
    fdx->pipe_comm_notify = NULL;
    fdx->pipe_data_in = NULL;
    fdx->pipe_data_out = NULL;
    fdx->notify_req = NULL;
    fdx->notify_req_mem = NULL;
    fdx->control_req_mem = NULL;
    fdx->notify_lock = NULL;
    fdx->req_in.lock = NULL;
    fdx->req_out.lock = NULL;
}

NTSTATUS usb_evt_device_prepare_hardware(WDFDEVICE device, WDFCMRESLIST resources_raw,
                                         WDFCMRESLIST resources_translated) {
    PDEVICE_CONTEXT fdx = usb_get_device_context(device);
    WDF_USB_DEVICE_INFORMATION info;
    WDF_OBJECT_ATTRIBUTES attributes;
    ULONG ext_ctrl = 0;
    NTSTATUS status;

    UNREFERENCED_PARAMETER(resources_raw);
    UNREFERENCED_PARAMETER(resources_translated);

    QD_TRACE(TRACE_LEVEL_INFO, "%s: entered, drv_ctx.control_device_used %ld\n", __func__, drv_ctx.control_device_used);

    usb_previous_start_drop(fdx);

    status = WdfUsbTargetDeviceCreate(device, WDF_NO_OBJECT_ATTRIBUTES, &fdx->usb_device);
    if (!NT_SUCCESS(status)) {
        QD_TRACE(TRACE_LEVEL_ERROR, "%s: WdfUsbTargetDeviceCreate failed %lx\n", __func__, status);
        QD_TRACE(TRACE_LEVEL_ERROR, "%s: Bad USB device descriptor and/or the first USB configuration descriptor\n",
                 __func__);
        usb_device_property_dump(device);
        return status;
    }

    fdx->cdc_override_configuration = 0;
    fdx->data_pipe_type = WdfUsbPipeTypeBulk;

    fdx->ids.device = device;
    status = usb_device_get_ids(device, fdx->ids.hwid, &fdx->ids.hwid_len, fdx->ids.location);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    status = usb_device_get_composite_enumerated(fdx->ids.hwid);
    if (!NT_SUCCESS(status)) {
        return status;
    }

    status = usb_get_configuration_descriptor_default(device);
    if (!NT_SUCCESS(status)) {
        QD_TRACE(TRACE_LEVEL_ERROR, "%s: failed getting USB configuration %lx\n", __func__, status);
        return status;
    }

    fdx->idle_timeout = 0;
    InterlockedExchange(&fdx->d0_exited, 0);

    status = usb_qd_select_interfaces(device);
    if (status == STATUS_DEVICE_CONFIGURATION_ERROR) {
        QD_TRACE(TRACE_LEVEL_INFO, "Use registry override\n");
        status = usb_cdc_select_interfaces_override(device);
    }
    if (!NT_SUCCESS(status)) {
        return status;
    }

    status = qd_registry_rw_ulong(NULL, device, L"EnableZLP", &fdx->zlp_enabled);
    if (!NT_SUCCESS(status)) {
        fdx->zlp_enabled = 1;
    }

    WDF_USB_DEVICE_INFORMATION_INIT(&info);
    status = WdfUsbTargetDeviceRetrieveInformation(fdx->usb_device, &info);
    if (!NT_SUCCESS(status)) {
        QD_TRACE(TRACE_LEVEL_INFO, "%s: failed getting device info %lx\n", __func__, status);
        return status;
    }
    QD_TRACE(TRACE_LEVEL_INFO, "device: high speed %ld, self powered %ld, remote wake %ld\n",
             info.Traits & WDF_USB_DEVICE_TRAIT_AT_HIGH_SPEED, info.Traits & WDF_USB_DEVICE_TRAIT_SELF_POWERED,
             info.Traits & WDF_USB_DEVICE_TRAIT_REMOTE_WAKE_CAPABLE);

    if (info.Traits & WDF_USB_DEVICE_TRAIT_REMOTE_WAKE_CAPABLE) {
        status = usb_set_power_policy(device);
        if (!NT_SUCCESS(status)) {
            return status;
        }
    }

    fdx->child_count = 1;
    InterlockedExchange(&fdx->ref_count, 0);
    InterlockedExchange(&fdx->enable_count, 0);
    // The pools a child made on an earlier start went with that start's USB
    // target: after a stop the first child to ask makes them again.
    InterlockedExchange(&fdx->data_io_count, 0);

    status = qd_registry_rw_ulong(NULL, device, L"ExtraControlEnabled", &ext_ctrl);
    fdx->ext_ctrl_enabled = (NT_SUCCESS(status) && ext_ctrl != 0) ? 1 : 0;

    QD_TRACE(TRACE_LEVEL_INFO, "%s: init\n", __func__);

    // Everything a child reaches through the bus interface exists before the
    // children are reported.
    WDF_OBJECT_ATTRIBUTES_INIT(&attributes);
    attributes.ParentObject = fdx->usb_device;
    status = usb_req_manager_objects_create(&fdx->req_out, &attributes);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    status = usb_req_manager_objects_create(&fdx->req_in, &attributes);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    status = WdfSpinLockCreate(&attributes, &fdx->notify_lock);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    usb_notify_reader_init(fdx);

    // The registry override's enable may have made the record already.
    if (fdx->pipe_comm_notify != NULL && fdx->notify_req_mem == NULL) {
        status = pipe_comm_notify_request_allocate(fdx);
        if (!NT_SUCCESS(status)) {
            return status;
        }
    }

    InterlockedExchange(&fdx->control_req_state, 0);
    InterlockedExchange(&fdx->io_enabled, 1);
    InterlockedExchange(&fdx->clear_data_busy, 0);

    if (drv_ctx.control_device_used == 0) {
        status = usb_children_plugin(device, &fdx->ids, fdx->child_count, fdx->ext_ctrl_enabled);
    } else {
        status = ctrl_add_usb_device(device);
    }
    QD_TRACE(TRACE_LEVEL_INFO, "%s: done, %lx\n", __func__, status);
    return status;
}

NTSTATUS usb_evt_device_release_hardware(WDFDEVICE device, WDFCMRESLIST resources_translated) {
    PDEVICE_CONTEXT fdx = usb_get_device_context(device);
    WDFCHILDLIST list;
    NTSTATUS status;

    UNREFERENCED_PARAMETER(resources_translated);

    QD_TRACE(TRACE_LEVEL_INFO, "%s: entered, drv_ctx.control_device_used %ld\n", __func__, drv_ctx.control_device_used);

    status = STATUS_SUCCESS;
    if (drv_ctx.control_device_used != 0) {
        status = ctrl_remove_usb_device(device);
        if (!NT_SUCCESS(status)) {
            // Reported once the I/O below is over: the requests and the
            // notification record go with the device either way.
            QD_TRACE(TRACE_LEVEL_ERROR, "%s: ctrl_remove_usb_device failed, status %lx\n", __func__, status);
        }
    } else if (fdx->ids.device == NULL) {
        QD_TRACE(TRACE_LEVEL_VERBOSE, "%s: usb_device does not exist\n", "usb_bus_remove_children");
    } else {
        list = WdfFdoGetDefaultChildList(device);
        if (list == NULL) {
            QD_TRACE(TRACE_LEVEL_VERBOSE, "%s: No child devices present\n", "usb_bus_remove_children");
        } else {
            // An empty scan marks every child missing; the framework removes their PDOs.
            WdfChildListBeginScan(list);
            WdfChildListEndScan(list);
        }
    }

    // Data transfers a child left in flight (a read waiting for data, a
    // completion the device's removal queued) must be back before the
    // requests carrying them go with the device.
    if (fdx->pipe_data_in != NULL) {
        WdfIoTargetStop(WdfUsbTargetPipeGetIoTarget(fdx->pipe_data_in), WdfIoTargetCancelSentIo);
    }
    if (fdx->pipe_data_out != NULL) {
        WdfIoTargetStop(WdfUsbTargetPipeGetIoTarget(fdx->pipe_data_out), WdfIoTargetCancelSentIo);
    }

    if (fdx->pipe_comm_notify != NULL) {
        // A reader a child left running must be over before its record goes.
        usb_cdc_notify_detach(fdx);
    }
    return NT_SUCCESS(status) ? STATUS_SUCCESS : status;
}
