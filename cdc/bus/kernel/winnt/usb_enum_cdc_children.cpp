// Reporting a function device's children, their identity, iteration over
// them and the children message.
#include "cdc_bus.h"

#define CDC_EXT_CTRL_SUFFIX L"&ext_ctrl"
#define CDC_UI_NUMBER_WRAP 0x80000000u
#define CDC_EXT_CTRL_UI_OFFSET 0x7FFFFFFFu

// Hands out the next UI number: values run 0 to 0x7FFFFFFF and start again.
// Reports of different function devices may race, hence the exchange loop.
static ULONG usb_ui_number_take(VOID) {
    LONG current;
    LONG next;
    do {
        current = ReadAcquire((volatile LONG*)&drv_ctx.ui_number_counter);
        next = (LONG)(((ULONG)current + 1) == CDC_UI_NUMBER_WRAP ? 0 : (ULONG)current + 1);
    } while (InterlockedCompareExchange((volatile LONG*)&drv_ctx.ui_number_counter, next, current) != current);
    return (ULONG)current;
}

NTSTATUS usb_children_plugin(WDFDEVICE parent, PCDC_IDS ids, ULONG child_count, BOOLEAN ext_ctrl_enabled) {
    for (ULONG i = 0; i < child_count; i++) {
        ULONG ui_number = usb_ui_number_take();
        usb_child_plugin(parent, ids, 2 * i, ui_number);
        if (ext_ctrl_enabled) {
            usb_child_plugin(parent, ids, 2 * i + 1, ui_number + CDC_EXT_CTRL_UI_OFFSET);
        }
    }
    return STATUS_SUCCESS;
}

// The description holds a reference on the function device until the first
// attempt to create its PDO, or until the framework drops it unattempted.
NTSTATUS usb_child_plugin(WDFDEVICE parent, PCDC_IDS ids, ULONG unique_id, ULONG ui_number) {
    CDC_CHILD_DESCRIPTION description;
    WDFCHILDLIST list;
    NTSTATUS status;

    QD_TRACE(TRACE_LEVEL_VERBOSE, "%s: entered, location %ws, child_unique_id %ld, child_ui_num %ld\n", __func__,
             ids->location, unique_id, ui_number);

    list = WdfFdoGetDefaultChildList(parent);

    WDF_CHILD_IDENTIFICATION_DESCRIPTION_HEADER_INIT(&description.header, sizeof(description));
    description.unique_id = unique_id;
    description.ui_number = ui_number;
    description.driver = WdfDeviceGetDriver(parent);
    RtlCopyMemory(&description.ids, ids, sizeof(CDC_IDS));

    if (unique_id & 1) {
        ULONG64 before = description.ids.hwid_len;
        size_t room = CDC_ID_CHARS - 1 - (size_t)before;
        const WCHAR* suffix = CDC_EXT_CTRL_SUFFIX;
        size_t appended = 0;
        // The field never overflows: a long hardware id takes as much of the
        // suffix as fits.
        if (before < CDC_ID_CHARS - 1) {
            while (appended < room && suffix[appended] != L'\0') {
                description.ids.hwid[before + appended] = suffix[appended];
                appended++;
            }
            description.ids.hwid[before + appended] = L'\0';
        }
        description.ids.hwid_len = before + appended;
    }
    description.create_attempted = 0;

    WdfObjectReferenceActual(ids->device, NULL, __LINE__, (PCHAR)__FILE__);
    status = WdfChildListAddOrUpdateChildDescriptionAsPresent(list, &description.header, NULL);
    if (status == STATUS_OBJECT_NAME_EXISTS) {
        QD_TRACE(TRACE_LEVEL_ERROR, "%s: Failed adding child_unique_id %ld\n", __func__, unique_id);
        WdfObjectDereferenceActual(ids->device, NULL, __LINE__, (PCHAR)__FILE__);
        return STATUS_INVALID_PARAMETER;
    }
    if (!NT_SUCCESS(status)) {
        QD_TRACE(TRACE_LEVEL_ERROR, "%s: child_unique_id %ld not reported, status %lx\n", __func__, unique_id, status);
        WdfObjectDereferenceActual(ids->device, NULL, __LINE__, (PCHAR)__FILE__);
    }
    return status;
}

