// Dynamic enumeration: child lists and their descriptions.
#pragma once

#include "wdfobject.h"

WDF_EXTERN_C_START

typedef enum _WDF_CHILD_LIST_RETRIEVE_DEVICE_STATUS {
    WdfChildListRetrieveDeviceUndefined = 0,
    WdfChildListRetrieveDeviceSuccess = 1,
    WdfChildListRetrieveDeviceNotYetCreated = 2,
    WdfChildListRetrieveDeviceNoSuchDevice = 3
} WDF_CHILD_LIST_RETRIEVE_DEVICE_STATUS;

typedef enum _WDF_RETRIEVE_CHILD_FLAGS {
    WdfRetrieveUnspecified = 0x0000,
    WdfRetrievePresentChildren = 0x0001,
    WdfRetrieveMissingChildren = 0x0002,
    WdfRetrievePendingChildren = 0x0004,
    WdfRetrieveAddedChildren = (WdfRetrievePresentChildren | WdfRetrievePendingChildren),
    WdfRetrieveAllChildren = (WdfRetrievePresentChildren | WdfRetrievePendingChildren | WdfRetrieveMissingChildren)
} WDF_RETRIEVE_CHILD_FLAGS;

typedef struct _WDF_CHILD_IDENTIFICATION_DESCRIPTION_HEADER {
    ULONG IdentificationDescriptionSize;
} WDF_CHILD_IDENTIFICATION_DESCRIPTION_HEADER, *PWDF_CHILD_IDENTIFICATION_DESCRIPTION_HEADER;

FORCEINLINE VOID WDF_CHILD_IDENTIFICATION_DESCRIPTION_HEADER_INIT(PWDF_CHILD_IDENTIFICATION_DESCRIPTION_HEADER Header,
                                                                  ULONG IdentificationDescriptionSize) {
    RtlZeroMemory(Header, IdentificationDescriptionSize);
    Header->IdentificationDescriptionSize = IdentificationDescriptionSize;
}

typedef struct _WDF_CHILD_ADDRESS_DESCRIPTION_HEADER {
    ULONG AddressDescriptionSize;
} WDF_CHILD_ADDRESS_DESCRIPTION_HEADER, *PWDF_CHILD_ADDRESS_DESCRIPTION_HEADER;

FORCEINLINE VOID WDF_CHILD_ADDRESS_DESCRIPTION_HEADER_INIT(PWDF_CHILD_ADDRESS_DESCRIPTION_HEADER Header,
                                                           ULONG AddressDescriptionSize) {
    RtlZeroMemory(Header, AddressDescriptionSize);
    Header->AddressDescriptionSize = AddressDescriptionSize;
}

typedef NTSTATUS EVT_WDF_CHILD_LIST_CREATE_DEVICE(
    WDFCHILDLIST ChildList, PWDF_CHILD_IDENTIFICATION_DESCRIPTION_HEADER IdentificationDescription,
    PWDFDEVICE_INIT ChildInit);
typedef EVT_WDF_CHILD_LIST_CREATE_DEVICE* PFN_WDF_CHILD_LIST_CREATE_DEVICE;
typedef VOID EVT_WDF_CHILD_LIST_SCAN_FOR_CHILDREN(WDFCHILDLIST ChildList);
typedef EVT_WDF_CHILD_LIST_SCAN_FOR_CHILDREN* PFN_WDF_CHILD_LIST_SCAN_FOR_CHILDREN;
typedef VOID EVT_WDF_CHILD_LIST_IDENTIFICATION_DESCRIPTION_COPY(
    WDFCHILDLIST ChildList, PWDF_CHILD_IDENTIFICATION_DESCRIPTION_HEADER SourceIdentificationDescription,
    PWDF_CHILD_IDENTIFICATION_DESCRIPTION_HEADER DestinationIdentificationDescription);
