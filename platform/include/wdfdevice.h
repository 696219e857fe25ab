// Device init, devices, PnP and power callbacks, power policy, FDO and PDO
// set-up, query interfaces.
#pragma once

#include "wdfchildlist.h"
#include "wdfmemory.h"
#include "wdfobject.h"
#include "wdfstring.h"

WDF_EXTERN_C_START

typedef enum _WDF_POWER_DEVICE_STATE {
    WdfPowerDeviceInvalid = 0,
    WdfPowerDeviceD0,
    WdfPowerDeviceD1,
    WdfPowerDeviceD2,
    WdfPowerDeviceD3,
    WdfPowerDeviceD3Final,
    WdfPowerDevicePrepareForHibernation,
    WdfPowerDeviceMaximum
} WDF_POWER_DEVICE_STATE,
    *PWDF_POWER_DEVICE_STATE;

typedef enum _WDF_DEVICE_IO_TYPE {
    WdfDeviceIoUndefined = 0,
    WdfDeviceIoNeither,
    WdfDeviceIoBuffered,
    WdfDeviceIoDirect,
    WdfDeviceIoBufferedOrDirect = 4,
    WdfDeviceIoMaximum
} WDF_DEVICE_IO_TYPE;

typedef enum _WDF_POWER_POLICY_S0_IDLE_CAPABILITIES {
    IdleCapsInvalid = 0,
    IdleCannotWakeFromS0,
    IdleCanWakeFromS0,
    IdleUsbSelectiveSuspend
} WDF_POWER_POLICY_S0_IDLE_CAPABILITIES;

typedef enum _WDF_POWER_POLICY_S0_IDLE_USER_CONTROL {
    IdleUserControlInvalid = 0,
    IdleDoNotAllowUserControl,
    IdleAllowUserControl
} WDF_POWER_POLICY_S0_IDLE_USER_CONTROL;

typedef enum _WDF_POWER_POLICY_IDLE_TIMEOUT_CONSTANTS {
    IdleTimeoutDefaultConstant = 0
} WDF_POWER_POLICY_IDLE_TIMEOUT_CONSTANTS;
#define IdleTimeoutDefaultValue ((ULONG)IdleTimeoutDefaultConstant)

typedef enum _WDF_POWER_POLICY_SX_WAKE_USER_CONTROL {
    WakeUserControlInvalid = 0,
    WakeDoNotAllowUserControl,
    WakeAllowUserControl
} WDF_POWER_POLICY_SX_WAKE_USER_CONTROL;

typedef enum _WDF_SPECIAL_FILE_TYPE {
    WdfSpecialFileUndefined = 0,
    WdfSpecialFilePaging = 1,
    WdfSpecialFileHibernation,
    WdfSpecialFileDump,
    WdfSpecialFileMax
} WDF_SPECIAL_FILE_TYPE;

typedef enum _WDF_DEVICE_FAILED_ACTION {
    WdfDeviceFailedUndefined = 0,
    WdfDeviceFailedAttemptRestart,
    WdfDeviceFailedNoRestart
} WDF_DEVICE_FAILED_ACTION;

#define WDF_S0_IDLE_ENABLED_VALUE_NAME L"IdleInWorkingState"
#define WDF_SX_WAKE_ENABLED_VALUE_NAME L"WakeFromSleepState"
#define WDF_S0_IDLE_DEFAULT_VALUE_NAME L"WdfDefaultIdleInWorkingState"
#define WDF_SX_WAKE_DEFAULT_VALUE_NAME L"WdfDefaultWakeFromSleepState"

// ---- PnP and power callbacks (PASSIVE_LEVEL) ----------------------------------
typedef NTSTATUS EVT_WDF_DEVICE_PREPARE_HARDWARE(WDFDEVICE Device, WDFCMRESLIST ResourcesRaw,
                                                 WDFCMRESLIST ResourcesTranslated);
typedef EVT_WDF_DEVICE_PREPARE_HARDWARE* PFN_WDF_DEVICE_PREPARE_HARDWARE;
typedef NTSTATUS EVT_WDF_DEVICE_RELEASE_HARDWARE(WDFDEVICE Device, WDFCMRESLIST ResourcesTranslated);
typedef EVT_WDF_DEVICE_RELEASE_HARDWARE* PFN_WDF_DEVICE_RELEASE_HARDWARE;
typedef NTSTATUS EVT_WDF_DEVICE_D0_ENTRY(WDFDEVICE Device, WDF_POWER_DEVICE_STATE PreviousState);
typedef EVT_WDF_DEVICE_D0_ENTRY* PFN_WDF_DEVICE_D0_ENTRY;
typedef NTSTATUS EVT_WDF_DEVICE_D0_EXIT(WDFDEVICE Device, WDF_POWER_DEVICE_STATE TargetState);
typedef EVT_WDF_DEVICE_D0_EXIT* PFN_WDF_DEVICE_D0_EXIT;
typedef NTSTATUS EVT_WDF_DEVICE_D0_ENTRY_POST_INTERRUPTS_ENABLED(WDFDEVICE Device,
                                                                 WDF_POWER_DEVICE_STATE PreviousState);
