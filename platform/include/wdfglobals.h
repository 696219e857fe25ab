// What the framework keeps for the driver: its globals, and on Windows the
// function table the loader fills in.
#pragma once

#include "wdftypes.h"

WDF_EXTERN_C_START

#define WDF_DRIVER_GLOBALS_NAME_LEN (32)

typedef struct _WDF_DRIVER_GLOBALS {
    WDFDRIVER Driver;
    ULONG DriverFlags;
    ULONG DriverTag;
    CHAR DriverName[WDF_DRIVER_GLOBALS_NAME_LEN];
    BOOLEAN DisplaceDriverUnload;
} WDF_DRIVER_GLOBALS, *PWDF_DRIVER_GLOBALS;

#ifdef _WIN32
typedef VOID (*WDFFUNC)(VOID);
extern WDFFUNC WdfFunctions[];
extern PWDF_DRIVER_GLOBALS WdfDriverGlobals;
#endif

WDF_EXTERN_C_END