typedef EVT_WDF_CHILD_LIST_IDENTIFICATION_DESCRIPTION_COPY* PFN_WDF_CHILD_LIST_IDENTIFICATION_DESCRIPTION_COPY;
typedef NTSTATUS EVT_WDF_CHILD_LIST_IDENTIFICATION_DESCRIPTION_DUPLICATE(
    WDFCHILDLIST ChildList, PWDF_CHILD_IDENTIFICATION_DESCRIPTION_HEADER SourceIdentificationDescription,
    PWDF_CHILD_IDENTIFICATION_DESCRIPTION_HEADER DestinationIdentificationDescription);
typedef EVT_WDF_CHILD_LIST_IDENTIFICATION_DESCRIPTION_DUPLICATE*
    PFN_WDF_CHILD_LIST_IDENTIFICATION_DESCRIPTION_DUPLICATE;
typedef VOID EVT_WDF_CHILD_LIST_IDENTIFICATION_DESCRIPTION_CLEANUP(
    WDFCHILDLIST ChildList, PWDF_CHILD_IDENTIFICATION_DESCRIPTION_HEADER IdentificationDescription);
typedef EVT_WDF_CHILD_LIST_IDENTIFICATION_DESCRIPTION_CLEANUP* PFN_WDF_CHILD_LIST_IDENTIFICATION_DESCRIPTION_CLEANUP;
typedef BOOLEAN EVT_WDF_CHILD_LIST_IDENTIFICATION_DESCRIPTION_COMPARE(
    WDFCHILDLIST ChildList, PWDF_CHILD_IDENTIFICATION_DESCRIPTION_HEADER FirstIdentificationDescription,
    PWDF_CHILD_IDENTIFICATION_DESCRIPTION_HEADER SecondIdentificationDescription);
typedef EVT_WDF_CHILD_LIST_IDENTIFICATION_DESCRIPTION_COMPARE* PFN_WDF_CHILD_LIST_IDENTIFICATION_DESCRIPTION_COMPARE;
typedef VOID EVT_WDF_CHILD_LIST_ADDRESS_DESCRIPTION_COPY(
    WDFCHILDLIST ChildList, PWDF_CHILD_ADDRESS_DESCRIPTION_HEADER SourceAddressDescription,
    PWDF_CHILD_ADDRESS_DESCRIPTION_HEADER DestinationAddressDescription);
typedef EVT_WDF_CHILD_LIST_ADDRESS_DESCRIPTION_COPY* PFN_WDF_CHILD_LIST_ADDRESS_DESCRIPTION_COPY;
typedef NTSTATUS EVT_WDF_CHILD_LIST_ADDRESS_DESCRIPTION_DUPLICATE(
    WDFCHILDLIST ChildList, PWDF_CHILD_ADDRESS_DESCRIPTION_HEADER SourceAddressDescription,
    PWDF_CHILD_ADDRESS_DESCRIPTION_HEADER DestinationAddressDescription);
typedef EVT_WDF_CHILD_LIST_ADDRESS_DESCRIPTION_DUPLICATE* PFN_WDF_CHILD_LIST_ADDRESS_DESCRIPTION_DUPLICATE;
typedef VOID EVT_WDF_CHILD_LIST_ADDRESS_DESCRIPTION_CLEANUP(WDFCHILDLIST ChildList,
                                                            PWDF_CHILD_ADDRESS_DESCRIPTION_HEADER AddressDescription);
typedef EVT_WDF_CHILD_LIST_ADDRESS_DESCRIPTION_CLEANUP* PFN_WDF_CHILD_LIST_ADDRESS_DESCRIPTION_CLEANUP;
typedef BOOLEAN EVT_WDF_CHILD_LIST_DEVICE_REENUMERATED(WDFCHILDLIST ChildList, WDFDEVICE OldDevice,
                                                       PWDF_CHILD_ADDRESS_DESCRIPTION_HEADER OldAddressDescription,
                                                       PWDF_CHILD_ADDRESS_DESCRIPTION_HEADER NewAddressDescription);
