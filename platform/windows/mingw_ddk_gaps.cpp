// ntstrsafe's counted-string formatters, which mingw-w64's ntstrsafe.h lacks.
// The kernel's own formatter does the work, so %wZ and the other kernel
// conversions behave as in the WDK's library.
#include "mingw_ddk_gaps.h"

extern "C" {

NTSTATUS RtlUnicodeStringVPrintf(PUNICODE_STRING DestinationString, NTSTRSAFE_PCWSTR pszFormat, va_list argList) {
    if (DestinationString == NULL || pszFormat == NULL || (DestinationString->MaximumLength & 1) != 0 ||
        (DestinationString->Buffer == NULL && DestinationString->MaximumLength != 0)) {
        return STATUS_INVALID_PARAMETER;
    }
    size_t cch = DestinationString->MaximumLength / sizeof(WCHAR);
    if (cch > NTSTRSAFE_UNICODE_STRING_MAX_CCH) return STATUS_INVALID_PARAMETER;
    DestinationString->Length = 0;
    if (cch == 0) return STATUS_BUFFER_OVERFLOW;
    // A counted string needs no terminator: a result of exactly cch
    // characters fits; -1 means the text was cut at cch.
    int written = _vsnwprintf(DestinationString->Buffer, cch, pszFormat, argList);
    if (written < 0 || (size_t)written > cch) {
        DestinationString->Length = (USHORT)(cch * sizeof(WCHAR));
        return STATUS_BUFFER_OVERFLOW;
    }
    DestinationString->Length = (USHORT)(written * sizeof(WCHAR));
    return STATUS_SUCCESS;
}

NTSTATUS RtlUnicodeStringPrintf(PUNICODE_STRING DestinationString, NTSTRSAFE_PCWSTR pszFormat, ...) {
    va_list args;
    va_start(args, pszFormat);
    NTSTATUS status = RtlUnicodeStringVPrintf(DestinationString, pszFormat, args);
    va_end(args);
    return status;
}

}  // extern "C"
