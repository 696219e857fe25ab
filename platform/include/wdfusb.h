// USB target devices, interfaces and pipes. Like the WDK's, this header
// includes none of the USB headers: the driver includes usb.h and usbdlib.h
// before it.
#pragma once

#include "wdfiotarget.h"
#include "wdfmemory.h"
#include "wdfobject.h"
#include "wdfrequest.h"

// The request-type fields, where the USB headers have not defined them.
#ifndef BMREQUEST_HOST_TO_DEVICE
#define BMREQUEST_HOST_TO_DEVICE 0
#define BMREQUEST_DEVICE_TO_HOST 1
#define BMREQUEST_STANDARD 0
#define BMREQUEST_CLASS 1
#define BMREQUEST_VENDOR 2
#define BMREQUEST_TO_DEVICE 0
#define BMREQUEST_TO_INTERFACE 1
#define BMREQUEST_TO_ENDPOINT 2
#define BMREQUEST_TO_OTHER 3
#endif

WDF_EXTERN_C_START

typedef enum _WDF_USB_REQUEST_TYPE {
    WdfUsbRequestTypeInvalid = 0,
    WdfUsbRequestTypeNoFormat,
    WdfUsbRequestTypeDeviceString,
    WdfUsbRequestTypeDeviceControlTransfer,
    WdfUsbRequestTypeDeviceUrb,
    WdfUsbRequestTypePipeWrite,
    WdfUsbRequestTypePipeRead,
    WdfUsbRequestTypePipeAbort,
    WdfUsbRequestTypePipeReset,
    WdfUsbRequestTypePipeUrb
} WDF_USB_REQUEST_TYPE;

typedef enum _WDF_USB_BMREQUEST_DIRECTION {
    BmRequestHostToDevice = BMREQUEST_HOST_TO_DEVICE,
    BmRequestDeviceToHost = BMREQUEST_DEVICE_TO_HOST
} WDF_USB_BMREQUEST_DIRECTION;

typedef enum _WDF_USB_BMREQUEST_TYPE {
    BmRequestStandard = BMREQUEST_STANDARD,
    BmRequestClass = BMREQUEST_CLASS,
    BmRequestVendor = BMREQUEST_VENDOR
} WDF_USB_BMREQUEST_TYPE;

typedef enum _WDF_USB_BMREQUEST_RECIPIENT {
    BmRequestToDevice = BMREQUEST_TO_DEVICE,
    BmRequestToInterface = BMREQUEST_TO_INTERFACE,
    BmRequestToEndpoint = BMREQUEST_TO_ENDPOINT,
    BmRequestToOther = BMREQUEST_TO_OTHER
} WDF_USB_BMREQUEST_RECIPIENT;

typedef enum _WDF_USB_PIPE_TYPE {
    WdfUsbPipeTypeInvalid = 0,
    WdfUsbPipeTypeControl,
    WdfUsbPipeTypeIsochronous,
    WdfUsbPipeTypeBulk,
    WdfUsbPipeTypeInterrupt
} WDF_USB_PIPE_TYPE;

typedef enum _WdfUsbTargetDeviceSelectConfigType {
    WdfUsbTargetDeviceSelectConfigTypeInvalid = 0,
    WdfUsbTargetDeviceSelectConfigTypeDeconfig = 1,
    WdfUsbTargetDeviceSelectConfigTypeSingleInterface = 2,
    WdfUsbTargetDeviceSelectConfigTypeMultiInterface = 3,
    WdfUsbTargetDeviceSelectConfigTypeInterfacesPairs = 4,
    WdfUsbTargetDeviceSelectConfigTypeInterfacesDescriptor = 5,
    WdfUsbTargetDeviceSelectConfigTypeUrb = 6
} WdfUsbTargetDeviceSelectConfigType;

typedef enum _WdfUsbTargetDeviceSelectSettingType {
    WdfUsbInterfaceSelectSettingTypeDescriptor = 0x10,
    WdfUsbInterfaceSelectSettingTypeSetting = 0x11,
    WdfUsbInterfaceSelectSettingTypeUrb = 0x12
} WdfUsbTargetDeviceSelectSettingType;