typedef EVT_WDF_CHILD_LIST_DEVICE_REENUMERATED* PFN_WDF_CHILD_LIST_DEVICE_REENUMERATED;

typedef struct _WDF_CHILD_LIST_CONFIG {
    ULONG Size;
    ULONG IdentificationDescriptionSize;
    ULONG AddressDescriptionSize;
    PFN_WDF_CHILD_LIST_CREATE_DEVICE EvtChildListCreateDevice;
    PFN_WDF_CHILD_LIST_SCAN_FOR_CHILDREN EvtChildListScanForChildren;
    PFN_WDF_CHILD_LIST_IDENTIFICATION_DESCRIPTION_COPY EvtChildListIdentificationDescriptionCopy;
    PFN_WDF_CHILD_LIST_IDENTIFICATION_DESCRIPTION_DUPLICATE EvtChildListIdentificationDescriptionDuplicate;
    PFN_WDF_CHILD_LIST_IDENTIFICATION_DESCRIPTION_CLEANUP EvtChildListIdentificationDescriptionCleanup;
    PFN_WDF_CHILD_LIST_IDENTIFICATION_DESCRIPTION_COMPARE EvtChildListIdentificationDescriptionCompare;
    PFN_WDF_CHILD_LIST_ADDRESS_DESCRIPTION_COPY EvtChildListAddressDescriptionCopy;
    PFN_WDF_CHILD_LIST_ADDRESS_DESCRIPTION_DUPLICATE EvtChildListAddressDescriptionDuplicate;
    PFN_WDF_CHILD_LIST_ADDRESS_DESCRIPTION_CLEANUP EvtChildListAddressDescriptionCleanup;
    PFN_WDF_CHILD_LIST_DEVICE_REENUMERATED EvtChildListDeviceReenumerated;
} WDF_CHILD_LIST_CONFIG, *PWDF_CHILD_LIST_CONFIG;

FORCEINLINE VOID WDF_CHILD_LIST_CONFIG_INIT(PWDF_CHILD_LIST_CONFIG Config, ULONG IdentificationDescriptionSize,
                                            PFN_WDF_CHILD_LIST_CREATE_DEVICE EvtChildListCreateDevice) {
    RtlZeroMemory(Config, sizeof(WDF_CHILD_LIST_CONFIG));
    Config->Size = sizeof(WDF_CHILD_LIST_CONFIG);
    Config->IdentificationDescriptionSize = IdentificationDescriptionSize;
    Config->EvtChildListCreateDevice = EvtChildListCreateDevice;
}

typedef struct _WDF_CHILD_LIST_ITERATOR {
    ULONG Size;
    ULONG Flags;
    PVOID Reserved[4];
} WDF_CHILD_LIST_ITERATOR, *PWDF_CHILD_LIST_ITERATOR;

FORCEINLINE VOID WDF_CHILD_LIST_ITERATOR_INIT(PWDF_CHILD_LIST_ITERATOR Iterator, ULONG Flags) {
    RtlZeroMemory(Iterator, sizeof(WDF_CHILD_LIST_ITERATOR));
    Iterator->Size = sizeof(WDF_CHILD_LIST_ITERATOR);
    Iterator->Flags = Flags;
}

typedef struct _WDF_CHILD_RETRIEVE_INFO {
    ULONG Size;
    PWDF_CHILD_IDENTIFICATION_DESCRIPTION_HEADER IdentificationDescription;
    PWDF_CHILD_ADDRESS_DESCRIPTION_HEADER AddressDescription;
    WDF_CHILD_LIST_RETRIEVE_DEVICE_STATUS Status;
    PFN_WDF_CHILD_LIST_IDENTIFICATION_DESCRIPTION_COMPARE EvtChildListIdentificationDescriptionCompare;
} WDF_CHILD_RETRIEVE_INFO, *PWDF_CHILD_RETRIEVE_INFO;

