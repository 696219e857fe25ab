// Registry keys opened through the framework.
#pragma once

#include "wdfobject.h"

#define WDF_REGKEY_DEVICE_SUBKEY 0x0
#define WDF_REGKEY_DRIVER_SUBKEY 0x0

WDF_EXTERN_C_START
WDFAPI_FUNCTION(VOID, WdfRegistryClose, (WDFKEY Key), (Key))
WDFAPI_FUNCTION(NTSTATUS, WdfRegistryOpenKey,
                (WDFKEY ParentKey, PCUNICODE_STRING KeyName, ACCESS_MASK DesiredAccess,
                 PWDF_OBJECT_ATTRIBUTES KeyAttributes, WDFKEY* Key),
                (ParentKey, KeyName, DesiredAccess, KeyAttributes, Key))
WDFAPI_FUNCTION(NTSTATUS, WdfRegistryQueryULong, (WDFKEY Key, PCUNICODE_STRING ValueName, PULONG Value),
                (Key, ValueName, Value))
WDFAPI_FUNCTION(NTSTATUS, WdfRegistryQueryUnicodeString,
                (WDFKEY Key, PCUNICODE_STRING ValueName, PUSHORT ValueByteLength, PUNICODE_STRING Value),
                (Key, ValueName, ValueByteLength, Value))
WDFAPI_FUNCTION(NTSTATUS, WdfRegistryQueryValue,
                (WDFKEY Key, PCUNICODE_STRING ValueName, ULONG ValueLength, PVOID Value, PULONG ValueLengthQueried,
                 PULONG ValueType),
                (Key, ValueName, ValueLength, Value, ValueLengthQueried, ValueType))
WDFAPI_FUNCTION(NTSTATUS, WdfRegistryQueryString, (WDFKEY Key, PCUNICODE_STRING ValueName, WDFSTRING String),
                (Key, ValueName, String))
WDFAPI_FUNCTION(NTSTATUS, WdfRegistryAssignULong, (WDFKEY Key, PCUNICODE_STRING ValueName, ULONG Value),
                (Key, ValueName, Value))
WDFAPI_FUNCTION(NTSTATUS, WdfRegistryAssignUnicodeString,
                (WDFKEY Key, PCUNICODE_STRING ValueName, PCUNICODE_STRING Value), (Key, ValueName, Value))
WDF_EXTERN_C_END
