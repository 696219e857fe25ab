// Collections of object handles. Not synchronised: callers guard shared ones.
#pragma once

#include "wdfobject.h"

WDF_EXTERN_C_START
WDFAPI_FUNCTION(NTSTATUS, WdfCollectionCreate, (PWDF_OBJECT_ATTRIBUTES CollectionAttributes, WDFCOLLECTION* Collection),
                (CollectionAttributes, Collection))
WDFAPI_FUNCTION(ULONG, WdfCollectionGetCount, (WDFCOLLECTION Collection), (Collection))
WDFAPI_FUNCTION(NTSTATUS, WdfCollectionAdd, (WDFCOLLECTION Collection, WDFOBJECT Object), (Collection, Object))
WDFAPI_FUNCTION(VOID, WdfCollectionRemove, (WDFCOLLECTION Collection, WDFOBJECT Item), (Collection, Item))
WDFAPI_FUNCTION(VOID, WdfCollectionRemoveItem, (WDFCOLLECTION Collection, ULONG Index), (Collection, Index))
WDFAPI_FUNCTION(WDFOBJECT, WdfCollectionGetItem, (WDFCOLLECTION Collection, ULONG Index), (Collection, Index))
WDFAPI_FUNCTION(WDFOBJECT, WdfCollectionGetFirstItem, (WDFCOLLECTION Collection), (Collection))
WDFAPI_FUNCTION(WDFOBJECT, WdfCollectionGetLastItem, (WDFCOLLECTION Collection), (Collection))
WDF_EXTERN_C_END
