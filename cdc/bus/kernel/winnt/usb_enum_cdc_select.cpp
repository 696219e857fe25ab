// Function type detection and the automatic selection of interfaces and
// pipes, with the pipe lookups the rest of the driver shares.
#include "cdc_bus.h"

#define QD_CLASS_CDC USB_DEVICE_CLASS_COMMUNICATIONS
#define QD_CLASS_CDC_DATA USB_DEVICE_CLASS_CDC_DATA
#define QD_CLASS_ICCD USB_DEVICE_CLASS_SMART_CARD
#define QD_CLASS_DFU USB_DEVICE_CLASS_APPLICATION_SPECIFIC

#define QD_PROTOCOL_ANY (-1)

// Where a function's data pipes come from.
typedef enum _QD_DATA_PATH {
    QD_DATA_BULK_AT_START,  // bulk pipes in the data interface's default setting
    QD_DATA_SWITCHED,       // pipes only in alternate setting 1, found when opened
    QD_DATA_ICCD,           // by the interface protocol
    QD_DATA_NONE,
} QD_DATA_PATH;

typedef struct _QD_FUNCTION_TYPE {
    UCHAR class_code;
    UCHAR subclass;
    PCWSTR enumerator;    // ids.qd_enumerator: compared by address, so one constant per name
    PCSTR subclass_name;  // in traces
    SHORT comm_protocol;  // bInterfaceProtocol a CDC communication interface must carry
    QD_DATA_PATH data_path;
    BOOLEAN notify;  // the function has an interrupt IN notification pipe
} QD_FUNCTION_TYPE, *PQD_FUNCTION_TYPE;

static const WCHAR qd_enumerator_acm[] = L"usbcdcacm";
static const WCHAR qd_enumerator_ecm[] = L"usbcdcecm";
static const WCHAR qd_enumerator_obex[] = L"usbcdcobex";
static const WCHAR qd_enumerator_eem[] = L"usbcdceem";
static const WCHAR qd_enumerator_iccd[] = L"usbiccd";
static const WCHAR qd_enumerator_dfu[] = L"usbdfu";

// In "DeviceClassType" order: value v forces row v - 1.
static const QD_FUNCTION_TYPE qd_function_types[] = {
    {QD_CLASS_CDC, 2, qd_enumerator_acm, "ACM", QD_PROTOCOL_ANY, QD_DATA_BULK_AT_START, TRUE},
    {QD_CLASS_CDC, 6, qd_enumerator_ecm, "ECM", 0, QD_DATA_SWITCHED, TRUE},
    {QD_CLASS_CDC, 11, qd_enumerator_obex, "OBEX", 0, QD_DATA_SWITCHED, FALSE},
    {QD_CLASS_CDC, 12, qd_enumerator_eem, "EEM", 7, QD_DATA_BULK_AT_START, FALSE},
    {QD_CLASS_ICCD, 0, qd_enumerator_iccd, "", QD_PROTOCOL_ANY, QD_DATA_ICCD, TRUE},
    {QD_CLASS_DFU, 1, qd_enumerator_dfu, "", QD_PROTOCOL_ANY, QD_DATA_NONE, FALSE},
};

// Classes with named functions; a subclass of theirs that is not in the table
// has no function name. Any other class is treated as a vendor ACM layout.
static const struct {
    UCHAR class_code;
    PCSTR name;
} qd_known_classes[] = {
    {QD_CLASS_CDC, "CDC"},
    {QD_CLASS_ICCD, "ICCD"},
    {QD_CLASS_DFU, "DFU"},
};

static const QD_FUNCTION_TYPE* usb_qd_function_type_find(UCHAR class_code, UCHAR subclass) {
    for (ULONG i = 0; i < RTL_NUMBER_OF(qd_function_types); i++) {
        if (qd_function_types[i].class_code == class_code && qd_function_types[i].subclass == subclass) {
            return &qd_function_types[i];
        }
    }
    return NULL;
}

static PCSTR usb_qd_class_name(UCHAR class_code) {
    for (ULONG i = 0; i < RTL_NUMBER_OF(qd_known_classes); i++) {
        if (qd_known_classes[i].class_code == class_code) {
            return qd_known_classes[i].name;
        }
    }
    return NULL;
}