typedef EVT_WDF_DEVICE_D0_ENTRY_POST_INTERRUPTS_ENABLED* PFN_WDF_DEVICE_D0_ENTRY_POST_INTERRUPTS_ENABLED;
typedef NTSTATUS EVT_WDF_DEVICE_D0_EXIT_PRE_INTERRUPTS_DISABLED(WDFDEVICE Device, WDF_POWER_DEVICE_STATE TargetState);
typedef EVT_WDF_DEVICE_D0_EXIT_PRE_INTERRUPTS_DISABLED* PFN_WDF_DEVICE_D0_EXIT_PRE_INTERRUPTS_DISABLED;
typedef VOID EVT_WDF_DEVICE_SELF_MANAGED_IO_CLEANUP(WDFDEVICE Device);
typedef EVT_WDF_DEVICE_SELF_MANAGED_IO_CLEANUP* PFN_WDF_DEVICE_SELF_MANAGED_IO_CLEANUP;
typedef VOID EVT_WDF_DEVICE_SELF_MANAGED_IO_FLUSH(WDFDEVICE Device);
typedef EVT_WDF_DEVICE_SELF_MANAGED_IO_FLUSH* PFN_WDF_DEVICE_SELF_MANAGED_IO_FLUSH;
typedef NTSTATUS EVT_WDF_DEVICE_SELF_MANAGED_IO_INIT(WDFDEVICE Device);
typedef EVT_WDF_DEVICE_SELF_MANAGED_IO_INIT* PFN_WDF_DEVICE_SELF_MANAGED_IO_INIT;
typedef NTSTATUS EVT_WDF_DEVICE_SELF_MANAGED_IO_SUSPEND(WDFDEVICE Device);
typedef EVT_WDF_DEVICE_SELF_MANAGED_IO_SUSPEND* PFN_WDF_DEVICE_SELF_MANAGED_IO_SUSPEND;
typedef NTSTATUS EVT_WDF_DEVICE_SELF_MANAGED_IO_RESTART(WDFDEVICE Device);
typedef EVT_WDF_DEVICE_SELF_MANAGED_IO_RESTART* PFN_WDF_DEVICE_SELF_MANAGED_IO_RESTART;
typedef VOID EVT_WDF_DEVICE_SURPRISE_REMOVAL(WDFDEVICE Device);
typedef EVT_WDF_DEVICE_SURPRISE_REMOVAL* PFN_WDF_DEVICE_SURPRISE_REMOVAL;
typedef NTSTATUS EVT_WDF_DEVICE_QUERY_REMOVE(WDFDEVICE Device);
typedef EVT_WDF_DEVICE_QUERY_REMOVE* PFN_WDF_DEVICE_QUERY_REMOVE;
typedef NTSTATUS EVT_WDF_DEVICE_QUERY_STOP(WDFDEVICE Device);
typedef EVT_WDF_DEVICE_QUERY_STOP* PFN_WDF_DEVICE_QUERY_STOP;
typedef VOID EVT_WDF_DEVICE_USAGE_NOTIFICATION(WDFDEVICE Device, WDF_SPECIAL_FILE_TYPE NotificationType,
                                               BOOLEAN IsInNotificationPath);
typedef EVT_WDF_DEVICE_USAGE_NOTIFICATION* PFN_WDF_DEVICE_USAGE_NOTIFICATION;
typedef VOID EVT_WDF_DEVICE_RELATIONS_QUERY(WDFDEVICE Device, DEVICE_RELATION_TYPE RelationType);
typedef EVT_WDF_DEVICE_RELATIONS_QUERY* PFN_WDF_DEVICE_RELATIONS_QUERY;

