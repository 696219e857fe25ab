// Objects and typed contexts.
#pragma once

#include "wdftypes.h"

WDF_EXTERN_C_START

typedef enum _WDF_EXECUTION_LEVEL {
    WdfExecutionLevelInvalid = 0,
    WdfExecutionLevelInheritFromParent = 1,
    WdfExecutionLevelPassive = 2,
    WdfExecutionLevelDispatch = 3
} WDF_EXECUTION_LEVEL;

typedef enum _WDF_SYNCHRONIZATION_SCOPE {
    WdfSynchronizationScopeInvalid = 0,
    WdfSynchronizationScopeInheritFromParent = 1,
    WdfSynchronizationScopeDevice = 2,
    WdfSynchronizationScopeQueue = 3,
    WdfSynchronizationScopeNone = 4
} WDF_SYNCHRONIZATION_SCOPE;

typedef VOID EVT_WDF_OBJECT_CONTEXT_CLEANUP(WDFOBJECT Object);
typedef EVT_WDF_OBJECT_CONTEXT_CLEANUP* PFN_WDF_OBJECT_CONTEXT_CLEANUP;
typedef VOID EVT_WDF_OBJECT_CONTEXT_DESTROY(WDFOBJECT Object);
typedef EVT_WDF_OBJECT_CONTEXT_DESTROY* PFN_WDF_OBJECT_CONTEXT_DESTROY;

typedef const struct _WDF_OBJECT_CONTEXT_TYPE_INFO* PCWDF_OBJECT_CONTEXT_TYPE_INFO;
typedef PCWDF_OBJECT_CONTEXT_TYPE_INFO(__cdecl* PFN_GET_UNIQUE_CONTEXT_TYPE)(VOID);

typedef struct _WDF_OBJECT_CONTEXT_TYPE_INFO {
    ULONG Size;
    LPCSTR ContextName;
    size_t ContextSize;
    PCWDF_OBJECT_CONTEXT_TYPE_INFO UniqueType;
    PFN_GET_UNIQUE_CONTEXT_TYPE EvtDriverGetUniqueContextType;
} WDF_OBJECT_CONTEXT_TYPE_INFO, *PWDF_OBJECT_CONTEXT_TYPE_INFO;

typedef struct _WDF_OBJECT_ATTRIBUTES {
    ULONG Size;
    PFN_WDF_OBJECT_CONTEXT_CLEANUP EvtCleanupCallback;
    PFN_WDF_OBJECT_CONTEXT_DESTROY EvtDestroyCallback;
    WDF_EXECUTION_LEVEL ExecutionLevel;
    WDF_SYNCHRONIZATION_SCOPE SynchronizationScope;
    WDFOBJECT ParentObject;
    size_t ContextSizeOverride;
    PCWDF_OBJECT_CONTEXT_TYPE_INFO ContextTypeInfo;
} WDF_OBJECT_ATTRIBUTES, *PWDF_OBJECT_ATTRIBUTES;

FORCEINLINE VOID WDF_OBJECT_ATTRIBUTES_INIT(PWDF_OBJECT_ATTRIBUTES Attributes) {
    RtlZeroMemory(Attributes, sizeof(WDF_OBJECT_ATTRIBUTES));
    Attributes->Size = sizeof(WDF_OBJECT_ATTRIBUTES);
    Attributes->ExecutionLevel = WdfExecutionLevelInheritFromParent;
    Attributes->SynchronizationScope = WdfSynchronizationScopeInheritFromParent;
}

#define WDF_TYPE_NAME_TO_TYPE_INFO(_contexttype) _WDF_##_contexttype##_TYPE_INFO
#define WDF_GET_CONTEXT_TYPE_INFO(_contexttype) (&WDF_TYPE_NAME_TO_TYPE_INFO(_contexttype))
#define WDF_TYPE_NAME_POINTER_TYPE(_contexttype) WDF_POINTER_TYPE_##_contexttype

