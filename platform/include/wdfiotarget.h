// I/O targets.
#pragma once

#include "wdfobject.h"
#include "wdfrequest.h"

WDF_EXTERN_C_START

typedef enum _WDF_IO_TARGET_STATE {
    WdfIoTargetStateUndefined = 0,
    WdfIoTargetStarted,
    WdfIoTargetStopped,
    WdfIoTargetClosedForQueryRemove,
    WdfIoTargetClosed,
    WdfIoTargetDeleted,
    WdfIoTargetPurged
} WDF_IO_TARGET_STATE;

typedef enum _WDF_IO_TARGET_SENT_IO_ACTION {
    WdfIoTargetSentIoUndefined = 0,
    WdfIoTargetCancelSentIo,
    WdfIoTargetWaitForSentIoToComplete,
    WdfIoTargetLeaveSentIoPending
} WDF_IO_TARGET_SENT_IO_ACTION;

WDFAPI_FUNCTION(NTSTATUS, WdfIoTargetStart, (WDFIOTARGET IoTarget), (IoTarget))
WDFAPI_FUNCTION(VOID, WdfIoTargetStop, (WDFIOTARGET IoTarget, WDF_IO_TARGET_SENT_IO_ACTION Action), (IoTarget, Action))
WDFAPI_FUNCTION(WDF_IO_TARGET_STATE, WdfIoTargetGetState, (WDFIOTARGET IoTarget), (IoTarget))
WDFAPI_FUNCTION(WDFDEVICE, WdfIoTargetGetDevice, (WDFIOTARGET IoTarget), (IoTarget))

WDF_EXTERN_C_END
