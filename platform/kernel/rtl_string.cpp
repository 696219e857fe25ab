// Counted UNICODE_STRING routines. Where Windows would fault on a NULL or
// corrupt string, the verifier stops with the API's name instead.
#include <cstring>

#include "sim/kernel.h"
#include "wide_crt.h"

namespace {

constexpr USHORT kMaxStringBytes = 0xFFFC;  // largest even Length leaving room for a NUL

void require(const void* p, const char* caller) {
    if (p == nullptr) sim::bug_check(DRIVER_VERIFIER_DETECTED_VIOLATION, "required string pointer is NULL", p, caller);
}

void check_source(PCUNICODE_STRING s, const char* caller) {
    require(s, caller);
    if (s->Length > 0 && s->Buffer == nullptr)
        sim::bug_check(DRIVER_VERIFIER_DETECTED_VIOLATION, "UNICODE_STRING has a Length but no Buffer", s, caller);
}

void check_destination(PCUNICODE_STRING s, const char* caller) {
    require(s, caller);
    if (s->Length > s->MaximumLength || (s->MaximumLength > 0 && s->Buffer == nullptr))
        sim::bug_check(DRIVER_VERIFIER_DETECTED_VIOLATION,
                       "malformed destination UNICODE_STRING (Length above MaximumLength or no Buffer)", s, caller);
}

// Appends bytes that are known to fit, then a NUL when room remains, as Windows does.
void append_fitting(PUNICODE_STRING dest, const WCHAR* src, size_t bytes) {
    if (bytes > 0) memmove(reinterpret_cast<char*>(dest->Buffer) + dest->Length, src, bytes);
    dest->Length = static_cast<USHORT>(dest->Length + bytes);
    if (dest->Length + sizeof(WCHAR) <= dest->MaximumLength) dest->Buffer[dest->Length / sizeof(WCHAR)] = 0;
}

// Unicode simple upper-case mapping for Latin-1, Latin Extended-A, Greek,
// Cyrillic and the full-width Latin letters.
WCHAR upcase(WCHAR c) {
    const auto u = static_cast<uint16_t>(c);
    auto odd_lower = [u]() -> uint16_t { return (u & 1) ? u - 1 : u; };
    auto even_lower = [u]() -> uint16_t { return (u & 1) ? u : u - 1; };
    if (u < 0x80) return u >= 'a' && u <= 'z' ? u - 0x20 : u;
    if (u == 0x00B5) return 0x039C;
    if (u >= 0x00E0 && u <= 0x00FE && u != 0x00F7) return u - 0x20;
    if (u == 0x00FF) return 0x0178;
    if (u >= 0x0100 && u <= 0x012F) return odd_lower();
    if (u == 0x0131) return 'I';
    if (u >= 0x0132 && u <= 0x0137) return odd_lower();
    if (u >= 0x0139 && u <= 0x0148) return even_lower();
    if (u >= 0x014A && u <= 0x0177) return odd_lower();
    if (u >= 0x0179 && u <= 0x017E) return even_lower();
    if (u == 0x017F) return 'S';
    if (u == 0x03AC) return 0x0386;
    if (u >= 0x03AD && u <= 0x03AF) return u - 0x25;
    if (u == 0x03C2) return 0x03A3;
    if (u >= 0x03B1 && u <= 0x03CB) return u - 0x20;
    if (u == 0x03CC) return 0x038C;
    if (u == 0x03CD || u == 0x03CE) return u - 0x3F;
    if (u >= 0x0430 && u <= 0x044F) return u - 0x20;
    if (u >= 0x0450 && u <= 0x045F) return u - 0x50;
    if (u >= 0x0460 && u <= 0x0481) return odd_lower();
    if (u >= 0x048A && u <= 0x04BF) return odd_lower();
    if (u >= 0xFF41 && u <= 0xFF5A) return u - 0x20;
    return u;
}

}  // namespace

EXTERN_C VOID RtlInitUnicodeString(PUNICODE_STRING DestinationString, PCWSTR SourceString) {
    require(DestinationString, "RtlInitUnicodeString");
    if (SourceString == nullptr) {
        DestinationString->Length = 0;
        DestinationString->MaximumLength = 0;
        DestinationString->Buffer = nullptr;
        return;
    }
    // Longer strings are cut so MaximumLength still fits in a USHORT.
    const size_t bytes = ntcrt::length_max(SourceString, kMaxStringBytes / sizeof(WCHAR)) * sizeof(WCHAR);
    DestinationString->Length = static_cast<USHORT>(bytes);
    DestinationString->MaximumLength = static_cast<USHORT>(bytes + sizeof(WCHAR));
    DestinationString->Buffer = const_cast<PWSTR>(SourceString);
}