#define WDF_OBJECT_ATTRIBUTES_SET_CONTEXT_TYPE(_attributes, _contexttype) \
    (_attributes)->ContextTypeInfo = WDF_GET_CONTEXT_TYPE_INFO(_contexttype)->UniqueType

#define WDF_OBJECT_ATTRIBUTES_INIT_CONTEXT_TYPE(_attributes, _contexttype) \
    WDF_OBJECT_ATTRIBUTES_INIT(_attributes);                               \
    WDF_OBJECT_ATTRIBUTES_SET_CONTEXT_TYPE(_attributes, _contexttype)

WDFAPI_FUNCTION(PVOID, WdfObjectGetTypedContextWorker, (WDFOBJECT Handle, PCWDF_OBJECT_CONTEXT_TYPE_INFO TypeInfo),
                (Handle, TypeInfo))
WDFAPI_FUNCTION(NTSTATUS, WdfObjectAllocateContext,
                (WDFOBJECT Handle, PWDF_OBJECT_ATTRIBUTES ContextAttributes, PVOID* Context),
                (Handle, ContextAttributes, Context))
WDFAPI_FUNCTION(WDFOBJECT, WdfObjectContextGetObject, (PVOID ContextPointer), (ContextPointer))
WDFAPI_FUNCTION(VOID, WdfObjectReferenceActual, (WDFOBJECT Handle, PVOID Tag, LONG Line, PCHAR File),
                (Handle, Tag, Line, File))
WDFAPI_FUNCTION(VOID, WdfObjectDereferenceActual, (WDFOBJECT Handle, PVOID Tag, LONG Line, PCHAR File),
                (Handle, Tag, Line, File))
WDFAPI_FUNCTION(NTSTATUS, WdfObjectCreate, (PWDF_OBJECT_ATTRIBUTES Attributes, WDFOBJECT* Object), (Attributes, Object))
WDFAPI_FUNCTION(VOID, WdfObjectDelete, (WDFOBJECT Object), (Object))

WDF_EXTERN_C_END

// One definition of the type record across translation units: an inline
// variable (selectany on Windows).
#define WDF_DECLARE_CONTEXT_TYPE_WITH_NAME(_contexttype, _castingfunction)                            \
    typedef _contexttype* WDF_TYPE_NAME_POINTER_TYPE(_contexttype);                                   \
    extern "C" inline const WDF_OBJECT_CONTEXT_TYPE_INFO WDF_TYPE_NAME_TO_TYPE_INFO(_contexttype) = { \
        sizeof(WDF_OBJECT_CONTEXT_TYPE_INFO), #_contexttype, sizeof(_contexttype),                    \
        &WDF_TYPE_NAME_TO_TYPE_INFO(_contexttype), nullptr};                                          \
    extern "C" inline WDF_TYPE_NAME_POINTER_TYPE(_contexttype) _castingfunction(WDFOBJECT Handle) {   \
        return (WDF_TYPE_NAME_POINTER_TYPE(_contexttype))WdfObjectGetTypedContextWorker(              \
            Handle, WDF_GET_CONTEXT_TYPE_INFO(_contexttype)->UniqueType);                             \
    }

#define WDF_DECLARE_CONTEXT_TYPE(_contexttype) \
    WDF_DECLARE_CONTEXT_TYPE_WITH_NAME(_contexttype, WdfObjectGet_##_contexttype)

#define WdfObjectGetTypedContext(handle, type) \
    ((type*)WdfObjectGetTypedContextWorker((WDFOBJECT)(handle), WDF_GET_CONTEXT_TYPE_INFO(type)->UniqueType))

#define WdfObjectReference(Handle) WdfObjectReferenceWithTag(Handle, NULL)
#define WdfObjectReferenceWithTag(Handle, Tag) WdfObjectReferenceActual(Handle, Tag, __LINE__, (PCHAR)__FILE__)
#define WdfObjectDereference(Handle) WdfObjectDereferenceWithTag(Handle, NULL)
#define WdfObjectDereferenceWithTag(Handle, Tag) WdfObjectDereferenceActual(Handle, Tag, __LINE__, (PCHAR)__FILE__)