FORCEINLINE VOID WDF_CHILD_RETRIEVE_INFO_INIT(PWDF_CHILD_RETRIEVE_INFO Info,
                                              PWDF_CHILD_IDENTIFICATION_DESCRIPTION_HEADER IdentificationDescription) {
    RtlZeroMemory(Info, sizeof(WDF_CHILD_RETRIEVE_INFO));
    Info->Size = sizeof(WDF_CHILD_RETRIEVE_INFO);
    Info->IdentificationDescription = IdentificationDescription;
}

WDFAPI_FUNCTION(NTSTATUS, WdfChildListCreate,
                (WDFDEVICE Device, PWDF_CHILD_LIST_CONFIG Config, PWDF_OBJECT_ATTRIBUTES ChildListAttributes,
                 WDFCHILDLIST* ChildList),
                (Device, Config, ChildListAttributes, ChildList))
WDFAPI_FUNCTION(WDFDEVICE, WdfChildListGetDevice, (WDFCHILDLIST ChildList), (ChildList))
WDFAPI_FUNCTION(VOID, WdfChildListBeginScan, (WDFCHILDLIST ChildList), (ChildList))
WDFAPI_FUNCTION(VOID, WdfChildListEndScan, (WDFCHILDLIST ChildList), (ChildList))
WDFAPI_FUNCTION(NTSTATUS, WdfChildListAddOrUpdateChildDescriptionAsPresent,
                (WDFCHILDLIST ChildList, PWDF_CHILD_IDENTIFICATION_DESCRIPTION_HEADER IdentificationDescription,
                 PWDF_CHILD_ADDRESS_DESCRIPTION_HEADER AddressDescription),
                (ChildList, IdentificationDescription, AddressDescription))
WDFAPI_FUNCTION(NTSTATUS, WdfChildListUpdateChildDescriptionAsMissing,
                (WDFCHILDLIST ChildList, PWDF_CHILD_IDENTIFICATION_DESCRIPTION_HEADER IdentificationDescription),
                (ChildList, IdentificationDescription))
WDFAPI_FUNCTION(VOID, WdfChildListUpdateAllChildDescriptionsAsPresent, (WDFCHILDLIST ChildList), (ChildList))
WDFAPI_FUNCTION(VOID, WdfChildListBeginIteration, (WDFCHILDLIST ChildList, PWDF_CHILD_LIST_ITERATOR Iterator),
                (ChildList, Iterator))
WDFAPI_FUNCTION(NTSTATUS, WdfChildListRetrieveNextDevice,
                (WDFCHILDLIST ChildList, PWDF_CHILD_LIST_ITERATOR Iterator, WDFDEVICE* Device,
                 PWDF_CHILD_RETRIEVE_INFO Info),
                (ChildList, Iterator, Device, Info))
WDFAPI_FUNCTION(VOID, WdfChildListEndIteration, (WDFCHILDLIST ChildList, PWDF_CHILD_LIST_ITERATOR Iterator),
                (ChildList, Iterator))
WDFAPI_FUNCTION(WDFDEVICE, WdfChildListRetrievePdo, (WDFCHILDLIST ChildList, PWDF_CHILD_RETRIEVE_INFO RetrieveInfo),
                (ChildList, RetrieveInfo))
WDFAPI_FUNCTION(NTSTATUS, WdfChildListRetrieveAddressDescription,
                (WDFCHILDLIST ChildList, PWDF_CHILD_IDENTIFICATION_DESCRIPTION_HEADER IdentificationDescription,
                 PWDF_CHILD_ADDRESS_DESCRIPTION_HEADER AddressDescription),
                (ChildList, IdentificationDescription, AddressDescription))
WDFAPI_FUNCTION(BOOLEAN, WdfChildListRequestChildEject,
                (WDFCHILDLIST ChildList, PWDF_CHILD_IDENTIFICATION_DESCRIPTION_HEADER IdentificationDescription),
                (ChildList, IdentificationDescription))

WDF_EXTERN_C_END