typedef enum _WDF_USB_DEVICE_TRAITS {
    WDF_USB_DEVICE_TRAIT_SELF_POWERED = 0x00000001,
    WDF_USB_DEVICE_TRAIT_REMOTE_WAKE_CAPABLE = 0x00000002,
    WDF_USB_DEVICE_TRAIT_AT_HIGH_SPEED = 0x00000004
} WDF_USB_DEVICE_TRAITS;

typedef union _WDF_USB_CONTROL_SETUP_PACKET {
    struct {
        union {
            struct {
                BYTE Recipient : 2;
                BYTE Reserved : 3;
                BYTE Type : 2;
                BYTE Dir : 1;
            } Request;
            BYTE Byte;
        } bm;
        BYTE bRequest;
        union {
            struct {
                BYTE LowByte;
                BYTE HiByte;
            } Bytes;
            USHORT Value;
        } wValue;
        union {
            struct {
                BYTE LowByte;
                BYTE HiByte;
            } Bytes;
            USHORT Value;
        } wIndex;
        USHORT wLength;
    } Packet;
    struct {
        BYTE Bytes[8];
    } Generic;
} WDF_USB_CONTROL_SETUP_PACKET, *PWDF_USB_CONTROL_SETUP_PACKET;

static_assert(sizeof(WDF_USB_CONTROL_SETUP_PACKET) == 8, "setup packet is 8 bytes");

FORCEINLINE VOID WDF_USB_CONTROL_SETUP_PACKET_INIT(PWDF_USB_CONTROL_SETUP_PACKET Packet,
                                                   WDF_USB_BMREQUEST_DIRECTION Direction,
                                                   WDF_USB_BMREQUEST_RECIPIENT Recipient, BYTE Request, USHORT Value,
                                                   USHORT Index) {
    RtlZeroMemory(Packet, sizeof(WDF_USB_CONTROL_SETUP_PACKET));
    Packet->Packet.bm.Request.Dir = (BYTE)Direction;
    Packet->Packet.bm.Request.Type = (BYTE)BmRequestStandard;
    Packet->Packet.bm.Request.Recipient = (BYTE)Recipient;
    Packet->Packet.bRequest = Request;
    Packet->Packet.wValue.Value = Value;
    Packet->Packet.wIndex.Value = Index;
}

FORCEINLINE VOID WDF_USB_CONTROL_SETUP_PACKET_INIT_CLASS(PWDF_USB_CONTROL_SETUP_PACKET Packet,
                                                         WDF_USB_BMREQUEST_DIRECTION Direction,
                                                         WDF_USB_BMREQUEST_RECIPIENT Recipient, BYTE Request,
                                                         USHORT Value, USHORT Index) {
    WDF_USB_CONTROL_SETUP_PACKET_INIT(Packet, Direction, Recipient, Request, Value, Index);
    Packet->Packet.bm.Request.Type = (BYTE)BmRequestClass;
}

FORCEINLINE VOID WDF_USB_CONTROL_SETUP_PACKET_INIT_VENDOR(PWDF_USB_CONTROL_SETUP_PACKET Packet,
                                                          WDF_USB_BMREQUEST_DIRECTION Direction,
                                                          WDF_USB_BMREQUEST_RECIPIENT Recipient, BYTE Request,
                                                          USHORT Value, USHORT Index) {
    WDF_USB_CONTROL_SETUP_PACKET_INIT(Packet, Direction, Recipient, Request, Value, Index);
    Packet->Packet.bm.Request.Type = (BYTE)BmRequestVendor;
}

FORCEINLINE VOID WDF_USB_CONTROL_SETUP_PACKET_INIT_FEATURE(PWDF_USB_CONTROL_SETUP_PACKET Packet,
                                                           WDF_USB_BMREQUEST_RECIPIENT BmRequestRecipient,
                                                           USHORT FeatureSelector, USHORT Index, BOOLEAN SetFeature) {
    WDF_USB_CONTROL_SETUP_PACKET_INIT(Packet, BmRequestHostToDevice, BmRequestRecipient,
                                      SetFeature ? USB_REQUEST_SET_FEATURE : USB_REQUEST_CLEAR_FEATURE, FeatureSelector,
                                      Index);
}