// The framework frees its copy of a description: one that never reached
// cdc_device_create (its parent removed before it enumerated the child)
// still holds its reference on the function device. The flag settles which
// of the two releases it.
VOID cdc_evt_id_cleanup(WDFCHILDLIST list, PWDF_CHILD_IDENTIFICATION_DESCRIPTION_HEADER header) {
    PCDC_CHILD_DESCRIPTION description = CONTAINING_RECORD(header, CDC_CHILD_DESCRIPTION, header);

    UNREFERENCED_PARAMETER(list);
    if (InterlockedCompareExchange(&description->create_attempted, 1, 0) == 0) {
        QD_TRACE(TRACE_LEVEL_INFO, "%s: device %p, child_unique_id %ld never created\n", __func__,
                 description->ids.device, description->unique_id);
        WdfObjectDereferenceActual(description->ids.device, NULL, __LINE__, (PCHAR)__FILE__);
    }
}

// Same location (all 80 bytes), hardware ids equal over the shorter length,
// same enumerator name by pointer.
BOOLEAN cdc_evt_id_compare(WDFCHILDLIST list, PWDF_CHILD_IDENTIFICATION_DESCRIPTION_HEADER first,
                           PWDF_CHILD_IDENTIFICATION_DESCRIPTION_HEADER second) {
    PCDC_CHILD_DESCRIPTION a = CONTAINING_RECORD(first, CDC_CHILD_DESCRIPTION, header);
    PCDC_CHILD_DESCRIPTION b = CONTAINING_RECORD(second, CDC_CHILD_DESCRIPTION, header);
    ULONG64 length = min(a->ids.hwid_len, b->ids.hwid_len);
    BOOLEAN match;

    UNREFERENCED_PARAMETER(list);
    QD_TRACE(TRACE_LEVEL_VERBOSE, "%s: entered, id1 %ld, id2 %ld\n", __func__, a->ui_number, b->ui_number);

    if (length > CDC_ID_CHARS) {
        length = CDC_ID_CHARS;
    }
    match = RtlEqualMemory(a->ids.location, b->ids.location, sizeof(a->ids.location)) &&
            RtlEqualMemory(a->ids.hwid, b->ids.hwid, (size_t)length * sizeof(WCHAR)) &&
            a->ids.qd_enumerator == b->ids.qd_enumerator;
    if (match) {
        QD_TRACE(TRACE_LEVEL_VERBOSE, "%s: match !\n", __func__);
    } else {
        QD_TRACE(TRACE_LEVEL_VERBOSE, "%s: no match !\n", __func__);
    }
    return match;
}

VOID usb_child_iteration_begin(WDFDEVICE device, WDFCHILDLIST* list, PWDF_CHILD_LIST_ITERATOR iterator) {
    // In control-device mode every child belongs to the control device.
    *list = WdfFdoGetDefaultChildList(drv_ctx.control_device_used != 0 ? drv_ctx.control_device : device);
    WDF_CHILD_LIST_ITERATOR_INIT(iterator, WdfRetrievePresentChildren);
    WdfChildListBeginIteration(*list, iterator);
}

NTSTATUS usb_child_retrieve_or_remove_next(WDFDEVICE* child, WDFCHILDLIST list, PWDF_CHILD_LIST_ITERATOR iterator,
                                           PCDC_IDS ids, BOOLEAN remove) {
    CDC_CHILD_DESCRIPTION description;
    WDF_CHILD_RETRIEVE_INFO info;
    NTSTATUS status;

    *child = NULL;
    if (drv_ctx.control_device_used == 0) {
        // Each function device's own list holds only its own children.
        status = WdfChildListRetrieveNextDevice(list, iterator, child, NULL);
    } else {
        WDF_CHILD_IDENTIFICATION_DESCRIPTION_HEADER_INIT(&description.header, sizeof(description));
        RtlCopyMemory(&description.ids, ids, sizeof(CDC_IDS));
        WDF_CHILD_RETRIEVE_INFO_INIT(&info, &description.header);
        info.EvtChildListIdentificationDescriptionCompare = cdc_evt_id_compare;
        status = WdfChildListRetrieveNextDevice(list, iterator, child, &info);
        if (NT_SUCCESS(status) && remove) {
            status = WdfChildListUpdateChildDescriptionAsMissing(list, &description.header);
        }
    }
    if (!NT_SUCCESS(status)) {
        *child = NULL;
    }
    if (status == STATUS_NO_MORE_ENTRIES) {
        status = STATUS_SUCCESS;
    }
    QD_TRACE(TRACE_LEVEL_VERBOSE, "%s: done, status %lx, child %p\n", __func__, status, *child);
    return status;
}

