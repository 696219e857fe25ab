// Child PDO creation.
#include "cdc_bus.h"

#define CDC_PDO_TEXT_CHARS 80
#define CDC_LOCALE_EN_US 0x409

// A function whose type has no enumerator name still gets a usable device ID.
static const WCHAR cdc_unnamed_enumerator[] = L"usbcdc";

static PCWSTR cdc_enumerator_name(PCDC_CHILD_DESCRIPTION description) {
    return description->ids.qd_enumerator != NULL ? description->ids.qd_enumerator : cdc_unnamed_enumerator;
}

NTSTATUS cdc_device_create(WDFCHILDLIST list, PWDF_CHILD_IDENTIFICATION_DESCRIPTION_HEADER header,
                           PWDFDEVICE_INIT init) {
    PCDC_CHILD_DESCRIPTION description = CONTAINING_RECORD(header, CDC_CHILD_DESCRIPTION, header);
    BOOLEAN listed;
    NTSTATUS status;

    UNREFERENCED_PARAMETER(list);

    // The framework hands over its stored copy, so the flag persists: one
    // description yields at most one attempt, and the reference it holds is
    // released exactly once.
    if (InterlockedCompareExchange(&description->create_attempted, 1, 0) != 0) {
        QD_TRACE(TRACE_LEVEL_ERROR, "%s: already attempted to create a child for device %p\n", __func__,
                 description->ids.device);
        status = STATUS_UNSUCCESSFUL;
        goto exit;
    }

    if (drv_ctx.control_device_used != 0) {
        WdfSpinLockAcquire(drv_ctx.usb_devices_lock);
        listed = ctrl_usb_device_is_listed(description->ids.device);
        WdfSpinLockRelease(drv_ctx.usb_devices_lock);
        if (!listed) {
            WdfObjectDereferenceActual(description->ids.device, NULL, __LINE__, (PCHAR)__FILE__);
            QD_TRACE(TRACE_LEVEL_INFO, "%s: device %p does not exist, probably already disconnected\n", __func__,
                     description->ids.device);
            status = STATUS_UNSUCCESSFUL;
            goto exit;
        }
    }

    QD_TRACE(TRACE_LEVEL_INFO, "%s: qd_enumerator %ws, hwid %ws, location %ws, unique_id %ld, ui_number %ld\n",
             __func__, description->ids.qd_enumerator, description->ids.hwid, description->ids.location,
             description->unique_id, description->ui_number);

    status = cdc_devnode_prepare(init, description);
    if (NT_SUCCESS(status)) {
        status = cdc_devnode_create(&init, description);
    }
    WdfObjectDereferenceActual(description->ids.device, NULL, __LINE__, (PCHAR)__FILE__);

exit:
    QD_TRACE(TRACE_LEVEL_INFO, "%s: done, status 0x%lx\n", __func__, status);
    return status;
}