static PCWSTR usb_qd_enumerator_detect(UCHAR class_code, UCHAR subclass) {
    const QD_FUNCTION_TYPE* type = usb_qd_function_type_find(class_code, subclass);

    if (type != NULL) {
        return type->enumerator;
    }
    return usb_qd_class_name(class_code) != NULL ? NULL : qd_enumerator_acm;
}

static PCSTR usb_qd_subclass_name(UCHAR class_code, UCHAR subclass) {
    const QD_FUNCTION_TYPE* type = usb_qd_function_type_find(class_code, subclass);

    if (type != NULL) {
        return type->subclass_name;
    }
    return class_code == QD_CLASS_CDC ? "Unknown" : "";
}

static ULONG usb_pipe_direction(const WDF_USB_PIPE_INFORMATION* info) {
    if (info->PipeType == WdfUsbPipeTypeControl) {
        return QD_PIPE_DIR_CONTROL;
    }
    return WDF_USB_PIPE_DIRECTION_IN(info->EndpointAddress) ? QD_PIPE_DIR_IN : QD_PIPE_DIR_OUT;
}

static VOID usb_pipe_trace(const WDF_USB_PIPE_INFORMATION* info) {
    QD_TRACE(TRACE_LEVEL_INFO,
             "  pipe: max packet size %x, ep addr %x, poll interval %x, alt %x, type %x, max xfer size %x\n",
             info->MaximumPacketSize, info->EndpointAddress, info->Interval, info->SettingIndex, info->PipeType,
             info->MaximumTransferSize);
}

VOID usb_ifc_trace(PUSB_INTERFACE_DESCRIPTOR desc) {
    QD_TRACE(TRACE_LEVEL_INFO, "  interface: ifc num %x, alt %x, eps %x, class %x, sub class %x, protocol %x, ii %x\n",
             desc->bInterfaceNumber, desc->bAlternateSetting, desc->bNumEndpoints, desc->bInterfaceClass,
             desc->bInterfaceSubClass, desc->bInterfaceProtocol, desc->iInterface);
}

// Every configured pipe is visited: the last match wins.
WDFUSBPIPE usb_ifc_get_pipe(WDFUSBINTERFACE ifc, WDF_USB_PIPE_TYPE type, ULONG direction, PULONG maxps, PULONG ep) {
    WDF_USB_PIPE_INFORMATION info;
    WDFUSBPIPE found = NULL;
    WDFUSBPIPE pipe;
    UCHAR count;

    if (ifc == NULL) {
        return NULL;
    }
    count = WdfUsbInterfaceGetNumConfiguredPipes(ifc);
    if (count == 0) {
        QD_TRACE(TRACE_LEVEL_ERROR, "%s: no configured pipes\n", __func__);
        return NULL;
    }
    for (UCHAR i = 0; i < count; i++) {
        WDF_USB_PIPE_INFORMATION_INIT(&info);
        pipe = WdfUsbInterfaceGetConfiguredPipe(ifc, i, &info);
        if (info.PipeType != type || usb_pipe_direction(&info) != direction) {
            continue;
        }
        *maxps = info.MaximumPacketSize;
        *ep = info.EndpointAddress;
        usb_pipe_trace(&info);
        found = pipe;
        // Reads may be shorter than a packet multiple.
        if (direction == QD_PIPE_DIR_IN) {
            WdfUsbTargetPipeSetNoMaximumPacketSizeCheck(pipe);
        }
    }
    return found;
}

WDFUSBPIPE usb_ifc_get_pipe_by_address(WDFUSBINTERFACE ifc, ULONG address, PULONG maxps) {
    WDF_USB_PIPE_INFORMATION info;
    WDFUSBPIPE pipe;
    UCHAR count;

    if (ifc == NULL) {
        return NULL;
    }
    count = WdfUsbInterfaceGetNumConfiguredPipes(ifc);
    for (UCHAR i = 0; i < count; i++) {
        WDF_USB_PIPE_INFORMATION_INIT(&info);
        pipe = WdfUsbInterfaceGetConfiguredPipe(ifc, i, &info);
        if (info.EndpointAddress != address) {
            continue;
        }
        if (maxps != NULL) {
            *maxps = info.MaximumPacketSize;
        }
        usb_pipe_trace(&info);
        if (WdfUsbTargetPipeIsInEndpoint(pipe)) {
            WdfUsbTargetPipeSetNoMaximumPacketSizeCheck(pipe);
        }
        return pipe;
    }
    return NULL;
}