typedef struct _WDF_PNPPOWER_EVENT_CALLBACKS {
    ULONG Size;
    PFN_WDF_DEVICE_D0_ENTRY EvtDeviceD0Entry;
    PFN_WDF_DEVICE_D0_ENTRY_POST_INTERRUPTS_ENABLED EvtDeviceD0EntryPostInterruptsEnabled;
    PFN_WDF_DEVICE_D0_EXIT EvtDeviceD0Exit;
    PFN_WDF_DEVICE_D0_EXIT_PRE_INTERRUPTS_DISABLED EvtDeviceD0ExitPreInterruptsDisabled;
    PFN_WDF_DEVICE_PREPARE_HARDWARE EvtDevicePrepareHardware;
    PFN_WDF_DEVICE_RELEASE_HARDWARE EvtDeviceReleaseHardware;
    PFN_WDF_DEVICE_SELF_MANAGED_IO_CLEANUP EvtDeviceSelfManagedIoCleanup;
    PFN_WDF_DEVICE_SELF_MANAGED_IO_FLUSH EvtDeviceSelfManagedIoFlush;
    PFN_WDF_DEVICE_SELF_MANAGED_IO_INIT EvtDeviceSelfManagedIoInit;
    PFN_WDF_DEVICE_SELF_MANAGED_IO_SUSPEND EvtDeviceSelfManagedIoSuspend;
    PFN_WDF_DEVICE_SELF_MANAGED_IO_RESTART EvtDeviceSelfManagedIoRestart;
    PFN_WDF_DEVICE_SURPRISE_REMOVAL EvtDeviceSurpriseRemoval;
    PFN_WDF_DEVICE_QUERY_REMOVE EvtDeviceQueryRemove;
    PFN_WDF_DEVICE_QUERY_STOP EvtDeviceQueryStop;
    PFN_WDF_DEVICE_USAGE_NOTIFICATION EvtDeviceUsageNotification;
    PFN_WDF_DEVICE_RELATIONS_QUERY EvtDeviceRelationsQuery;
} WDF_PNPPOWER_EVENT_CALLBACKS, *PWDF_PNPPOWER_EVENT_CALLBACKS;

FORCEINLINE VOID WDF_PNPPOWER_EVENT_CALLBACKS_INIT(PWDF_PNPPOWER_EVENT_CALLBACKS Callbacks) {
    RtlZeroMemory(Callbacks, sizeof(WDF_PNPPOWER_EVENT_CALLBACKS));
    Callbacks->Size = sizeof(WDF_PNPPOWER_EVENT_CALLBACKS);
}

// ---- Capabilities ----------------------------------------------------------
typedef struct _WDF_DEVICE_PNP_CAPABILITIES {
    ULONG Size;
    WDF_TRI_STATE LockSupported;
    WDF_TRI_STATE EjectSupported;
    WDF_TRI_STATE Removable;
    WDF_TRI_STATE DockDevice;
    WDF_TRI_STATE UniqueID;
    WDF_TRI_STATE SilentInstall;
    WDF_TRI_STATE SurpriseRemovalOK;
    WDF_TRI_STATE HardwareDisabled;
    WDF_TRI_STATE NoDisplayInUI;
    ULONG Address;
    ULONG UINumber;
} WDF_DEVICE_PNP_CAPABILITIES, *PWDF_DEVICE_PNP_CAPABILITIES;

FORCEINLINE VOID WDF_DEVICE_PNP_CAPABILITIES_INIT(PWDF_DEVICE_PNP_CAPABILITIES Caps) {
    RtlZeroMemory(Caps, sizeof(WDF_DEVICE_PNP_CAPABILITIES));
    Caps->Size = sizeof(WDF_DEVICE_PNP_CAPABILITIES);
    Caps->LockSupported = WdfUseDefault;
    Caps->EjectSupported = WdfUseDefault;
    Caps->Removable = WdfUseDefault;
    Caps->DockDevice = WdfUseDefault;
    Caps->UniqueID = WdfUseDefault;
    Caps->SilentInstall = WdfUseDefault;
    Caps->SurpriseRemovalOK = WdfUseDefault;
    Caps->HardwareDisabled = WdfUseDefault;
    Caps->NoDisplayInUI = WdfUseDefault;
    Caps->Address = (ULONG)-1;
    Caps->UINumber = (ULONG)-1;
}

typedef struct _WDF_DEVICE_POWER_CAPABILITIES {
    ULONG Size;
    WDF_TRI_STATE DeviceD1;
    WDF_TRI_STATE DeviceD2;
    WDF_TRI_STATE WakeFromD0;
    WDF_TRI_STATE WakeFromD1;
    WDF_TRI_STATE WakeFromD2;
    WDF_TRI_STATE WakeFromD3;
    DEVICE_POWER_STATE DeviceState[PowerSystemMaximum];
    DEVICE_POWER_STATE DeviceWake;
    SYSTEM_POWER_STATE SystemWake;
    ULONG D1Latency;
    ULONG D2Latency;
    ULONG D3Latency;
    DEVICE_POWER_STATE IdealDxStateForSx;
} WDF_DEVICE_POWER_CAPABILITIES, *PWDF_DEVICE_POWER_CAPABILITIES;