FORCEINLINE VOID WDF_USB_CONTROL_SETUP_PACKET_INIT_GET_STATUS(PWDF_USB_CONTROL_SETUP_PACKET Packet,
                                                              WDF_USB_BMREQUEST_RECIPIENT BmRequestRecipient,
                                                              USHORT Index) {
    WDF_USB_CONTROL_SETUP_PACKET_INIT(Packet, BmRequestDeviceToHost, BmRequestRecipient, USB_REQUEST_GET_STATUS, 0,
                                      Index);
}

typedef struct _WDF_USB_REQUEST_COMPLETION_PARAMS {
    USBD_STATUS UsbdStatus;
    WDF_USB_REQUEST_TYPE Type;
    union {
        struct {
            WDFMEMORY Buffer;
            USHORT LangID;
            UCHAR StringIndex;
            UCHAR RequiredSize;
        } DeviceString;
        struct {
            WDFMEMORY Buffer;
            WDF_USB_CONTROL_SETUP_PACKET SetupPacket;
            ULONG Length;
        } DeviceControlTransfer;
        struct {
            WDFMEMORY Buffer;
        } DeviceUrb;
        struct {
            WDFMEMORY Buffer;
            size_t Length;
            size_t Offset;
        } PipeWrite;
        struct {
            WDFMEMORY Buffer;
            size_t Length;
            size_t Offset;
        } PipeRead;
        struct {
            WDFMEMORY Buffer;
        } PipeUrb;
    } Parameters;
} WDF_USB_REQUEST_COMPLETION_PARAMS;

typedef struct _WDF_USB_DEVICE_INFORMATION {
    ULONG Size;
    USBD_VERSION_INFORMATION UsbdVersionInformation;
    ULONG HcdPortCapabilities;
    ULONG Traits;
} WDF_USB_DEVICE_INFORMATION, *PWDF_USB_DEVICE_INFORMATION;

static_assert(sizeof(WDF_USB_DEVICE_INFORMATION) == 20, "device information record is 20 bytes");

FORCEINLINE VOID WDF_USB_DEVICE_INFORMATION_INIT(PWDF_USB_DEVICE_INFORMATION Udi) {
    RtlZeroMemory(Udi, sizeof(WDF_USB_DEVICE_INFORMATION));
    Udi->Size = sizeof(WDF_USB_DEVICE_INFORMATION);
}

typedef struct _WDF_USB_INTERFACE_SETTING_PAIR {
    WDFUSBINTERFACE UsbInterface;
    UCHAR SettingIndex;
} WDF_USB_INTERFACE_SETTING_PAIR, *PWDF_USB_INTERFACE_SETTING_PAIR;

typedef struct _WDF_USB_DEVICE_SELECT_CONFIG_PARAMS {
    ULONG Size;
    WdfUsbTargetDeviceSelectConfigType Type;
    union {
        struct {
            PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor;
            PUSB_INTERFACE_DESCRIPTOR* InterfaceDescriptors;
            ULONG NumInterfaceDescriptors;
        } Descriptor;
        struct {
            PURB Urb;
        } Urb;
        struct {
            UCHAR NumberConfiguredPipes;
            WDFUSBINTERFACE ConfiguredUsbInterface;
        } SingleInterface;
        struct {
            UCHAR NumberInterfaces;
            PWDF_USB_INTERFACE_SETTING_PAIR Pairs;
            UCHAR NumberOfConfiguredInterfaces;
        } MultiInterface;
    } Types;
} WDF_USB_DEVICE_SELECT_CONFIG_PARAMS, *PWDF_USB_DEVICE_SELECT_CONFIG_PARAMS;

FORCEINLINE VOID
WDF_USB_DEVICE_SELECT_CONFIG_PARAMS_INIT_SINGLE_INTERFACE(PWDF_USB_DEVICE_SELECT_CONFIG_PARAMS Params) {
    RtlZeroMemory(Params, sizeof(WDF_USB_DEVICE_SELECT_CONFIG_PARAMS));
    Params->Size = sizeof(WDF_USB_DEVICE_SELECT_CONFIG_PARAMS);
    Params->Type = WdfUsbTargetDeviceSelectConfigTypeSingleInterface;
}