// Reads the endpoint descriptions of any setting, selected or not.
BOOLEAN usb_ifc_get_endpoint_maxps(WDFUSBINTERFACE ifc, UCHAR setting, ULONG address, ULONG type, LONG direction,
                                   PULONG maxps) {
    WDF_USB_PIPE_INFORMATION info;
    BOOLEAN by_address;
    BOOLEAN by_kind;
    UCHAR count;

    if (ifc == NULL || setting >= WdfUsbInterfaceGetNumSettings(ifc)) {
        return FALSE;
    }
    count = WdfUsbInterfaceGetNumEndpoints(ifc, setting);
    for (UCHAR i = 0; i < count; i++) {
        WDF_USB_PIPE_INFORMATION_INIT(&info);
        WdfUsbInterfaceGetEndpointInformation(ifc, setting, i, &info);
        by_address = address != QD_NO_ENDPOINT && address == info.EndpointAddress;
        by_kind = type != 0 && type == (ULONG)info.PipeType && direction != QD_PIPE_DIR_ANY &&
                  (ULONG)direction == usb_pipe_direction(&info);
        if (by_address || by_kind) {
            *maxps = info.MaximumPacketSize;
            return TRUE;
        }
    }
    return FALSE;
}

// The first step of the selection: "DeviceClassType" may force a function
// type. A missing value or 0 forces nothing (*forced NULL).
static NTSTATUS usb_qd_device_type_get_override(WDFDEVICE device, const QD_FUNCTION_TYPE** forced) {
    ULONG value = 0;

    *forced = NULL;
    if (!NT_SUCCESS(qd_registry_rw_ulong(NULL, device, L"DeviceClassType", &value)) || value == 0) {
        return STATUS_SUCCESS;
    }
    if (value > RTL_NUMBER_OF(qd_function_types)) {
        QD_TRACE(TRACE_LEVEL_ERROR, "%s: Unknown device type %lx\n", __func__, value);
        return STATUS_INVALID_PARAMETER;
    }
    *forced = &qd_function_types[value - 1];
    return STATUS_SUCCESS;
}

static BOOLEAN usb_qd_is_cdc_comm(const USB_INTERFACE_DESCRIPTOR* desc, UCHAR subclass_override,
                                  const QD_FUNCTION_TYPE** type) {
    UCHAR subclass = subclass_override != 0 ? subclass_override : desc->bInterfaceSubClass;

    *type = usb_qd_function_type_find(QD_CLASS_CDC, subclass);
    return *type != NULL &&
           ((*type)->comm_protocol == QD_PROTOCOL_ANY || (*type)->comm_protocol == desc->bInterfaceProtocol);
}

// Pairs the first qualifying communication interface with the first CDC data
// interface; union descriptors are not consulted.
static NTSTATUS usb_qd_find_interfaces_cdc(PDEVICE_CONTEXT fdx, UCHAR subclass_override) {
    USB_INTERFACE_DESCRIPTOR desc;
    const QD_FUNCTION_TYPE* type;
    WDFUSBINTERFACE ifc;

    fdx->usb_ifc_comm = NULL;
    fdx->usb_ifc_data = NULL;

    for (ULONG i = 0; i < WdfUsbTargetDeviceGetNumInterfaces(fdx->usb_device); i++) {
        ifc = WdfUsbTargetDeviceGetInterface(fdx->usb_device, (UCHAR)i);
        WdfUsbInterfaceGetDescriptor(ifc, 0, &desc);
        if (desc.bInterfaceClass == QD_CLASS_CDC) {
            if (fdx->usb_ifc_comm == NULL && usb_qd_is_cdc_comm(&desc, subclass_override, &type)) {
                fdx->usb_ifc_comm = ifc;
                QD_TRACE(TRACE_LEVEL_INFO, "%s: CDC %s COMMUNNICATION interface\n", __func__, type->subclass_name);
                usb_ifc_trace(&desc);
            }
        } else if (desc.bInterfaceClass == QD_CLASS_CDC_DATA && desc.bInterfaceSubClass == 0 &&
                   desc.bInterfaceProtocol == 0) {
            if (fdx->usb_ifc_data == NULL) {
                fdx->usb_ifc_data = ifc;
                QD_TRACE(TRACE_LEVEL_INFO, "%s: CDC DATA interface, ifc %p\n", __func__, ifc);
                usb_ifc_trace(&desc);
            }
        }
    }

    if (fdx->usb_ifc_comm == NULL) {
        QD_TRACE(TRACE_LEVEL_ERROR, "%s: CDC COMM interface not found !\n", __func__);
    }
    if (fdx->usb_ifc_data == NULL) {
        QD_TRACE(TRACE_LEVEL_ERROR, "%s: CDC DATA interface not found !\n", __func__);
    }
    return (fdx->usb_ifc_comm != NULL && fdx->usb_ifc_data != NULL) ? STATUS_SUCCESS : STATUS_UNSUCCESSFUL;
}