EXTERN_C WCHAR RtlUpcaseUnicodeChar(WCHAR SourceCharacter) { return upcase(SourceCharacter); }

EXTERN_C LONG RtlCompareUnicodeString(PCUNICODE_STRING String1, PCUNICODE_STRING String2, BOOLEAN CaseInSensitive) {
    check_source(String1, "RtlCompareUnicodeString");
    check_source(String2, "RtlCompareUnicodeString");
    const size_t n1 = String1->Length / sizeof(WCHAR);
    const size_t n2 = String2->Length / sizeof(WCHAR);
    const size_t n = n1 < n2 ? n1 : n2;
    for (size_t i = 0; i < n; ++i) {
        WCHAR c1 = String1->Buffer[i];
        WCHAR c2 = String2->Buffer[i];
        if (CaseInSensitive) {
            c1 = upcase(c1);
            c2 = upcase(c2);
        }
        if (c1 != c2)
            return static_cast<LONG>(static_cast<uint16_t>(c1)) - static_cast<LONG>(static_cast<uint16_t>(c2));
    }
    return static_cast<LONG>(String1->Length) - static_cast<LONG>(String2->Length);
}

EXTERN_C BOOLEAN RtlEqualUnicodeString(PCUNICODE_STRING String1, PCUNICODE_STRING String2, BOOLEAN CaseInSensitive) {
    check_source(String1, "RtlEqualUnicodeString");
    check_source(String2, "RtlEqualUnicodeString");
    if (String1->Length / sizeof(WCHAR) != String2->Length / sizeof(WCHAR)) return FALSE;
    return RtlCompareUnicodeString(String1, String2, CaseInSensitive) == 0 ? TRUE : FALSE;
}

EXTERN_C VOID RtlCopyUnicodeString(PUNICODE_STRING DestinationString, PCUNICODE_STRING SourceString) {
    check_destination(DestinationString, "RtlCopyUnicodeString");
    if (SourceString == nullptr) {
        DestinationString->Length = 0;
        return;
    }
    check_source(SourceString, "RtlCopyUnicodeString");
    size_t bytes = SourceString->Length < DestinationString->MaximumLength ? SourceString->Length
                                                                           : DestinationString->MaximumLength;
    bytes &= ~static_cast<size_t>(1);
    DestinationString->Length = 0;
    append_fitting(DestinationString, SourceString->Buffer, bytes);
}

EXTERN_C NTSTATUS RtlAppendUnicodeToString(PUNICODE_STRING Destination, PCWSTR Source) {
    check_destination(Destination, "RtlAppendUnicodeToString");
    if (Source == nullptr) return STATUS_SUCCESS;
    const size_t bytes = ntcrt::length(Source) * sizeof(WCHAR);
    if (Destination->Length + bytes > Destination->MaximumLength) return STATUS_BUFFER_TOO_SMALL;
    append_fitting(Destination, Source, bytes);
    return STATUS_SUCCESS;
}

EXTERN_C NTSTATUS RtlAppendUnicodeStringToString(PUNICODE_STRING Destination, PCUNICODE_STRING Source) {
    check_destination(Destination, "RtlAppendUnicodeStringToString");
    check_source(Source, "RtlAppendUnicodeStringToString");
    const size_t bytes = Source->Length & ~1u;
    if (bytes == 0) return STATUS_SUCCESS;
    if (Destination->Length + bytes > Destination->MaximumLength) return STATUS_BUFFER_TOO_SMALL;
    append_fitting(Destination, Source->Buffer, bytes);
    return STATUS_SUCCESS;
}

EXTERN_C SIZE_T RtlCompareMemory(const VOID* Source1, const VOID* Source2, SIZE_T Length) {
    const auto* a = static_cast<const unsigned char*>(Source1);
    const auto* b = static_cast<const unsigned char*>(Source2);
    SIZE_T i = 0;
    while (i < Length && a[i] == b[i]) ++i;
    return i;
}