NTSTATUS usb_children_remove(WDFDEVICE device, PCDC_IDS ids) {
    WDF_CHILD_LIST_ITERATOR iterator;
    WDFCHILDLIST list;
    WDFDEVICE child;
    NTSTATUS status;

    QD_TRACE(TRACE_LEVEL_INFO, "%s: entered, qd_enumerator %ws, hwid %ws, location %ws\n", __func__, ids->qd_enumerator,
             ids->hwid, ids->location);

    usb_child_iteration_begin(device, &list, &iterator);
    do {
        status = usb_child_retrieve_or_remove_next(&child, list, &iterator, ids, TRUE);
    } while (NT_SUCCESS(status) && child != NULL);
    WdfChildListEndIteration(list, &iterator);
    return status;
}

VOID usb_evt_scan_for_children(WDFCHILDLIST list) {
    WDF_CHILD_LIST_ITERATOR iterator;
    WDFDEVICE child;
    NTSTATUS status;

    QD_TRACE(TRACE_LEVEL_VERBOSE, "%s: entered\n", __func__);
    if (drv_ctx.control_device_used != 0) {
        QD_TRACE(TRACE_LEVEL_VERBOSE, "%s: Control Device used, children are awake\n", __func__);
        return;
    }

    WDF_CHILD_LIST_ITERATOR_INIT(&iterator, WdfRetrievePresentChildren);
    WdfChildListBeginIteration(list, &iterator);
    while (NT_SUCCESS(WdfChildListRetrieveNextDevice(list, &iterator, &child, NULL))) {
        status = WdfDeviceIndicateWakeStatus(child, STATUS_SUCCESS);
        if (!NT_SUCCESS(status)) {
            QD_TRACE(TRACE_LEVEL_NOTICE, "%s: WdfDeviceIndicateWakeStatus Failed %x. %s\n", __func__, status,
                     status == STATUS_INVALID_DEVICE_REQUEST ? "Probably the child was already waken up" : "");
        }
    }
    WdfChildListEndIteration(list, &iterator);
}

VOID usb_qd_children_msg_set(WDFDEVICE child, PFN_CDC_CHILDREN_MSG_CB cb, PVOID ctx) {
    PCDC_DEVICE_CONTEXT cdc_pdx = cdc_get_device_context(child);

    QD_TRACE(TRACE_LEVEL_VERBOSE, "%s: entered\n", __func__);
    WdfSpinLockAcquire(cdc_pdx->counts_lock);
    cdc_pdx->children_msg_cb = cb;
    cdc_pdx->children_msg_ctx = ctx;
    WdfSpinLockRelease(cdc_pdx->counts_lock);
}

NTSTATUS usb_qd_children_msg_send_fdx(WDFDEVICE child, PDEVICE_CONTEXT fdx, ULONG_PTR msg, PULONG count) {
    WDF_CHILD_LIST_ITERATOR iterator;
    WDFCHILDLIST list;
    WDFDEVICE sibling;
    PFN_CDC_CHILDREN_MSG_CB hook;
    PVOID hook_ctx;
    ULONG delivered = 0;
    NTSTATUS status;

    UNREFERENCED_PARAMETER(child);
    QD_TRACE(TRACE_LEVEL_VERBOSE, "%s: entered\n", "usb_qd_children_msg_send");
    if (fdx == NULL) {
        QD_TRACE(TRACE_LEVEL_ERROR, "%s: the USB device is disconnected\n", "usb_qd_children_msg_send");
        return STATUS_DEVICE_NOT_CONNECTED;
    }

    usb_child_iteration_begin(fdx->ids.device, &list, &iterator);
    for (;;) {
        status = usb_child_retrieve_or_remove_next(&sibling, list, &iterator, &fdx->ids, FALSE);
        if (!NT_SUCCESS(status)) {
            QD_TRACE(TRACE_LEVEL_ERROR, "%s: usb_child_retrieve_next failed, status %lx\n", "usb_qd_children_msg_send",
                     status);
            break;
        }
        if (sibling == NULL) {
            break;
        }
        PCDC_DEVICE_CONTEXT sibling_pdx = cdc_get_device_context(sibling);
        // The hook is called with no lock held.
        WdfSpinLockAcquire(sibling_pdx->counts_lock);
        hook = sibling_pdx->children_msg_cb;
        hook_ctx = sibling_pdx->children_msg_ctx;
        WdfSpinLockRelease(sibling_pdx->counts_lock);
        if (hook != NULL && hook_ctx != NULL && hook(hook_ctx, msg) == 0) {
            delivered++;
        }
    }
    WdfChildListEndIteration(list, &iterator);
    if (count != NULL) {
        *count = delivered;
    }
    return status;
}

NTSTATUS usb_qd_children_msg_send(WDFDEVICE child, ULONG_PTR msg, PULONG count) {
    return usb_qd_children_msg_send_fdx(child, cdc_serving_fdx(child), msg, count);
}