FORCEINLINE VOID WDF_USB_DEVICE_SELECT_CONFIG_PARAMS_INIT_MULTIPLE_INTERFACES(
    PWDF_USB_DEVICE_SELECT_CONFIG_PARAMS Params, UCHAR NumberInterfaces, PWDF_USB_INTERFACE_SETTING_PAIR SettingPairs) {
    RtlZeroMemory(Params, sizeof(WDF_USB_DEVICE_SELECT_CONFIG_PARAMS));
    Params->Size = sizeof(WDF_USB_DEVICE_SELECT_CONFIG_PARAMS);
    if (SettingPairs != NULL && NumberInterfaces != 0) {
        Params->Type = WdfUsbTargetDeviceSelectConfigTypeInterfacesPairs;
        Params->Types.MultiInterface.NumberInterfaces = NumberInterfaces;
        Params->Types.MultiInterface.Pairs = SettingPairs;
    } else {
        Params->Type = WdfUsbTargetDeviceSelectConfigTypeMultiInterface;
    }
}

FORCEINLINE VOID WDF_USB_DEVICE_SELECT_CONFIG_PARAMS_INIT_INTERFACES_DESCRIPTORS(
    PWDF_USB_DEVICE_SELECT_CONFIG_PARAMS Params, PUSB_CONFIGURATION_DESCRIPTOR ConfigDescriptor,
    PUSB_INTERFACE_DESCRIPTOR* InterfaceDescriptors, ULONG NumInterfaceDescriptors) {
    RtlZeroMemory(Params, sizeof(WDF_USB_DEVICE_SELECT_CONFIG_PARAMS));
    Params->Size = sizeof(WDF_USB_DEVICE_SELECT_CONFIG_PARAMS);
    Params->Type = WdfUsbTargetDeviceSelectConfigTypeInterfacesDescriptor;
    Params->Types.Descriptor.ConfigurationDescriptor = ConfigDescriptor;
    Params->Types.Descriptor.InterfaceDescriptors = InterfaceDescriptors;
    Params->Types.Descriptor.NumInterfaceDescriptors = NumInterfaceDescriptors;
}

FORCEINLINE VOID WDF_USB_DEVICE_SELECT_CONFIG_PARAMS_INIT_DECONFIG(PWDF_USB_DEVICE_SELECT_CONFIG_PARAMS Params) {
    RtlZeroMemory(Params, sizeof(WDF_USB_DEVICE_SELECT_CONFIG_PARAMS));
    Params->Size = sizeof(WDF_USB_DEVICE_SELECT_CONFIG_PARAMS);
    Params->Type = WdfUsbTargetDeviceSelectConfigTypeDeconfig;
}

typedef struct _WDF_USB_INTERFACE_SELECT_SETTING_PARAMS {
    ULONG Size;
    WdfUsbTargetDeviceSelectSettingType Type;
    union {
        struct {
            PUSB_INTERFACE_DESCRIPTOR InterfaceDescriptor;
        } Descriptor;
        struct {
            UCHAR SettingIndex;
        } Interface;
        struct {
            PURB Urb;
        } Urb;
    } Types;
} WDF_USB_INTERFACE_SELECT_SETTING_PARAMS, *PWDF_USB_INTERFACE_SELECT_SETTING_PARAMS;

FORCEINLINE VOID WDF_USB_INTERFACE_SELECT_SETTING_PARAMS_INIT_SETTING(PWDF_USB_INTERFACE_SELECT_SETTING_PARAMS Params,
                                                                      UCHAR SettingIndex) {
    RtlZeroMemory(Params, sizeof(WDF_USB_INTERFACE_SELECT_SETTING_PARAMS));
    Params->Size = sizeof(WDF_USB_INTERFACE_SELECT_SETTING_PARAMS);
    Params->Type = WdfUsbInterfaceSelectSettingTypeSetting;
    Params->Types.Interface.SettingIndex = SettingIndex;
}

