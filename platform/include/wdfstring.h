// Framework string objects.
#pragma once

#include "wdfobject.h"

WDF_EXTERN_C_START
WDFAPI_FUNCTION(NTSTATUS, WdfStringCreate,
                (PCUNICODE_STRING UnicodeString, PWDF_OBJECT_ATTRIBUTES StringAttributes, WDFSTRING* String),
                (UnicodeString, StringAttributes, String))
WDFAPI_FUNCTION(VOID, WdfStringGetUnicodeString, (WDFSTRING String, PUNICODE_STRING UnicodeString),
                (String, UnicodeString))
WDF_EXTERN_C_END