NTSTATUS cdc_devnode_prepare(PWDFDEVICE_INIT init, PCDC_CHILD_DESCRIPTION description) {
    DECLARE_UNICODE_STRING_SIZE(device_id, CDC_PDO_TEXT_CHARS);
    DECLARE_UNICODE_STRING_SIZE(compatible_id, CDC_PDO_TEXT_CHARS);
    DECLARE_UNICODE_STRING_SIZE(instance_id, CDC_PDO_TEXT_CHARS);
    DECLARE_UNICODE_STRING_SIZE(device_text, CDC_PDO_TEXT_CHARS);
    DECLARE_UNICODE_STRING_SIZE(location_text, CDC_PDO_TEXT_CHARS);
    DECLARE_UNICODE_STRING_SIZE(device_name, CDC_PDO_TEXT_CHARS);
    PCWSTR enumerator = cdc_enumerator_name(description);
    BOOLEAN ext_ctrl = (description->unique_id & 1) != 0;
    NTSTATUS status;

    WdfDeviceInitSetDeviceType(init, FILE_DEVICE_SERIAL_PORT);

    status = RtlUnicodeStringPrintf(&device_id, L"%ws\\%ws", enumerator, description->ids.hwid);
    if (!NT_SUCCESS(status)) {
        goto exit;
    }
    status = WdfPdoInitAssignDeviceID(init, &device_id);
    if (!NT_SUCCESS(status)) {
        goto exit;
    }
    status = WdfPdoInitAddHardwareID(init, &device_id);
    if (!NT_SUCCESS(status)) {
        goto exit;
    }

    status = RtlUnicodeStringPrintf(&compatible_id, L"%ws\\compat%ws", enumerator, ext_ctrl ? L"&ext_ctrl" : L"");
    if (!NT_SUCCESS(status)) {
        goto exit;
    }
    status = WdfPdoInitAddCompatibleID(init, &compatible_id);
    if (!NT_SUCCESS(status)) {
        goto exit;
    }

    status = RtlUnicodeStringPrintf(&instance_id, L"%ws_%02ld", description->ids.location, description->unique_id);
    if (!NT_SUCCESS(status)) {
        goto exit;
    }
    status = WdfPdoInitAssignInstanceID(init, &instance_id);
    if (!NT_SUCCESS(status)) {
        goto exit;
    }

    if (description->driver != NULL &&
        NT_SUCCESS(qd_registry_rw_unicode_str(description->driver, &device_name, NULL))) {
        status = RtlUnicodeStringPrintf(&device_text, L"%ws", device_name.Buffer);
    } else {
        status = RtlUnicodeStringPrintf(&device_text, L"%ws_%ws_%02ld", enumerator, description->ids.location,
                                        description->unique_id);
    }
    if (!NT_SUCCESS(status)) {
        goto exit;
    }

    status = RtlUnicodeStringPrintf(&location_text, L"%ws bus", enumerator);
    if (!NT_SUCCESS(status)) {
        goto exit;
    }

    status = WdfPdoInitAddDeviceText(init, &device_text, &location_text, CDC_LOCALE_EN_US);
    if (!NT_SUCCESS(status)) {
        goto exit;
    }
    WdfPdoInitSetDefaultLocale(init, CDC_LOCALE_EN_US);

exit:
    if (!NT_SUCCESS(status)) {
        QD_TRACE(TRACE_LEVEL_ERROR, "%s: failed %lx\n", __func__, status);
    }
    return status;
}

NTSTATUS cdc_devnode_create(PWDFDEVICE_INIT* init, PCDC_CHILD_DESCRIPTION description) {
    WDF_OBJECT_ATTRIBUTES attributes;
    WDF_DEVICE_PNP_CAPABILITIES pnp_caps;
    WDF_DEVICE_POWER_CAPABILITIES power_caps;
    PCDC_DEVICE_CONTEXT cdc_pdx;
    WDFDEVICE pdo;
    NTSTATUS status;

    WDF_OBJECT_ATTRIBUTES_INIT_CONTEXT_TYPE(&attributes, CDC_DEVICE_CONTEXT);
    attributes.EvtCleanupCallback = cdc_evt_child_context_cleanup;
    status = WdfDeviceCreate(init, &attributes, &pdo);
    if (!NT_SUCCESS(status)) {
        QD_TRACE(TRACE_LEVEL_ERROR, "%s: WdfDeviceCreate failed, status %lx\n", __func__, status);
        return status;
    }

    // The function device's own ids: an extra-control twin's hardware id in
    // the description carries the suffix, the context's does not.
    cdc_pdx = cdc_get_device_context(pdo);
    // Before anything can fail: a departing device settles every child it
    // finds in the list, also one whose creation stopped half-way.
    KeInitializeEvent(&cdc_pdx->route_settled, NotificationEvent, FALSE);
    KeInitializeEvent(&cdc_pdx->route_settle_lock, SynchronizationEvent, TRUE);
    WDF_OBJECT_ATTRIBUTES_INIT(&attributes);
    attributes.ParentObject = pdo;
    status = WdfSpinLockCreate(&attributes, &cdc_pdx->counts_lock);
    if (!NT_SUCCESS(status)) {
        QD_TRACE(TRACE_LEVEL_ERROR, "%s: WdfSpinLockCreate failed, status %lx\n", __func__, status);
        return status;
    }
    status = WdfSpinLockCreate(&attributes, &cdc_pdx->route_lock);
    if (!NT_SUCCESS(status)) {
        QD_TRACE(TRACE_LEVEL_ERROR, "%s: WdfSpinLockCreate failed, status %lx\n", __func__, status);
        return status;
    }
    cdc_pdx->device = pdo;
    cdc_child_serve(cdc_pdx, description->ids.device);
    cdc_pdx->unique_id = description->unique_id;
    cdc_pdx->ui_number = description->ui_number;
    RtlCopyMemory(&cdc_pdx->ids, &usb_get_device_context(description->ids.device)->ids, sizeof(CDC_IDS));

    WDF_DEVICE_PNP_CAPABILITIES_INIT(&pnp_caps);
    pnp_caps.EjectSupported = WdfTrue;
    pnp_caps.Removable = WdfTrue;
    pnp_caps.SurpriseRemovalOK = WdfTrue;
    pnp_caps.Address = description->unique_id;
    pnp_caps.UINumber = description->ui_number;
    WdfDeviceSetPnpCapabilities(pdo, &pnp_caps);

    WDF_DEVICE_POWER_CAPABILITIES_INIT(&power_caps);
    power_caps.DeviceD1 = WdfTrue;
    power_caps.WakeFromD1 = WdfTrue;
    power_caps.DeviceState[PowerSystemWorking] = PowerDeviceD0;
    power_caps.DeviceState[PowerSystemSleeping1] = PowerDeviceD1;
    power_caps.DeviceState[PowerSystemSleeping2] = PowerDeviceD3;
    power_caps.DeviceState[PowerSystemSleeping3] = PowerDeviceD3;
    power_caps.DeviceState[PowerSystemHibernate] = PowerDeviceD3;
    power_caps.DeviceState[PowerSystemShutdown] = PowerDeviceD3;
    power_caps.DeviceWake = PowerDeviceD1;
    WdfDeviceSetPowerCapabilities(pdo, &power_caps);

    // A child without the interface still exists; its drivers' queries fail.
    cdc_register_interface(pdo);

    QD_TRACE(TRACE_LEVEL_VERBOSE, "%s: done\n", __func__);
    return STATUS_SUCCESS;
}

