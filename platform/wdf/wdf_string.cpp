#include "sim/kernel.h"
#include "wdf/wdf_internal.h"

using namespace wdf;

extern "C" {

NTSTATUS WdfStringCreate(PCUNICODE_STRING UnicodeString, PWDF_OBJECT_ATTRIBUTES StringAttributes, WDFSTRING* String) {
    sim::count_framework_call();
    require_irql_max(PASSIVE_LEVEL, "WdfStringCreate");
    if (String == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    *String = nullptr;
    auto* str = new string_object();
    str->text = from_unicode(UnicodeString);
    NTSTATUS status = attach(str, StringAttributes, default_parent(), "WdfStringCreate");
    if (!NT_SUCCESS(status)) {
        return status;
    }
    *String = reinterpret_cast<WDFSTRING>(str);
    return STATUS_SUCCESS;
}

VOID WdfStringGetUnicodeString(WDFSTRING String, PUNICODE_STRING UnicodeString) {
    sim::count_framework_call();
    auto* str = validate_as<string_object>(String, object_type::string, "WdfStringGetUnicodeString");
    if (UnicodeString == nullptr) {
        sim::bug_check(WDF_VIOLATION, "NULL UNICODE_STRING", String, "WdfStringGetUnicodeString");
    }
    // The buffer stays owned by the string object; it is terminated for
    // callers that print it with %ws.
    UnicodeString->Buffer = reinterpret_cast<PWSTR>(str->text.data());
    UnicodeString->Length = static_cast<USHORT>(str->text.size() * sizeof(WCHAR));
    UnicodeString->MaximumLength = static_cast<USHORT>(UnicodeString->Length + sizeof(WCHAR));
}

}  // extern "C"
