// Spin locks and wait locks.
#pragma once

#include "wdfobject.h"

WDF_EXTERN_C_START
WDFAPI_FUNCTION(NTSTATUS, WdfSpinLockCreate, (PWDF_OBJECT_ATTRIBUTES SpinLockAttributes, WDFSPINLOCK* SpinLock),
                (SpinLockAttributes, SpinLock))
WDFAPI_FUNCTION(VOID, WdfSpinLockAcquire, (WDFSPINLOCK SpinLock), (SpinLock))
WDFAPI_FUNCTION(VOID, WdfSpinLockRelease, (WDFSPINLOCK SpinLock), (SpinLock))
WDFAPI_FUNCTION(NTSTATUS, WdfWaitLockCreate, (PWDF_OBJECT_ATTRIBUTES LockAttributes, WDFWAITLOCK* Lock),
                (LockAttributes, Lock))
WDFAPI_FUNCTION(NTSTATUS, WdfWaitLockAcquire, (WDFWAITLOCK Lock, PLONGLONG Timeout), (Lock, Timeout))
WDFAPI_FUNCTION(VOID, WdfWaitLockRelease, (WDFWAITLOCK Lock), (Lock))
WDF_EXTERN_C_END
