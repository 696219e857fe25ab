// The framework's own status values.
#pragma once

#include "ntdef.h"

// A request held by a stopped target that was removed before it could be sent.
#define STATUS_WDF_DEVICE_REMOVED_NOT_SENT ((NTSTATUS)0xC0200206L)
