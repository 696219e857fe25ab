#include <cstring>

#include "sim/kernel.h"
#include "wdf/wdf_internal.h"

using namespace wdf;

void wdf::memory_object::on_destroy() {
    if (!preallocated && buffer != nullptr) {
        ExFreePoolWithTag(buffer, pool_tag);
    }
    buffer = nullptr;
}

namespace {
// The framework's own tag, used when the driver gives none.
constexpr ULONG framework_pool_tag = 0x746c6446;  // "FdlT"

memory_object* validate_memory(WDFMEMORY m, const char* caller) {
    require_irql_max(DISPATCH_LEVEL, caller);
    return validate_as<memory_object>(m, object_type::memory, caller);
}
}  // namespace

extern "C" {

NTSTATUS WdfMemoryCreate(PWDF_OBJECT_ATTRIBUTES Attributes, POOL_TYPE PoolType, ULONG PoolTag, size_t BufferSize,
                         WDFMEMORY* Memory, PVOID* Buffer) {
    sim::count_framework_call();
    require_irql_max(PoolType == PagedPool ? APC_LEVEL : DISPATCH_LEVEL, "WdfMemoryCreate");
    if (Memory == nullptr || BufferSize == 0) {
        return STATUS_INVALID_PARAMETER;
    }
    *Memory = nullptr;
    NTSTATUS injected;
    if (sim::fault_should_fail("WdfMemoryCreate", &injected)) {
        return injected;
    }
    ULONG tag = PoolTag != 0 ? PoolTag : framework_pool_tag;
    void* buffer = ExAllocatePoolWithTag(PoolType, BufferSize, tag);
    if (buffer == nullptr) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    auto* mem = new memory_object();
    mem->buffer = buffer;
    mem->size = BufferSize;
    mem->pool_tag = tag;
    NTSTATUS status = attach(mem, Attributes, default_parent(), "WdfMemoryCreate");
    if (!NT_SUCCESS(status)) {
        ExFreePoolWithTag(buffer, tag);
        return status;
    }
    *Memory = reinterpret_cast<WDFMEMORY>(mem);
    if (Buffer != nullptr) {
        *Buffer = buffer;
    }
    return STATUS_SUCCESS;
}

NTSTATUS WdfMemoryCreatePreallocated(PWDF_OBJECT_ATTRIBUTES Attributes, PVOID Buffer, size_t BufferSize,
                                     WDFMEMORY* Memory) {
    sim::count_framework_call();
    require_irql_max(DISPATCH_LEVEL, "WdfMemoryCreatePreallocated");
    if (Memory == nullptr || Buffer == nullptr || BufferSize == 0) {
        return STATUS_INVALID_PARAMETER;
    }
    *Memory = nullptr;
    auto* mem = new memory_object();
    mem->buffer = Buffer;
    mem->size = BufferSize;
    mem->preallocated = true;
    NTSTATUS status = attach(mem, Attributes, default_parent(), "WdfMemoryCreatePreallocated");
    if (!NT_SUCCESS(status)) {
        return status;
    }
    *Memory = reinterpret_cast<WDFMEMORY>(mem);
    return STATUS_SUCCESS;
}

NTSTATUS WdfMemoryAssignBuffer(WDFMEMORY Memory, PVOID Buffer, size_t BufferSize) {
    sim::count_framework_call();
    auto* mem = validate_memory(Memory, "WdfMemoryAssignBuffer");
    if (!mem->preallocated) {
        sim::bug_check(WDF_VIOLATION, "WdfMemoryAssignBuffer on memory the framework allocated", Memory,
                       "WdfMemoryAssignBuffer");
    }
    if (Buffer == nullptr || BufferSize == 0) {
        return STATUS_INVALID_PARAMETER;
    }
    mem->buffer = Buffer;
    mem->size = BufferSize;
    return STATUS_SUCCESS;
}

PVOID WdfMemoryGetBuffer(WDFMEMORY Memory, size_t* BufferSize) {
    sim::count_framework_call();
    auto* mem = validate_memory(Memory, "WdfMemoryGetBuffer");
    if (BufferSize != nullptr) {
        *BufferSize = mem->size;
    }
    return mem->buffer;
}

NTSTATUS WdfMemoryCopyToBuffer(WDFMEMORY SourceMemory, size_t SourceOffset, PVOID Buffer, size_t NumBytesToCopyTo) {
    sim::count_framework_call();
    auto* mem = validate_memory(SourceMemory, "WdfMemoryCopyToBuffer");
    if (Buffer == nullptr || SourceOffset > mem->size || NumBytesToCopyTo > mem->size - SourceOffset) {
        return STATUS_BUFFER_TOO_SMALL;
    }
    memcpy(Buffer, static_cast<uint8_t*>(mem->buffer) + SourceOffset, NumBytesToCopyTo);
    return STATUS_SUCCESS;
}

NTSTATUS WdfMemoryCopyFromBuffer(WDFMEMORY DestinationMemory, size_t DestinationOffset, PVOID Buffer,
                                 size_t NumBytesToCopyFrom) {
    sim::count_framework_call();
    auto* mem = validate_memory(DestinationMemory, "WdfMemoryCopyFromBuffer");
    if (Buffer == nullptr || DestinationOffset > mem->size || NumBytesToCopyFrom > mem->size - DestinationOffset) {
        return STATUS_BUFFER_TOO_SMALL;
    }
    memcpy(static_cast<uint8_t*>(mem->buffer) + DestinationOffset, Buffer, NumBytesToCopyFrom);
    return STATUS_SUCCESS;
}

}  // extern "C"