FORCEINLINE VOID WDF_DEVICE_POWER_CAPABILITIES_INIT(PWDF_DEVICE_POWER_CAPABILITIES Caps) {
    RtlZeroMemory(Caps, sizeof(WDF_DEVICE_POWER_CAPABILITIES));
    Caps->Size = sizeof(WDF_DEVICE_POWER_CAPABILITIES);
    Caps->DeviceD1 = WdfUseDefault;
    Caps->DeviceD2 = WdfUseDefault;
    Caps->WakeFromD0 = WdfUseDefault;
    Caps->WakeFromD1 = WdfUseDefault;
    Caps->WakeFromD2 = WdfUseDefault;
    Caps->WakeFromD3 = WdfUseDefault;
    for (ULONG i = 0; i < PowerSystemMaximum; i++) {
        Caps->DeviceState[i] = PowerDeviceMaximum;
    }
    Caps->DeviceWake = PowerDeviceMaximum;
    Caps->SystemWake = PowerSystemMaximum;
    Caps->D1Latency = (ULONG)-1;
    Caps->D2Latency = (ULONG)-1;
    Caps->D3Latency = (ULONG)-1;
    Caps->IdealDxStateForSx = PowerDeviceMaximum;
}

// ---- Power policy ----------------------------------------------------------
typedef struct _WDF_DEVICE_POWER_POLICY_IDLE_SETTINGS {
    ULONG Size;
    WDF_POWER_POLICY_S0_IDLE_CAPABILITIES IdleCaps;
    DEVICE_POWER_STATE DxState;
    ULONG IdleTimeout;
    WDF_POWER_POLICY_S0_IDLE_USER_CONTROL UserControlOfIdleSettings;
    WDF_TRI_STATE Enabled;
    WDF_TRI_STATE PowerUpIdleDeviceOnSystemWake;
} WDF_DEVICE_POWER_POLICY_IDLE_SETTINGS, *PWDF_DEVICE_POWER_POLICY_IDLE_SETTINGS;

FORCEINLINE VOID WDF_DEVICE_POWER_POLICY_IDLE_SETTINGS_INIT(PWDF_DEVICE_POWER_POLICY_IDLE_SETTINGS Settings,
                                                            WDF_POWER_POLICY_S0_IDLE_CAPABILITIES IdleCaps) {
    RtlZeroMemory(Settings, sizeof(WDF_DEVICE_POWER_POLICY_IDLE_SETTINGS));
    Settings->Size = sizeof(WDF_DEVICE_POWER_POLICY_IDLE_SETTINGS);
    Settings->IdleTimeout = IdleTimeoutDefaultValue;
    Settings->UserControlOfIdleSettings = IdleAllowUserControl;
    Settings->Enabled = WdfUseDefault;
    Settings->PowerUpIdleDeviceOnSystemWake = WdfUseDefault;
    Settings->IdleCaps = IdleCaps;
    Settings->DxState = (IdleCaps == IdleCannotWakeFromS0) ? PowerDeviceD3 : PowerDeviceMaximum;
}

typedef struct _WDF_DEVICE_POWER_POLICY_WAKE_SETTINGS {
    ULONG Size;
    DEVICE_POWER_STATE DxState;
    WDF_POWER_POLICY_SX_WAKE_USER_CONTROL UserControlOfWakeSettings;
    WDF_TRI_STATE Enabled;
    BOOLEAN ArmForWakeIfChildrenAreArmedForWake;
    BOOLEAN IndicateChildWakeOnParentWake;
} WDF_DEVICE_POWER_POLICY_WAKE_SETTINGS, *PWDF_DEVICE_POWER_POLICY_WAKE_SETTINGS;

FORCEINLINE VOID WDF_DEVICE_POWER_POLICY_WAKE_SETTINGS_INIT(PWDF_DEVICE_POWER_POLICY_WAKE_SETTINGS Settings) {
    RtlZeroMemory(Settings, sizeof(WDF_DEVICE_POWER_POLICY_WAKE_SETTINGS));
    Settings->Size = sizeof(WDF_DEVICE_POWER_POLICY_WAKE_SETTINGS);
    Settings->Enabled = WdfUseDefault;
    Settings->DxState = PowerDeviceMaximum;
    Settings->UserControlOfWakeSettings = WakeAllowUserControl;
}