FORCEINLINE VOID WDF_USB_INTERFACE_SELECT_SETTING_PARAMS_INIT_DESCRIPTOR(
    PWDF_USB_INTERFACE_SELECT_SETTING_PARAMS Params, PUSB_INTERFACE_DESCRIPTOR Interface) {
    RtlZeroMemory(Params, sizeof(WDF_USB_INTERFACE_SELECT_SETTING_PARAMS));
    Params->Size = sizeof(WDF_USB_INTERFACE_SELECT_SETTING_PARAMS);
    Params->Type = WdfUsbInterfaceSelectSettingTypeDescriptor;
    Params->Types.Descriptor.InterfaceDescriptor = Interface;
}

typedef struct _WDF_USB_PIPE_INFORMATION {
    ULONG Size;
    ULONG MaximumPacketSize;
    UCHAR EndpointAddress;
    UCHAR Interval;
    UCHAR SettingIndex;
    WDF_USB_PIPE_TYPE PipeType;
    ULONG MaximumTransferSize;
} WDF_USB_PIPE_INFORMATION, *PWDF_USB_PIPE_INFORMATION;

FORCEINLINE VOID WDF_USB_PIPE_INFORMATION_INIT(PWDF_USB_PIPE_INFORMATION Info) {
    RtlZeroMemory(Info, sizeof(WDF_USB_PIPE_INFORMATION));
    Info->Size = sizeof(WDF_USB_PIPE_INFORMATION);
}

FORCEINLINE BOOLEAN WDF_USB_PIPE_DIRECTION_IN(UCHAR EndpointAddress) {
    return (EndpointAddress & USB_ENDPOINT_DIRECTION_MASK) ? TRUE : FALSE;
}

FORCEINLINE BOOLEAN WDF_USB_PIPE_DIRECTION_OUT(UCHAR EndpointAddress) {
    return (EndpointAddress & USB_ENDPOINT_DIRECTION_MASK) ? FALSE : TRUE;
}

// ---- Device ------------------------------------------------------------------
WDFAPI_FUNCTION(NTSTATUS, WdfUsbTargetDeviceCreate,
                (WDFDEVICE Device, PWDF_OBJECT_ATTRIBUTES Attributes, WDFUSBDEVICE* UsbDevice),
                (Device, Attributes, UsbDevice))
WDFAPI_FUNCTION(NTSTATUS, WdfUsbTargetDeviceRetrieveConfigDescriptor,
                (WDFUSBDEVICE UsbDevice, PVOID ConfigDescriptor, PUSHORT ConfigDescriptorLength),
                (UsbDevice, ConfigDescriptor, ConfigDescriptorLength))
WDFAPI_FUNCTION(VOID, WdfUsbTargetDeviceGetDeviceDescriptor,
                (WDFUSBDEVICE UsbDevice, PUSB_DEVICE_DESCRIPTOR UsbDeviceDescriptor), (UsbDevice, UsbDeviceDescriptor))
WDFAPI_FUNCTION(NTSTATUS, WdfUsbTargetDeviceRetrieveInformation,
                (WDFUSBDEVICE UsbDevice, PWDF_USB_DEVICE_INFORMATION Information), (UsbDevice, Information))
WDFAPI_FUNCTION(NTSTATUS, WdfUsbTargetDeviceSelectConfig,
                (WDFUSBDEVICE UsbDevice, PWDF_OBJECT_ATTRIBUTES PipeAttributes,
                 PWDF_USB_DEVICE_SELECT_CONFIG_PARAMS Params),
                (UsbDevice, PipeAttributes, Params))
WDFAPI_FUNCTION(UCHAR, WdfUsbTargetDeviceGetNumInterfaces, (WDFUSBDEVICE UsbDevice), (UsbDevice))
WDFAPI_FUNCTION(WDFUSBINTERFACE, WdfUsbTargetDeviceGetInterface, (WDFUSBDEVICE UsbDevice, UCHAR InterfaceIndex),
                (UsbDevice, InterfaceIndex))