WDFDEVICE cdc_child_serve(PCDC_DEVICE_CONTEXT cdc_pdx, WDFDEVICE device) {
    WDFDEVICE before;

    if (device != NULL) {
        WdfObjectReferenceActual(device, (PVOID)cdc_child_serve, __LINE__, (PCHAR)__FILE__);
    }
    WdfSpinLockAcquire(cdc_pdx->route_lock);
    before = cdc_pdx->usb_device;
    cdc_pdx->usb_device = device;
    // A full barrier: a routed call counted in route_readers after it reads
    // the new device, so a settle that finds the count 0 afterwards is sure
    // no call still reads the one before.
    InterlockedExchangePointer((PVOID volatile*)&cdc_pdx->usb_fdx,
                               device != NULL ? usb_get_device_context(device) : NULL);
    WdfSpinLockRelease(cdc_pdx->route_lock);
    return before;
}

VOID cdc_child_route_settle(PCDC_DEVICE_CONTEXT cdc_pdx) {
    KeWaitForSingleObject(&cdc_pdx->route_settle_lock, Executive, KernelMode, FALSE, NULL);
    InterlockedExchange(&cdc_pdx->route_settling, 1);
    for (;;) {
        KeClearEvent(&cdc_pdx->route_settled);
        // After the clearing: a call that leaves now sets the event again.
        if (InterlockedCompareExchange(&cdc_pdx->route_readers, 0, 0) == 0) {
            break;
        }
        KeWaitForSingleObject(&cdc_pdx->route_settled, Executive, KernelMode, FALSE, NULL);
    }
    InterlockedExchange(&cdc_pdx->route_settling, 0);
    KeSetEvent(&cdc_pdx->route_settle_lock, IO_NO_INCREMENT, FALSE);
}

VOID cdc_child_serve_drop(WDFDEVICE device) {
    if (device != NULL) {
        WdfObjectDereferenceActual(device, (PVOID)cdc_child_serve, __LINE__, (PCHAR)__FILE__);
    }
}

// A child going away gives back its reference on the device serving it.
// It has left the child list and its drivers are gone, so nothing else reads
// or writes the field now; its route_lock, a child object, went before it.
VOID cdc_evt_child_context_cleanup(WDFOBJECT object) {
    PCDC_DEVICE_CONTEXT cdc_pdx = cdc_get_device_context(object);
    WDFDEVICE device = cdc_pdx->usb_device;

    cdc_pdx->usb_device = NULL;
    cdc_pdx->usb_fdx = NULL;
    cdc_child_serve_drop(device);
}
