// Request records: a framework request with its data-buffer object, created
// once and used again and again.
#include "cdc_bus.h"

// Pool records and the control record carry no buffer of their own: their
// preallocated memory object points here until a transfer assigns the
// caller's buffer.
static UCHAR usb_request_placeholder[1];

// Creates one record bound to target (a pipe or the USB target device). On a
// failure after the record's memory exists, the handle still holds it.
NTSTATUS usb_request_allocate(WDFIOTARGET target, WDFMEMORY* memory, size_t size) {
    WDF_OBJECT_ATTRIBUTES attributes;
    PREQUEST_CONTEXT rqx = NULL;
    NTSTATUS status;

    WDF_OBJECT_ATTRIBUTES_INIT(&attributes);
    attributes.ParentObject = target;

    status = WdfMemoryCreate(&attributes, NonPagedPool, CDC_POOL_TAG, sizeof(REQUEST_CONTEXT), memory, (PVOID*)&rqx);
    if (!NT_SUCCESS(status)) {
        QD_TRACE(TRACE_LEVEL_ERROR, "%s: WdfMemoryCreate failed, status %lx\n", __func__, status);
        *memory = NULL;
        return status;
    }
    RtlZeroMemory(rqx, sizeof(REQUEST_CONTEXT));

    status = WdfRequestCreate(&attributes, target, &rqx->request);
    if (!NT_SUCCESS(status)) {
        QD_TRACE(TRACE_LEVEL_ERROR, "%s: WdfRequestCreate failed, status %lx\n", __func__, status);
        rqx->request = NULL;
        return status;
    }
    rqx->status = STATUS_SUCCESS;
    rqx->usbd_status = USBD_STATUS_SUCCESS;

    if (size != 0) {
        status = WdfMemoryCreate(&attributes, NonPagedPool, CDC_POOL_TAG, size, &rqx->memory, NULL);
        if (!NT_SUCCESS(status)) {
            QD_TRACE(TRACE_LEVEL_ERROR, "%s: %s failed, status %lx\n", __func__, "WdfMemoryCreate", status);
        }
    } else {
        status = WdfMemoryCreatePreallocated(&attributes, usb_request_placeholder, sizeof(usb_request_placeholder),
                                             &rqx->memory);
        if (!NT_SUCCESS(status)) {
            QD_TRACE(TRACE_LEVEL_ERROR, "%s: %s failed, status %lx\n", __func__, "WdfMemoryCreatePreallocated", status);
        }
    }
    return status;
}

// The data-buffer object is left to its parent target.
VOID usb_request_free(WDFMEMORY* memory) {
    PREQUEST_CONTEXT rqx;

    if (*memory == NULL) {
        return;
    }
    rqx = (PREQUEST_CONTEXT)WdfMemoryGetBuffer(*memory, NULL);
    if (rqx->request != NULL) {
        WdfObjectDelete(rqx->request);
        rqx->request = NULL;
    }
    WdfObjectDelete(*memory);
    *memory = NULL;
}
