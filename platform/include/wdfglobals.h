// What the framework keeps for the driver: its globals, and on Windows the
// function table the loader fills in.
#pragma once

#include "wdftypes.h"

// A Windows build calls the framework through the table the loader fills in;
// a host program can ask for the same to check those calls.
#if defined(_WIN32) && !defined(WDF_CALLS_THROUGH_TABLE)
#define WDF_CALLS_THROUGH_TABLE
#endif

WDF_EXTERN_C_START

#define WDF_DRIVER_GLOBALS_NAME_LEN (32)

typedef struct _WDF_DRIVER_GLOBALS {
    WDFDRIVER Driver;
    ULONG DriverFlags;
    ULONG DriverTag;
    CHAR DriverName[WDF_DRIVER_GLOBALS_NAME_LEN];
    BOOLEAN DisplaceDriverUnload;
} WDF_DRIVER_GLOBALS, *PWDF_DRIVER_GLOBALS;

#ifdef WDF_CALLS_THROUGH_TABLE
typedef VOID (*WDFFUNC)(VOID);
extern WDFFUNC WdfFunctions[];
extern PWDF_DRIVER_GLOBALS WdfDriverGlobals;
#endif

WDF_EXTERN_C_END