// The pipe found stays set when the other one is missing.
static NTSTATUS usb_qd_get_data_pipes(PDEVICE_CONTEXT fdx, WDF_USB_PIPE_TYPE type) {
    fdx->pipe_data_out =
        usb_ifc_get_pipe(fdx->usb_ifc_data, type, QD_PIPE_DIR_OUT, &fdx->data_out_maxps, &fdx->data_out_ep);
    fdx->pipe_data_in =
        usb_ifc_get_pipe(fdx->usb_ifc_data, type, QD_PIPE_DIR_IN, &fdx->data_in_maxps, &fdx->data_in_ep);
    if (fdx->pipe_data_out == NULL || fdx->pipe_data_in == NULL) {
        QD_TRACE(TRACE_LEVEL_ERROR, "%s: no in/out pipes\n", __func__);
        return STATUS_UNSUCCESSFUL;
    }
    return STATUS_SUCCESS;
}

// Sets up the pipes of a recognised function type after the selection; a
// (class, subclass) outside the table is handed back as proprietary.
static NTSTATUS usb_qd_configure_pipes(PDEVICE_CONTEXT fdx, UCHAR class_code, UCHAR subclass, UCHAR protocol,
                                       BOOLEAN* notify, BOOLEAN* proprietary) {
    const QD_FUNCTION_TYPE* type = usb_qd_function_type_find(class_code, subclass);

    *notify = FALSE;
    *proprietary = FALSE;
    if (type == NULL) {
        *proprietary = TRUE;
        return STATUS_SUCCESS;
    }

    switch (type->data_path) {
        case QD_DATA_BULK_AT_START:
            if (!NT_SUCCESS(usb_qd_get_data_pipes(fdx, WdfUsbPipeTypeBulk))) {
                QD_TRACE(TRACE_LEVEL_ERROR, "%s: Error configuring in/out pipes\n", __func__);
                return STATUS_DEVICE_CONFIGURATION_ERROR;
            }
            fdx->alt_enable = fdx->alt_disable = 0;
            break;
        case QD_DATA_SWITCHED:
            if (WdfUsbInterfaceGetNumSettings(fdx->usb_ifc_data) < 2) {
                QD_TRACE(TRACE_LEVEL_ERROR,
                         "%s: A CDC device (non-ACM) should have two alternate settings for the data interface\n",
                         __func__);
                return STATUS_DEVICE_CONFIGURATION_ERROR;
            }
            fdx->alt_enable = 1;
            fdx->alt_disable = 0;
            break;
        case QD_DATA_ICCD:
            fdx->alt_enable = fdx->alt_disable = 0;
            if (protocol == 0) {
                // Bulk transfers on the one interface.
                fdx->usb_ifc_data = fdx->usb_ifc_comm;
                if (!NT_SUCCESS(usb_qd_get_data_pipes(fdx, WdfUsbPipeTypeBulk))) {
                    QD_TRACE(TRACE_LEVEL_ERROR, "%s: Data in/out pipes error!\n", __func__);
                    return STATUS_DEVICE_CONFIGURATION_ERROR;
                }
            } else if (protocol > 2) {
                QD_TRACE(TRACE_LEVEL_ERROR, "Unsupported protocol %x\n", protocol);
                return STATUS_SUCCESS;
            }
            break;
        case QD_DATA_NONE:
            fdx->alt_enable = fdx->alt_disable = 0;
            break;
    }
    *notify = type->notify;
    return STATUS_SUCCESS;
}

// A setting the interface lacks has no endpoints.
static UCHAR usb_ifc_num_endpoints(WDFUSBINTERFACE ifc, UCHAR setting) {
    if (setting >= WdfUsbInterfaceGetNumSettings(ifc)) {
        return 0;
    }
    return WdfUsbInterfaceGetNumEndpoints(ifc, setting);
}