typedef struct _WDF_POWER_POLICY_EVENT_CALLBACKS {
    ULONG Size;
    PVOID EvtDeviceArmWakeFromS0;
    PVOID EvtDeviceDisarmWakeFromS0;
    PVOID EvtDeviceWakeFromS0Triggered;
    PVOID EvtDeviceArmWakeFromSx;
    PVOID EvtDeviceDisarmWakeFromSx;
    PVOID EvtDeviceWakeFromSxTriggered;
    PVOID EvtDeviceArmWakeFromSxWithReason;
} WDF_POWER_POLICY_EVENT_CALLBACKS, *PWDF_POWER_POLICY_EVENT_CALLBACKS;

// ---- Query interface -------------------------------------------------------
typedef NTSTATUS EVT_WDF_DEVICE_PROCESS_QUERY_INTERFACE_REQUEST(WDFDEVICE Device, LPGUID InterfaceType,
                                                                PINTERFACE ExposedInterface,
                                                                PVOID ExposedInterfaceSpecificData);
typedef EVT_WDF_DEVICE_PROCESS_QUERY_INTERFACE_REQUEST* PFN_WDF_DEVICE_PROCESS_QUERY_INTERFACE_REQUEST;

typedef struct _WDF_QUERY_INTERFACE_CONFIG {
    ULONG Size;
    PINTERFACE Interface;
    CONST GUID* InterfaceType;
    BOOLEAN SendQueryToParentStack;
    PFN_WDF_DEVICE_PROCESS_QUERY_INTERFACE_REQUEST EvtDeviceProcessQueryInterfaceRequest;
    BOOLEAN ImportInterface;
} WDF_QUERY_INTERFACE_CONFIG, *PWDF_QUERY_INTERFACE_CONFIG;

FORCEINLINE VOID WDF_QUERY_INTERFACE_CONFIG_INIT(
    PWDF_QUERY_INTERFACE_CONFIG InterfaceConfig, PINTERFACE Interface, CONST GUID* InterfaceType,
    PFN_WDF_DEVICE_PROCESS_QUERY_INTERFACE_REQUEST EvtDeviceProcessQueryInterfaceRequest) {
    RtlZeroMemory(InterfaceConfig, sizeof(WDF_QUERY_INTERFACE_CONFIG));
    InterfaceConfig->Size = sizeof(WDF_QUERY_INTERFACE_CONFIG);
    InterfaceConfig->Interface = Interface;
    InterfaceConfig->InterfaceType = InterfaceType;
    InterfaceConfig->EvtDeviceProcessQueryInterfaceRequest = EvtDeviceProcessQueryInterfaceRequest;
}

FORCEINLINE VOID WdfDeviceInterfaceReferenceNoOp(PVOID Context) { UNREFERENCED_PARAMETER(Context); }
FORCEINLINE VOID WdfDeviceInterfaceDereferenceNoOp(PVOID Context) { UNREFERENCED_PARAMETER(Context); }

// ---- PDO callbacks ---------------------------------------------------------
typedef NTSTATUS EVT_WDF_DEVICE_ENABLE_WAKE_AT_BUS(WDFDEVICE Device, SYSTEM_POWER_STATE PowerState);
typedef EVT_WDF_DEVICE_ENABLE_WAKE_AT_BUS* PFN_WDF_DEVICE_ENABLE_WAKE_AT_BUS;
typedef VOID EVT_WDF_DEVICE_DISABLE_WAKE_AT_BUS(WDFDEVICE Device);
typedef EVT_WDF_DEVICE_DISABLE_WAKE_AT_BUS* PFN_WDF_DEVICE_DISABLE_WAKE_AT_BUS;

typedef struct _WDF_PDO_EVENT_CALLBACKS {
    ULONG Size;
    PVOID EvtDeviceResourcesQuery;
    PVOID EvtDeviceResourceRequirementsQuery;
    PVOID EvtDeviceEject;
    PVOID EvtDeviceSetLock;
    PFN_WDF_DEVICE_ENABLE_WAKE_AT_BUS EvtDeviceEnableWakeAtBus;
    PFN_WDF_DEVICE_DISABLE_WAKE_AT_BUS EvtDeviceDisableWakeAtBus;
} WDF_PDO_EVENT_CALLBACKS, *PWDF_PDO_EVENT_CALLBACKS;

FORCEINLINE VOID WDF_PDO_EVENT_CALLBACKS_INIT(PWDF_PDO_EVENT_CALLBACKS Callbacks) {
    RtlZeroMemory(Callbacks, sizeof(WDF_PDO_EVENT_CALLBACKS));
    Callbacks->Size = sizeof(WDF_PDO_EVENT_CALLBACKS);
}

