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

NTSTATUS WdfIoTargetStart(WDFIOTARGET IoTarget);
VOID WdfIoTargetStop(WDFIOTARGET IoTarget, WDF_IO_TARGET_SENT_IO_ACTION Action);
WDF_IO_TARGET_STATE WdfIoTargetGetState(WDFIOTARGET IoTarget);
WDFDEVICE WdfIoTargetGetDevice(WDFIOTARGET IoTarget);

WDF_EXTERN_C_END
