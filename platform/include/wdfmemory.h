// Memory objects and memory descriptors.
#pragma once

#include "wdfobject.h"

WDF_EXTERN_C_START

typedef enum _WDF_MEMORY_DESCRIPTOR_TYPE {
    WdfMemoryDescriptorTypeInvalid = 0,
    WdfMemoryDescriptorTypeBuffer = 1,
    WdfMemoryDescriptorTypeMdl = 2,
    WdfMemoryDescriptorTypeHandle = 3
} WDF_MEMORY_DESCRIPTOR_TYPE;

typedef struct _WDFMEMORY_OFFSET {
    size_t BufferOffset;
    size_t BufferLength;
} WDFMEMORY_OFFSET, *PWDFMEMORY_OFFSET;

typedef struct _WDF_MEMORY_DESCRIPTOR {
    WDF_MEMORY_DESCRIPTOR_TYPE Type;
    union {
        struct {
            PVOID Buffer;
            ULONG Length;
        } BufferType;
        struct {
            PMDL Mdl;
            ULONG BufferLength;
        } MdlType;
        struct {
            WDFMEMORY Memory;
            PWDFMEMORY_OFFSET Offsets;
        } HandleType;
    } u;
} WDF_MEMORY_DESCRIPTOR, *PWDF_MEMORY_DESCRIPTOR;

FORCEINLINE VOID WDF_MEMORY_DESCRIPTOR_INIT_BUFFER(PWDF_MEMORY_DESCRIPTOR Descriptor, PVOID Buffer,
                                                   ULONG BufferLength) {
    RtlZeroMemory(Descriptor, sizeof(WDF_MEMORY_DESCRIPTOR));
    Descriptor->Type = WdfMemoryDescriptorTypeBuffer;
    Descriptor->u.BufferType.Buffer = Buffer;
    Descriptor->u.BufferType.Length = BufferLength;
}

FORCEINLINE VOID WDF_MEMORY_DESCRIPTOR_INIT_HANDLE(PWDF_MEMORY_DESCRIPTOR Descriptor, WDFMEMORY Memory,
                                                   PWDFMEMORY_OFFSET Offsets) {
    RtlZeroMemory(Descriptor, sizeof(WDF_MEMORY_DESCRIPTOR));
    Descriptor->Type = WdfMemoryDescriptorTypeHandle;
    Descriptor->u.HandleType.Memory = Memory;
    Descriptor->u.HandleType.Offsets = Offsets;
}

FORCEINLINE VOID WDF_MEMORY_DESCRIPTOR_INIT_MDL(PWDF_MEMORY_DESCRIPTOR Descriptor, PMDL Mdl, ULONG BufferLength) {
    RtlZeroMemory(Descriptor, sizeof(WDF_MEMORY_DESCRIPTOR));
    Descriptor->Type = WdfMemoryDescriptorTypeMdl;
    Descriptor->u.MdlType.Mdl = Mdl;
    Descriptor->u.MdlType.BufferLength = BufferLength;
}

WDFAPI_FUNCTION(NTSTATUS, WdfMemoryCreate,
                (PWDF_OBJECT_ATTRIBUTES Attributes, POOL_TYPE PoolType, ULONG PoolTag, size_t BufferSize,
                 WDFMEMORY* Memory, PVOID* Buffer),
                (Attributes, PoolType, PoolTag, BufferSize, Memory, Buffer))
WDFAPI_FUNCTION(NTSTATUS, WdfMemoryCreatePreallocated,
                (PWDF_OBJECT_ATTRIBUTES Attributes, PVOID Buffer, size_t BufferSize, WDFMEMORY* Memory),
                (Attributes, Buffer, BufferSize, Memory))
WDFAPI_FUNCTION(NTSTATUS, WdfMemoryAssignBuffer, (WDFMEMORY Memory, PVOID Buffer, size_t BufferSize),
                (Memory, Buffer, BufferSize))
WDFAPI_FUNCTION(PVOID, WdfMemoryGetBuffer, (WDFMEMORY Memory, size_t* BufferSize), (Memory, BufferSize))
WDFAPI_FUNCTION(NTSTATUS, WdfMemoryCopyToBuffer,
                (WDFMEMORY SourceMemory, size_t SourceOffset, PVOID Buffer, size_t NumBytesToCopyTo),
                (SourceMemory, SourceOffset, Buffer, NumBytesToCopyTo))
WDFAPI_FUNCTION(NTSTATUS, WdfMemoryCopyFromBuffer,
                (WDFMEMORY DestinationMemory, size_t DestinationOffset, PVOID Buffer, size_t NumBytesToCopyFrom),
                (DestinationMemory, DestinationOffset, Buffer, NumBytesToCopyFrom))

WDF_EXTERN_C_END