// ---- Device init -------------------------------------------------------------
WDFAPI_FUNCTION(VOID, WdfDeviceInitSetPnpPowerEventCallbacks,
                (PWDFDEVICE_INIT DeviceInit, PWDF_PNPPOWER_EVENT_CALLBACKS PnpPowerEventCallbacks),
                (DeviceInit, PnpPowerEventCallbacks))
WDFAPI_FUNCTION(VOID, WdfDeviceInitSetPowerPolicyEventCallbacks,
                (PWDFDEVICE_INIT DeviceInit, PWDF_POWER_POLICY_EVENT_CALLBACKS PowerPolicyEventCallbacks),
                (DeviceInit, PowerPolicyEventCallbacks))
WDFAPI_FUNCTION(VOID, WdfDeviceInitSetPowerPolicyOwnership, (PWDFDEVICE_INIT DeviceInit, BOOLEAN IsPowerPolicyOwner),
                (DeviceInit, IsPowerPolicyOwner))
WDFAPI_FUNCTION(VOID, WdfDeviceInitSetIoType, (PWDFDEVICE_INIT DeviceInit, WDF_DEVICE_IO_TYPE IoType),
                (DeviceInit, IoType))
WDFAPI_FUNCTION(VOID, WdfDeviceInitSetDeviceType, (PWDFDEVICE_INIT DeviceInit, DEVICE_TYPE DeviceType),
                (DeviceInit, DeviceType))
WDFAPI_FUNCTION(VOID, WdfDeviceInitSetExclusive, (PWDFDEVICE_INIT DeviceInit, BOOLEAN IsExclusive),
                (DeviceInit, IsExclusive))
WDFAPI_FUNCTION(VOID, WdfDeviceInitSetPowerNotPageable, (PWDFDEVICE_INIT DeviceInit), (DeviceInit))
WDFAPI_FUNCTION(VOID, WdfDeviceInitSetPowerPageable, (PWDFDEVICE_INIT DeviceInit), (DeviceInit))
WDFAPI_FUNCTION(NTSTATUS, WdfDeviceInitAssignName, (PWDFDEVICE_INIT DeviceInit, PCUNICODE_STRING DeviceName),
                (DeviceInit, DeviceName))
WDFAPI_FUNCTION(VOID, WdfDeviceInitSetCharacteristics,
                (PWDFDEVICE_INIT DeviceInit, ULONG DeviceCharacteristics, BOOLEAN OrInValues),
                (DeviceInit, DeviceCharacteristics, OrInValues))
WDFAPI_FUNCTION(VOID, WdfDeviceInitFree, (PWDFDEVICE_INIT DeviceInit), (DeviceInit))

// ---- FDO init ----------------------------------------------------------------
WDFAPI_FUNCTION(NTSTATUS, WdfFdoInitQueryProperty,
                (PWDFDEVICE_INIT DeviceInit, DEVICE_REGISTRY_PROPERTY DeviceProperty, ULONG BufferLength,
                 PVOID PropertyBuffer, PULONG ResultLength),
                (DeviceInit, DeviceProperty, BufferLength, PropertyBuffer, ResultLength))
WDFAPI_FUNCTION(NTSTATUS, WdfFdoInitAllocAndQueryProperty,
                (PWDFDEVICE_INIT DeviceInit, DEVICE_REGISTRY_PROPERTY DeviceProperty, POOL_TYPE PoolType,
                 PWDF_OBJECT_ATTRIBUTES PropertyMemoryAttributes, WDFMEMORY* PropertyMemory),
                (DeviceInit, DeviceProperty, PoolType, PropertyMemoryAttributes, PropertyMemory))
WDFAPI_FUNCTION(NTSTATUS, WdfFdoInitOpenRegistryKey,
                (PWDFDEVICE_INIT DeviceInit, ULONG DeviceInstanceKeyType, ACCESS_MASK DesiredAccess,
                 PWDF_OBJECT_ATTRIBUTES KeyAttributes, WDFKEY* Key),
                (DeviceInit, DeviceInstanceKeyType, DesiredAccess, KeyAttributes, Key))
WDFAPI_FUNCTION(VOID, WdfFdoInitSetFilter, (PWDFDEVICE_INIT DeviceInit), (DeviceInit))
WDFAPI_FUNCTION(VOID, WdfFdoInitSetDefaultChildListConfig,
                (PWDFDEVICE_INIT DeviceInit, PWDF_CHILD_LIST_CONFIG Config,
                 PWDF_OBJECT_ATTRIBUTES DefaultChildListAttributes),
                (DeviceInit, Config, DefaultChildListAttributes))