WDFAPI_FUNCTION(NTSTATUS, WdfUsbTargetDeviceSendControlTransferSynchronously,
                (WDFUSBDEVICE UsbDevice, WDFREQUEST Request, PWDF_REQUEST_SEND_OPTIONS RequestOptions,
                 PWDF_USB_CONTROL_SETUP_PACKET SetupPacket, PWDF_MEMORY_DESCRIPTOR MemoryDescriptor,
                 PULONG BytesTransferred),
                (UsbDevice, Request, RequestOptions, SetupPacket, MemoryDescriptor, BytesTransferred))
WDFAPI_FUNCTION(NTSTATUS, WdfUsbTargetDeviceFormatRequestForControlTransfer,
                (WDFUSBDEVICE UsbDevice, WDFREQUEST Request, PWDF_USB_CONTROL_SETUP_PACKET SetupPacket,
                 WDFMEMORY TransferMemory, PWDFMEMORY_OFFSET TransferOffset),
                (UsbDevice, Request, SetupPacket, TransferMemory, TransferOffset))
WDFAPI_FUNCTION(NTSTATUS, WdfUsbTargetDeviceAllocAndQueryString,
                (WDFUSBDEVICE UsbDevice, PWDF_OBJECT_ATTRIBUTES StringMemoryAttributes, WDFMEMORY* StringMemory,
                 PUSHORT NumCharacters, UCHAR StringIndex, USHORT LangID),
                (UsbDevice, StringMemoryAttributes, StringMemory, NumCharacters, StringIndex, LangID))
WDFAPI_FUNCTION(NTSTATUS, WdfUsbTargetDeviceQueryString,
                (WDFUSBDEVICE UsbDevice, WDFREQUEST Request, PWDF_REQUEST_SEND_OPTIONS RequestOptions, PUSHORT String,
                 PUSHORT NumCharacters, UCHAR StringIndex, USHORT LangID),
                (UsbDevice, Request, RequestOptions, String, NumCharacters, StringIndex, LangID))
WDFAPI_FUNCTION(NTSTATUS, WdfUsbTargetDeviceResetPortSynchronously, (WDFUSBDEVICE UsbDevice), (UsbDevice))
WDFAPI_FUNCTION(NTSTATUS, WdfUsbTargetDeviceCyclePortSynchronously, (WDFUSBDEVICE UsbDevice), (UsbDevice))
WDFAPI_FUNCTION(NTSTATUS, WdfUsbTargetDeviceIsConnectedSynchronous, (WDFUSBDEVICE UsbDevice), (UsbDevice))

FORCEINLINE WDFIOTARGET WdfUsbTargetDeviceGetIoTarget(WDFUSBDEVICE UsbDevice) { return (WDFIOTARGET)UsbDevice; }

// ---- Interface -----------------------------------------------------------------
WDFAPI_FUNCTION(BYTE, WdfUsbInterfaceGetInterfaceNumber, (WDFUSBINTERFACE UsbInterface), (UsbInterface))
WDFAPI_FUNCTION(BYTE, WdfUsbInterfaceGetNumSettings, (WDFUSBINTERFACE UsbInterface), (UsbInterface))
WDFAPI_FUNCTION(VOID, WdfUsbInterfaceGetDescriptor,
                (WDFUSBINTERFACE UsbInterface, UCHAR SettingIndex, PUSB_INTERFACE_DESCRIPTOR InterfaceDescriptor),
                (UsbInterface, SettingIndex, InterfaceDescriptor))
WDFAPI_FUNCTION(BYTE, WdfUsbInterfaceGetNumEndpoints, (WDFUSBINTERFACE UsbInterface, UCHAR SettingIndex),
                (UsbInterface, SettingIndex))
WDFAPI_FUNCTION(VOID, WdfUsbInterfaceGetEndpointInformation,
                (WDFUSBINTERFACE UsbInterface, UCHAR SettingIndex, UCHAR EndpointIndex,
                 PWDF_USB_PIPE_INFORMATION EndpointInfo),
                (UsbInterface, SettingIndex, EndpointIndex, EndpointInfo))
