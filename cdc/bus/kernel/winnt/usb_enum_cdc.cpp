// The USB function device: device add and role selection.
#include "cdc_bus.h"

#define CDC_ENUMERATOR_CHARS 64

// Decides the role from the enumerator of the PDO below: "USB" (any case) is
// the USB role, anything else the control role.
static NTSTATUS device_is_usb(PWDFDEVICE_INIT device_init, BOOLEAN* is_usb) {
    WCHAR enumerator[CDC_ENUMERATOR_CHARS];
    ULONG result_length = 0;
    UNICODE_STRING enumerator_string;
    UNICODE_STRING usb_string;
    NTSTATUS status;

    RtlZeroMemory(enumerator, sizeof(enumerator));
    status = WdfFdoInitQueryProperty(device_init, DevicePropertyEnumeratorName, sizeof(enumerator), enumerator,
                                     &result_length);
    if (!NT_SUCCESS(status)) {
        QD_TRACE(TRACE_LEVEL_ERROR, "%s: failed query for enumerator\n", __func__);
        return status;
    }
    // The property is terminated within the buffer it was copied into; keep
    // the last character a terminator whatever the bus reported.
    enumerator[CDC_ENUMERATOR_CHARS - 1] = L'\0';
    QD_TRACE(TRACE_LEVEL_INFO, "%s: the enumerator is %ws\n", __func__, enumerator);

    RtlInitUnicodeString(&enumerator_string, enumerator);
    RtlInitUnicodeString(&usb_string, L"USB");
    *is_usb = RtlCompareUnicodeString(&enumerator_string, &usb_string, TRUE) == 0;
    return STATUS_SUCCESS;
}

NTSTATUS usb_evt_device_add(WDFDRIVER driver, PWDFDEVICE_INIT device_init) {
    WDF_PNPPOWER_EVENT_CALLBACKS pnp_power_callbacks;
    WDF_CHILD_LIST_CONFIG child_list_config;
    WDF_OBJECT_ATTRIBUTES attributes;
    WDF_DEVICE_PNP_CAPABILITIES pnp_caps;
    PNP_BUS_INFORMATION bus_info;
    WDFDEVICE device;
    PDEVICE_CONTEXT fdx;
    BOOLEAN is_usb = FALSE;
    BOOLEAN owns_children;
    NTSTATUS status;

    UNREFERENCED_PARAMETER(driver);

    status = device_is_usb(device_init, &is_usb);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    QD_TRACE(TRACE_LEVEL_INFO, "%s: entered, is usb %ld\n", __func__, (LONG)(is_usb ? 1 : 0));

    if (!is_usb) {
        if (drv_ctx.control_device != NULL) {
            QD_TRACE(TRACE_LEVEL_ERROR, "%s: a control device already exists\n", __func__);
            return STATUS_UNSUCCESSFUL;
        }
        if (drv_ctx.control_device_used == 0) {
            QD_TRACE(TRACE_LEVEL_ERROR, "%s: control device feature is off\n", __func__);
            return STATUS_UNSUCCESSFUL;
        }
    }

    WDF_PNPPOWER_EVENT_CALLBACKS_INIT(&pnp_power_callbacks);
    if (is_usb) {
        pnp_power_callbacks.EvtDevicePrepareHardware = usb_evt_device_prepare_hardware;
        pnp_power_callbacks.EvtDeviceReleaseHardware = usb_evt_device_release_hardware;
        pnp_power_callbacks.EvtDeviceD0Entry = usb_evt_device_d0_entry;
        pnp_power_callbacks.EvtDeviceD0Exit = usb_evt_device_d0_exit;
        pnp_power_callbacks.EvtDeviceSelfManagedIoSuspend = usb_evt_dev_self_managed_io_suspend;
        pnp_power_callbacks.EvtDeviceSelfManagedIoRestart = usb_evt_dev_self_managed_io_restart;
    } else {
        pnp_power_callbacks.EvtDevicePrepareHardware = ctrl_evt_dev_prepare_hardware;
        pnp_power_callbacks.EvtDeviceReleaseHardware = ctrl_evt_dev_release_hardware;
        pnp_power_callbacks.EvtDeviceD0Entry = ctrl_evt_device_d0_entry;
        pnp_power_callbacks.EvtDeviceD0Exit = ctrl_evt_device_d0_exit;
    }
    WdfDeviceInitSetPnpPowerEventCallbacks(device_init, &pnp_power_callbacks);

    WdfDeviceInitSetIoType(device_init, WdfDeviceIoBuffered);

    // In control-device mode the control device owns every child, so that a
    // child can outlive the USB device serving it.
    owns_children = (drv_ctx.control_device_used != 0) == !is_usb;
    if (owns_children) {
        WDF_CHILD_LIST_CONFIG_INIT(&child_list_config, sizeof(CDC_CHILD_DESCRIPTION), cdc_device_create);
        child_list_config.EvtChildListScanForChildren = usb_evt_scan_for_children;
        child_list_config.EvtChildListIdentificationDescriptionCleanup = cdc_evt_id_cleanup;
        WdfFdoInitSetDefaultChildListConfig(device_init, &child_list_config, WDF_NO_OBJECT_ATTRIBUTES);
    }

    WDF_OBJECT_ATTRIBUTES_INIT_CONTEXT_TYPE(&attributes, DEVICE_CONTEXT);
    attributes.EvtCleanupCallback = usb_evt_device_context_cleanup;
    status = WdfDeviceCreate(&device_init, &attributes, &device);
    if (!NT_SUCCESS(status)) {
        QD_TRACE(TRACE_LEVEL_ERROR, "WdfDeviceCreate failed 0x%x\n", status);
        return status;
    }

    fdx = usb_get_device_context(device);
    RtlZeroMemory(fdx, sizeof(DEVICE_CONTEXT));
    KeInitializeEvent(&fdx->enable_lock, SynchronizationEvent, TRUE);

    WDF_DEVICE_PNP_CAPABILITIES_INIT(&pnp_caps);
    pnp_caps.SurpriseRemovalOK = WdfTrue;
    WdfDeviceSetPnpCapabilities(device, &pnp_caps);

    status = WdfDeviceCreateDeviceInterface(device, &GUID_DEVINTERFACE_CDC_BUS, NULL);
    if (!NT_SUCCESS(status)) {
        QD_TRACE(TRACE_LEVEL_ERROR, "%s: WdfDeviceCreateDeviceInterface failed 0x%x\n", __func__, status);
        return status;
    }

    bus_info.BusTypeGuid = GUID_BUS_TYPE_INTERNAL;
    bus_info.LegacyBusType = PNPBus;
    bus_info.BusNumber = 0;
    WdfDeviceSetBusInformationForChildren(device, &bus_info);

    QD_TRACE(TRACE_LEVEL_INFO, "%s: done\n", __func__);
    return STATUS_SUCCESS;
}