WDFAPI_FUNCTION(WDFCHILDLIST, WdfFdoGetDefaultChildList, (WDFDEVICE Fdo), (Fdo))
WDFAPI_FUNCTION(NTSTATUS, WdfFdoQueryForInterface,
                (WDFDEVICE Fdo, LPCGUID InterfaceType, PINTERFACE Interface, USHORT Size, USHORT Version,
                 PVOID InterfaceSpecificData),
                (Fdo, InterfaceType, Interface, Size, Version, InterfaceSpecificData))

// ---- PDO init ----------------------------------------------------------------
WDFAPI_FUNCTION(NTSTATUS, WdfPdoInitAssignDeviceID, (PWDFDEVICE_INIT DeviceInit, PCUNICODE_STRING DeviceID),
                (DeviceInit, DeviceID))
WDFAPI_FUNCTION(NTSTATUS, WdfPdoInitAssignInstanceID, (PWDFDEVICE_INIT DeviceInit, PCUNICODE_STRING InstanceID),
                (DeviceInit, InstanceID))
WDFAPI_FUNCTION(NTSTATUS, WdfPdoInitAddHardwareID, (PWDFDEVICE_INIT DeviceInit, PCUNICODE_STRING HardwareID),
                (DeviceInit, HardwareID))
WDFAPI_FUNCTION(NTSTATUS, WdfPdoInitAddCompatibleID, (PWDFDEVICE_INIT DeviceInit, PCUNICODE_STRING CompatibleID),
                (DeviceInit, CompatibleID))
WDFAPI_FUNCTION(NTSTATUS, WdfPdoInitAssignContainerID, (PWDFDEVICE_INIT DeviceInit, PCUNICODE_STRING ContainerID),
                (DeviceInit, ContainerID))
WDFAPI_FUNCTION(NTSTATUS, WdfPdoInitAddDeviceText,
                (PWDFDEVICE_INIT DeviceInit, PCUNICODE_STRING DeviceDescription, PCUNICODE_STRING DeviceLocation,
                 LCID LocaleId),
                (DeviceInit, DeviceDescription, DeviceLocation, LocaleId))
WDFAPI_FUNCTION(VOID, WdfPdoInitSetDefaultLocale, (PWDFDEVICE_INIT DeviceInit, LCID LocaleId), (DeviceInit, LocaleId))
WDFAPI_FUNCTION(NTSTATUS, WdfPdoInitAssignRawDevice, (PWDFDEVICE_INIT DeviceInit, CONST GUID* DeviceClassGuid),
                (DeviceInit, DeviceClassGuid))
WDFAPI_FUNCTION(VOID, WdfPdoInitSetEventCallbacks, (PWDFDEVICE_INIT DeviceInit, PWDF_PDO_EVENT_CALLBACKS DispatchTable),
                (DeviceInit, DispatchTable))
WDFAPI_FUNCTION(VOID, WdfPdoInitAllowForwardingRequestToParent, (PWDFDEVICE_INIT DeviceInit), (DeviceInit))
WDFAPI_FUNCTION(PWDFDEVICE_INIT, WdfPdoInitAllocate, (WDFDEVICE ParentDevice), (ParentDevice))
WDFAPI_FUNCTION(NTSTATUS, WdfPdoMarkMissing, (WDFDEVICE Device), (Device))
WDFAPI_FUNCTION(VOID, WdfPdoRequestEject, (WDFDEVICE Device), (Device))
WDFAPI_FUNCTION(WDFDEVICE, WdfPdoGetParent, (WDFDEVICE Device), (Device))
WDFAPI_FUNCTION(NTSTATUS, WdfPdoRetrieveIdentificationDescription,
                (WDFDEVICE Device, PWDF_CHILD_IDENTIFICATION_DESCRIPTION_HEADER IdentificationDescription),
                (Device, IdentificationDescription))

// ---- Devices -----------------------------------------------------------------
WDFAPI_FUNCTION(NTSTATUS, WdfDeviceCreate,
                (PWDFDEVICE_INIT * DeviceInit, PWDF_OBJECT_ATTRIBUTES DeviceAttributes, WDFDEVICE* Device),
                (DeviceInit, DeviceAttributes, Device))
WDFAPI_FUNCTION(VOID, WdfDeviceSetStaticStopRemove, (WDFDEVICE Device, BOOLEAN Stoppable), (Device, Stoppable))
WDFAPI_FUNCTION(WDFDRIVER, WdfDeviceGetDriver, (WDFDEVICE Device), (Device))
WDFAPI_FUNCTION(NTSTATUS, WdfDeviceCreateDeviceInterface,
                (WDFDEVICE Device, CONST GUID* InterfaceClassGUID, PCUNICODE_STRING ReferenceString),
                (Device, InterfaceClassGUID, ReferenceString))