// One interface carrying the data pipes and, with a third endpoint, the
// notification pipe.
static NTSTATUS usb_qd_cdc_config_proprietary(PDEVICE_CONTEXT fdx, WDFUSBINTERFACE ifc, UCHAR class_code,
                                              UCHAR subclass, BOOLEAN* notify) {
    USB_INTERFACE_DESCRIPTOR desc;
    UCHAR endpoints;
    NTSTATUS status;

    QD_TRACE(TRACE_LEVEL_INFO, "%s: Configuring a proprietary device\n", __func__);
    *notify = FALSE;

    if (class_code == QD_CLASS_CDC && subclass == 2) {
        fdx->alt_enable = fdx->alt_disable = 0;
    } else if (class_code == QD_CLASS_CDC && (subclass == 6 || subclass == 11)) {
        if (WdfUsbInterfaceGetNumSettings(ifc) > 1) {
            WdfUsbInterfaceGetDescriptor(ifc, 1, &desc);
            usb_ifc_trace(&desc);
        }
        fdx->alt_enable = 1;
        fdx->alt_disable = 0;
    }

    fdx->usb_ifc_comm = ifc;
    fdx->usb_ifc_data = ifc;

    endpoints = usb_ifc_num_endpoints(ifc, (UCHAR)fdx->alt_enable);
    if (endpoints != 2 && endpoints != 3) {
        QD_TRACE(TRACE_LEVEL_ERROR, "%s: Not a CDC proprietary device. Interface has %d pipes instead of 2 or 3\n",
                 __func__, endpoints);
        return STATUS_DEVICE_CONFIGURATION_ERROR;
    }

    // With a switched data setting the pipes are found when the path opens.
    if (fdx->alt_enable == fdx->alt_disable) {
        status = usb_qd_get_data_pipes(fdx, WdfUsbPipeTypeBulk);
        if (!NT_SUCCESS(status) && endpoints == 2) {
            status = usb_qd_get_data_pipes(fdx, WdfUsbPipeTypeInterrupt);
            if (NT_SUCCESS(status)) {
                fdx->data_pipe_type = WdfUsbPipeTypeInterrupt;
            }
        }
        if (!NT_SUCCESS(status)) {
            QD_TRACE(TRACE_LEVEL_ERROR, "%s: no data in/out pipes\n", __func__);
            return STATUS_DEVICE_CONFIGURATION_ERROR;
        }
    }
    *notify = endpoints == 3;
    return STATUS_SUCCESS;
}

