// The framework driver object.
#pragma once

#include "wdfobject.h"

WDF_EXTERN_C_START

typedef enum _WDF_DRIVER_INIT_FLAGS {
    WdfDriverInitNonPnpDriver = 0x1,
    WdfDriverInitNoDispatchOverride = 0x2,
    WdfVerifyOn = 0x4,
    WdfVerifierOn = 0x8,
    WdfDriverInitCompanion = 0x10
} WDF_DRIVER_INIT_FLAGS;

typedef NTSTATUS EVT_WDF_DRIVER_DEVICE_ADD(WDFDRIVER Driver, PWDFDEVICE_INIT DeviceInit);
typedef EVT_WDF_DRIVER_DEVICE_ADD* PFN_WDF_DRIVER_DEVICE_ADD;
typedef VOID EVT_WDF_DRIVER_UNLOAD(WDFDRIVER Driver);
typedef EVT_WDF_DRIVER_UNLOAD* PFN_WDF_DRIVER_UNLOAD;

typedef struct _WDF_DRIVER_CONFIG {
    ULONG Size;
    PFN_WDF_DRIVER_DEVICE_ADD EvtDriverDeviceAdd;
    PFN_WDF_DRIVER_UNLOAD EvtDriverUnload;
    ULONG DriverInitFlags;
    ULONG DriverPoolTag;
} WDF_DRIVER_CONFIG, *PWDF_DRIVER_CONFIG;

FORCEINLINE VOID WDF_DRIVER_CONFIG_INIT(PWDF_DRIVER_CONFIG Config, PFN_WDF_DRIVER_DEVICE_ADD EvtDriverDeviceAdd) {
    RtlZeroMemory(Config, sizeof(WDF_DRIVER_CONFIG));
    Config->Size = sizeof(WDF_DRIVER_CONFIG);
    Config->EvtDriverDeviceAdd = EvtDriverDeviceAdd;
}

WDFAPI_FUNCTION(NTSTATUS, WdfDriverCreate,
                (PDRIVER_OBJECT DriverObject, PCUNICODE_STRING RegistryPath, PWDF_OBJECT_ATTRIBUTES DriverAttributes,
                 PWDF_DRIVER_CONFIG DriverConfig, WDFDRIVER* Driver),
                (DriverObject, RegistryPath, DriverAttributes, DriverConfig, Driver))
#ifdef WDF_CALLS_THROUGH_TABLE
FORCEINLINE WDFDRIVER WdfGetDriver(VOID) { return WdfDriverGlobals->Driver; }
#else
WDFDRIVER WdfGetDriver(VOID);
#endif
WDFAPI_FUNCTION(NTSTATUS, WdfDriverOpenParametersRegistryKey,
                (WDFDRIVER Driver, ACCESS_MASK DesiredAccess, PWDF_OBJECT_ATTRIBUTES KeyAttributes, WDFKEY* Key),
                (Driver, DesiredAccess, KeyAttributes, Key))
WDFAPI_FUNCTION(PWSTR, WdfDriverGetRegistryPath, (WDFDRIVER Driver), (Driver))

WDF_EXTERN_C_END
