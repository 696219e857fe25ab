// The image's entry point, what the WDK's KMDF stub library supplies: binds
// the driver to KMDF 1.9 through the framework loader (WDFLDR.SYS), which
// fills in the driver's function table and globals, then runs the driver's
// DriverEntry. A failed DriverEntry, and later the unload, release the bind.
#include <ntddk.h>
#include <wdf.h>

extern "C" {

// The loader's bind record (version 1, as KMDF 1.9 drivers pass it). With a
// 1.9 function count the loader copies the table into FuncTable.
typedef struct _WDF_VERSION {
    ULONG Major;
    ULONG Minor;
    ULONG Build;
} WDF_VERSION;

typedef struct _WDF_BIND_INFO {
    ULONG Size;
    PWCHAR Component;
    WDF_VERSION Version;
    ULONG FuncCount;
    WDFFUNC* FuncTable;
    PVOID Module;  // the loader's, for its bookkeeping
} WDF_BIND_INFO, *PWDF_BIND_INFO;

NTSTATUS NTAPI WdfVersionBind(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath, PWDF_BIND_INFO BindInfo,
                              PWDF_DRIVER_GLOBALS* DriverGlobals);
NTSTATUS NTAPI WdfVersionUnbind(PUNICODE_STRING RegistryPath, PWDF_BIND_INFO BindInfo,
                                PWDF_DRIVER_GLOBALS DriverGlobals);

NTSTATUS DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath);
NTSTATUS FxDriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath);

WDFFUNC WdfFunctions[WdfFunctionTableNumEntries];
PWDF_DRIVER_GLOBALS WdfDriverGlobals;

}  // extern "C"

namespace {

WCHAR kmdf_component[] = L"KmdfLibrary";

WDF_BIND_INFO bind_info = {
    sizeof(WDF_BIND_INFO), kmdf_component, {1, 9, 7600}, WdfFunctionTableNumEntries, WdfFunctions, NULL,
};

// The loader needs the service's key again at unbind, after the I/O
// manager's copy is gone.
UNICODE_STRING service_key;
const ULONG stub_pool_tag = 0x62536457;  // "WdSb"

PDRIVER_UNLOAD displaced_unload;

void release_bind() {
    WdfVersionUnbind(&service_key, &bind_info, WdfDriverGlobals);
    ExFreePoolWithTag(service_key.Buffer, stub_pool_tag);
    service_key.Buffer = NULL;
}

VOID stub_unload(PDRIVER_OBJECT DriverObject) {
    if (displaced_unload != NULL) displaced_unload(DriverObject);
    release_bind();
}

}  // namespace

extern "C" NTSTATUS FxDriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath) {
    service_key.Length = RegistryPath->Length;
    service_key.MaximumLength = (USHORT)(RegistryPath->Length + sizeof(WCHAR));
    service_key.Buffer = (PWCH)ExAllocatePoolWithTag(PagedPool, service_key.MaximumLength, stub_pool_tag);
    if (service_key.Buffer == NULL) return STATUS_INSUFFICIENT_RESOURCES;
    RtlCopyMemory(service_key.Buffer, RegistryPath->Buffer, RegistryPath->Length);
    service_key.Buffer[RegistryPath->Length / sizeof(WCHAR)] = L'\0';

    NTSTATUS status = WdfVersionBind(DriverObject, &service_key, &bind_info, &WdfDriverGlobals);
    if (!NT_SUCCESS(status)) {
        ExFreePoolWithTag(service_key.Buffer, stub_pool_tag);
        service_key.Buffer = NULL;
        return status;
    }
    status = DriverEntry(DriverObject, RegistryPath);
    if (!NT_SUCCESS(status)) {
        release_bind();
        return status;
    }
    // The framework installs its own unload routine and asks for it to be
    // displaced, so that the bind is released after the framework's unload.
    if (WdfDriverGlobals->DisplaceDriverUnload && DriverObject->DriverUnload != NULL) {
        displaced_unload = DriverObject->DriverUnload;
        DriverObject->DriverUnload = stub_unload;
    }
    return status;
}
