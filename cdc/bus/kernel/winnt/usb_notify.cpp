// The notification reader of the interrupt IN pipe.
#include "cdc_bus.h"

#define CDC_NOTIFY_BUFFER_SIZE 16

NTSTATUS pipe_comm_notify_request_allocate(PDEVICE_CONTEXT fdx) {
    NTSTATUS status;

    status = usb_request_allocate(WdfUsbTargetPipeGetIoTarget(fdx->pipe_comm_notify), &fdx->notify_req_mem,
                                  CDC_NOTIFY_BUFFER_SIZE);
    if (!NT_SUCCESS(status)) {
        QD_TRACE(TRACE_LEVEL_ERROR, "%s: failed to allocate usb request memory for pipe_comm_notify, status %lx\n",
                 __func__, status);
        return status;
    }
    fdx->notify_req = (PREQUEST_CONTEXT)WdfMemoryGetBuffer(fdx->notify_req_mem, NULL);
    return STATUS_SUCCESS;
}