WDFAPI_FUNCTION(BYTE, WdfUsbInterfaceGetConfiguredSettingIndex, (WDFUSBINTERFACE Interface), (Interface))
WDFAPI_FUNCTION(BYTE, WdfUsbInterfaceGetNumConfiguredPipes, (WDFUSBINTERFACE UsbInterface), (UsbInterface))
WDFAPI_FUNCTION(WDFUSBPIPE, WdfUsbInterfaceGetConfiguredPipe,
                (WDFUSBINTERFACE UsbInterface, UCHAR PipeIndex, PWDF_USB_PIPE_INFORMATION PipeInfo),
                (UsbInterface, PipeIndex, PipeInfo))
WDFAPI_FUNCTION(NTSTATUS, WdfUsbInterfaceSelectSetting,
                (WDFUSBINTERFACE UsbInterface, PWDF_OBJECT_ATTRIBUTES PipesAttributes,
                 PWDF_USB_INTERFACE_SELECT_SETTING_PARAMS Params),
                (UsbInterface, PipesAttributes, Params))

// ---- Pipe ----------------------------------------------------------------------
WDFAPI_FUNCTION(VOID, WdfUsbTargetPipeGetInformation, (WDFUSBPIPE Pipe, PWDF_USB_PIPE_INFORMATION PipeInformation),
                (Pipe, PipeInformation))
WDFAPI_FUNCTION(BOOLEAN, WdfUsbTargetPipeIsInEndpoint, (WDFUSBPIPE Pipe), (Pipe))
WDFAPI_FUNCTION(BOOLEAN, WdfUsbTargetPipeIsOutEndpoint, (WDFUSBPIPE Pipe), (Pipe))
WDFAPI_FUNCTION(WDF_USB_PIPE_TYPE, WdfUsbTargetPipeGetType, (WDFUSBPIPE Pipe), (Pipe))
WDFAPI_FUNCTION(VOID, WdfUsbTargetPipeSetNoMaximumPacketSizeCheck, (WDFUSBPIPE Pipe), (Pipe))
WDFAPI_FUNCTION(NTSTATUS, WdfUsbTargetPipeFormatRequestForRead,
                (WDFUSBPIPE Pipe, WDFREQUEST Request, WDFMEMORY ReadMemory, PWDFMEMORY_OFFSET ReadOffset),
                (Pipe, Request, ReadMemory, ReadOffset))
WDFAPI_FUNCTION(NTSTATUS, WdfUsbTargetPipeFormatRequestForWrite,
                (WDFUSBPIPE Pipe, WDFREQUEST Request, WDFMEMORY WriteMemory, PWDFMEMORY_OFFSET WriteOffset),
                (Pipe, Request, WriteMemory, WriteOffset))
WDFAPI_FUNCTION(NTSTATUS, WdfUsbTargetPipeReadSynchronously,
                (WDFUSBPIPE Pipe, WDFREQUEST Request, PWDF_REQUEST_SEND_OPTIONS RequestOptions,
                 PWDF_MEMORY_DESCRIPTOR MemoryDescriptor, PULONG BytesRead),
                (Pipe, Request, RequestOptions, MemoryDescriptor, BytesRead))
WDFAPI_FUNCTION(NTSTATUS, WdfUsbTargetPipeWriteSynchronously,
                (WDFUSBPIPE Pipe, WDFREQUEST Request, PWDF_REQUEST_SEND_OPTIONS RequestOptions,
                 PWDF_MEMORY_DESCRIPTOR MemoryDescriptor, PULONG BytesWritten),
                (Pipe, Request, RequestOptions, MemoryDescriptor, BytesWritten))
WDFAPI_FUNCTION(NTSTATUS, WdfUsbTargetPipeAbortSynchronously,
                (WDFUSBPIPE Pipe, WDFREQUEST Request, PWDF_REQUEST_SEND_OPTIONS RequestOptions),
                (Pipe, Request, RequestOptions))
WDFAPI_FUNCTION(NTSTATUS, WdfUsbTargetPipeResetSynchronously,
                (WDFUSBPIPE Pipe, WDFREQUEST Request, PWDF_REQUEST_SEND_OPTIONS RequestOptions),
                (Pipe, Request, RequestOptions))

FORCEINLINE WDFIOTARGET WdfUsbTargetPipeGetIoTarget(WDFUSBPIPE Pipe) { return (WDFIOTARGET)Pipe; }

WDF_EXTERN_C_END