// Hardware start: decides the function type, selects the first configuration
// and fills the interface, pipe and setting fields. STATUS_INVALID_PARAMETER
// (unknown "DeviceClassType") fails the start; STATUS_DEVICE_CONFIGURATION_ERROR
// sends it to the registry override.
NTSTATUS usb_qd_select_interfaces(WDFDEVICE device) {
    PDEVICE_CONTEXT fdx = usb_get_device_context(device);
    const QD_FUNCTION_TYPE* forced = NULL;
    WDF_USB_DEVICE_SELECT_CONFIG_PARAMS params;
    USB_INTERFACE_DESCRIPTOR desc;
    WDFUSBINTERFACE ifc0;
    PCSTR class_name;
    UCHAR num_interfaces;
    UCHAR class_code;
    UCHAR subclass;
    BOOLEAN proprietary = FALSE;
    BOOLEAN notify = FALSE;
    NTSTATUS status;

    status = usb_qd_device_type_get_override(device, &forced);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    fdx->ids.qd_enumerator = forced != NULL ? forced->enumerator : qd_enumerator_acm;
    // Pipes of an earlier start are gone with its USB target device.
    fdx->pipe_data_in = NULL;
    fdx->pipe_data_out = NULL;
    fdx->pipe_comm_notify = NULL;

    num_interfaces = WdfUsbTargetDeviceGetNumInterfaces(fdx->usb_device);
    QD_TRACE(TRACE_LEVEL_INFO, "%s: %p, num_interfaces %d\n", __func__, device, num_interfaces);
    if (num_interfaces == 0) {
        QD_TRACE(TRACE_LEVEL_ERROR, "%s: No Interfaces found!\n", __func__);
        goto failed;
    }

    ifc0 = WdfUsbTargetDeviceGetInterface(fdx->usb_device, 0);
    WdfUsbInterfaceGetDescriptor(ifc0, 0, &desc);
    if (forced != NULL) {
        class_code = forced->class_code;
        subclass = forced->subclass;
    } else {
        class_code = desc.bInterfaceClass;
        subclass = desc.bInterfaceSubClass;
        fdx->ids.qd_enumerator = usb_qd_enumerator_detect(class_code, subclass);
    }
    class_name = usb_qd_class_name(class_code);
    QD_TRACE(TRACE_LEVEL_INFO, "%s: %s (%lx) %s (%lx) device\n", __func__, class_name != NULL ? class_name : "Unknown",
             class_code, usb_qd_subclass_name(class_code, subclass), subclass);

    if ((class_code == QD_CLASS_ICCD && subclass == 0) || (class_code == QD_CLASS_DFU && subclass == 1)) {
        if (num_interfaces != 1) {
            QD_TRACE(TRACE_LEVEL_ERROR, "%s: %s class supports only a single interface\n", __func__, class_name);
            goto failed;
        }
        usb_ifc_trace(&desc);
        fdx->usb_ifc_comm = ifc0;
        fdx->usb_ifc_data = NULL;
    } else if (class_code != QD_CLASS_CDC) {
        QD_TRACE(TRACE_LEVEL_NOTICE, "%s: Unknown class %x\n", __func__, class_code);
        proprietary = TRUE;
    } else if (!NT_SUCCESS(usb_qd_find_interfaces_cdc(fdx, forced != NULL ? subclass : 0))) {
        QD_TRACE(TRACE_LEVEL_NOTICE, "%s: Error finding CDC interfaces. Probably a proprietary device\n", __func__);
        if (num_interfaces != 1) {
            QD_TRACE(TRACE_LEVEL_ERROR, "%s: Only one interface per proprietary function is supported\n", __func__);
            goto failed;
        }
        proprietary = TRUE;
    }

    if (num_interfaces > 1) {
        WDF_USB_DEVICE_SELECT_CONFIG_PARAMS_INIT_MULTIPLE_INTERFACES(&params, 0, NULL);
    } else {
        WDF_USB_DEVICE_SELECT_CONFIG_PARAMS_INIT_SINGLE_INTERFACE(&params);
    }
    status = WdfUsbTargetDeviceSelectConfig(fdx->usb_device, WDF_NO_OBJECT_ATTRIBUTES, &params);
    if (!NT_SUCCESS(status)) {
        QD_TRACE(TRACE_LEVEL_ERROR, "%s: WdfUsbTargetDeviceSelectConfig failed %lx. Bad USB config descriptor\n",
                 __func__, status);
        goto failed;
    }

    if (!proprietary) {
        status = usb_qd_configure_pipes(fdx, class_code, subclass, desc.bInterfaceProtocol, &notify, &proprietary);
        if (!NT_SUCCESS(status)) {
            QD_TRACE(TRACE_LEVEL_ERROR, "%s: Error configuring pipes\n", __func__);
            goto failed;
        }
    }
    if (proprietary) {
        status = usb_qd_cdc_config_proprietary(fdx, ifc0, class_code, subclass, &notify);
        if (!NT_SUCCESS(status)) {
            QD_TRACE(TRACE_LEVEL_ERROR, "%s: Error configuring proprietary device\n", __func__);
            goto failed;
        }
    }

    fdx->notify_ep = QD_NO_ENDPOINT;
    if (notify) {
        fdx->pipe_comm_notify = usb_ifc_get_pipe(fdx->usb_ifc_comm, WdfUsbPipeTypeInterrupt, QD_PIPE_DIR_IN,
                                                 &fdx->notify_maxps, &fdx->notify_ep);
        if (fdx->pipe_comm_notify == NULL) {
            QD_TRACE(TRACE_LEVEL_NOTICE, "%s: no notification pipe\n", __func__);
        }
    }
    fdx->cdc_override_configuration = 0;
    QD_TRACE(TRACE_LEVEL_INFO, "%s: device configured ok\n", __func__);
    return STATUS_SUCCESS;

failed:
    fdx->pipe_data_in = NULL;
    fdx->pipe_data_out = NULL;
    fdx->pipe_comm_notify = NULL;
    return STATUS_DEVICE_CONFIGURATION_ERROR;
}