WDFAPI_FUNCTION(VOID, WdfDeviceSetDeviceInterfaceState,
                (WDFDEVICE Device, CONST GUID* InterfaceClassGUID, PCUNICODE_STRING ReferenceString,
                 BOOLEAN IsInterfaceEnabled),
                (Device, InterfaceClassGUID, ReferenceString, IsInterfaceEnabled))
WDFAPI_FUNCTION(NTSTATUS, WdfDeviceRetrieveDeviceInterfaceString,
                (WDFDEVICE Device, CONST GUID* InterfaceClassGUID, PCUNICODE_STRING ReferenceString, WDFSTRING String),
                (Device, InterfaceClassGUID, ReferenceString, String))
WDFAPI_FUNCTION(NTSTATUS, WdfDeviceQueryProperty,
                (WDFDEVICE Device, DEVICE_REGISTRY_PROPERTY DeviceProperty, ULONG BufferLength, PVOID PropertyBuffer,
                 PULONG ResultLength),
                (Device, DeviceProperty, BufferLength, PropertyBuffer, ResultLength))
WDFAPI_FUNCTION(NTSTATUS, WdfDeviceAllocAndQueryProperty,
                (WDFDEVICE Device, DEVICE_REGISTRY_PROPERTY DeviceProperty, POOL_TYPE PoolType,
                 PWDF_OBJECT_ATTRIBUTES PropertyMemoryAttributes, WDFMEMORY* PropertyMemory),
                (Device, DeviceProperty, PoolType, PropertyMemoryAttributes, PropertyMemory))
WDFAPI_FUNCTION(NTSTATUS, WdfDeviceOpenRegistryKey,
                (WDFDEVICE Device, ULONG DeviceInstanceKeyType, ACCESS_MASK DesiredAccess,
                 PWDF_OBJECT_ATTRIBUTES KeyAttributes, WDFKEY* Key),
                (Device, DeviceInstanceKeyType, DesiredAccess, KeyAttributes, Key))
WDFAPI_FUNCTION(VOID, WdfDeviceSetPnpCapabilities, (WDFDEVICE Device, PWDF_DEVICE_PNP_CAPABILITIES PnpCapabilities),
                (Device, PnpCapabilities))
WDFAPI_FUNCTION(VOID, WdfDeviceSetPowerCapabilities,
                (WDFDEVICE Device, PWDF_DEVICE_POWER_CAPABILITIES PowerCapabilities), (Device, PowerCapabilities))
WDFAPI_FUNCTION(VOID, WdfDeviceSetBusInformationForChildren, (WDFDEVICE Device, PPNP_BUS_INFORMATION BusInformation),
                (Device, BusInformation))
WDFAPI_FUNCTION(NTSTATUS, WdfDeviceAssignS0IdleSettings,
                (WDFDEVICE Device, PWDF_DEVICE_POWER_POLICY_IDLE_SETTINGS Settings), (Device, Settings))
WDFAPI_FUNCTION(NTSTATUS, WdfDeviceAssignSxWakeSettings,
                (WDFDEVICE Device, PWDF_DEVICE_POWER_POLICY_WAKE_SETTINGS Settings), (Device, Settings))
WDFAPI_FUNCTION(NTSTATUS, WdfDeviceStopIdle, (WDFDEVICE Device, BOOLEAN WaitForD0), (Device, WaitForD0))
WDFAPI_FUNCTION(VOID, WdfDeviceResumeIdle, (WDFDEVICE Device), (Device))
WDFAPI_FUNCTION(POWER_ACTION, WdfDeviceGetSystemPowerAction, (WDFDEVICE Device), (Device))
WDFAPI_FUNCTION(NTSTATUS, WdfDeviceIndicateWakeStatus, (WDFDEVICE Device, NTSTATUS WaitWakeStatus),
                (Device, WaitWakeStatus))
WDFAPI_FUNCTION(VOID, WdfDeviceSetFailed, (WDFDEVICE Device, WDF_DEVICE_FAILED_ACTION FailedAction),
                (Device, FailedAction))
WDFAPI_FUNCTION(WDFIOTARGET, WdfDeviceGetIoTarget, (WDFDEVICE Device), (Device))
WDFAPI_FUNCTION(NTSTATUS, WdfDeviceAddQueryInterface, (WDFDEVICE Device, PWDF_QUERY_INTERFACE_CONFIG InterfaceConfig),
                (Device, InterfaceConfig))

WDF_EXTERN_C_END
