// Registry parameters: the driver's Parameters key and a device's hardware key.
#include "cdc_bus.h"

static const char qd_reading[] = "reading";

// Opens the driver's Parameters key when given the driver, else the device's
// hardware key.
NTSTATUS qd_open_registry_key(WDFDRIVER driver, WDFDEVICE device, WDFKEY* key) {
    NTSTATUS status;
    if (driver != NULL) {
        status = WdfDriverOpenParametersRegistryKey(driver, STANDARD_RIGHTS_ALL, WDF_NO_OBJECT_ATTRIBUTES, key);
    } else {
        status = WdfDeviceOpenRegistryKey(device, PLUGPLAY_REGKEY_DEVICE, KEY_READ, WDF_NO_OBJECT_ATTRIBUTES, key);
    }
    if (!NT_SUCCESS(status)) {
        QD_TRACE(TRACE_LEVEL_ERROR, "%s: failed opening reg key %lx\n", __func__, status);
    }
    return status;
}

// The output is written only when the read succeeds; callers apply defaults.
NTSTATUS qd_registry_rw_ulong(WDFDRIVER driver, WDFDEVICE device, PCWSTR name, PULONG value) {
    WDFKEY key = NULL;
    UNICODE_STRING value_name;
    NTSTATUS status;

    QD_TRACE(TRACE_LEVEL_VERBOSE, "%s: entered, %s parameter %ws\n", __func__, qd_reading, name);

    status = qd_open_registry_key(driver, device, &key);
    if (!NT_SUCCESS(status)) {
        QD_TRACE(TRACE_LEVEL_ERROR, "%s: failed opening reg key %lx\n", __func__, status);
        return status;
    }

    RtlInitUnicodeString(&value_name, name);
    status = WdfRegistryQueryULong(key, &value_name, value);
    WdfRegistryClose(key);

    if (!NT_SUCCESS(status)) {
        QD_TRACE(TRACE_LEVEL_NOTICE, "%s: %s parameter %ws ended with %lx (probably doesn't exist)\n", __func__,
                 qd_reading, name, status);
    }
    return status;
}

// Reads DeviceName into the caller's buffer and terminates it there. A value
// that leaves no room for the terminator counts as absent.
NTSTATUS qd_registry_rw_unicode_str(WDFDRIVER driver, PUNICODE_STRING str, PUSHORT byte_len) {
    static const WCHAR name[] = L"DeviceName";
    WDFKEY key = NULL;
    UNICODE_STRING value_name;
    USHORT queried_len = 0;
    NTSTATUS status;

    if (byte_len != NULL) {
        *byte_len = 0;
    }
    QD_TRACE(TRACE_LEVEL_VERBOSE, "%s: entered, %s parameter %ws\n", __func__, qd_reading, name);

    status = qd_open_registry_key(driver, NULL, &key);
    if (!NT_SUCCESS(status)) {
        QD_TRACE(TRACE_LEVEL_ERROR, "%s: failed opening reg key %lx\n", __func__, status);
        return status;
    }

    RtlInitUnicodeString(&value_name, name);
    status = WdfRegistryQueryUnicodeString(key, &value_name, &queried_len, str);
    WdfRegistryClose(key);

    if (NT_SUCCESS(status)) {
        if (str->Length + sizeof(WCHAR) > str->MaximumLength) {
            status = STATUS_BUFFER_OVERFLOW;
        } else {
            str->Buffer[str->Length / sizeof(WCHAR)] = L'\0';
        }
    }
    if (!NT_SUCCESS(status)) {
        QD_TRACE(TRACE_LEVEL_NOTICE, "%s: %s parameter %ws ended with %lx (probably doesn't exist)\n", __func__,
                 qd_reading, name, status);
    }
    if (byte_len != NULL) {
        *byte_len = queried_len;
    }
    return status;
}
