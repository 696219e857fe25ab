// ntstrsafe: bounded copies and printf into character arrays (always
// NUL-terminated) and counted strings (never), with the Windows statuses:
// STATUS_BUFFER_OVERFLOW after truncation, STATUS_INVALID_PARAMETER for a bad
// destination or source.
#include "ntstrsafe.h"

#include <cstring>

#include "sim/kernel.h"
#include "wide_crt.h"

namespace {

constexpr size_t kMaxCountedBytes = NTSTRSAFE_UNICODE_STRING_MAX_CCH * sizeof(WCHAR);

bool valid_cch(const void* dest, size_t cch) { return dest != nullptr && cch > 0 && cch <= NTSTRSAFE_MAX_CCH; }

bool valid_counted(PCUNICODE_STRING s) {
    return s != nullptr && s->Length % 2 == 0 && s->MaximumLength % 2 == 0 && s->Length <= s->MaximumLength &&
           s->MaximumLength <= kMaxCountedBytes && (s->Buffer != nullptr || s->MaximumLength == 0);
}

bool valid_counted_source(PCUNICODE_STRING s) {
    return s != nullptr && s->Length % 2 == 0 && s->Length <= kMaxCountedBytes &&
           (s->Buffer != nullptr || s->Length == 0);
}

// Where formatted text is cut, a surrogate pair or UTF-8 sequence stays whole.
size_t keep_whole(const std::u16string& s, size_t cut) {
    if (cut > 0 && cut < s.size() && s[cut] >= 0xDC00 && s[cut] <= 0xDFFF && s[cut - 1] >= 0xD800 &&
        s[cut - 1] <= 0xDBFF)
        return cut - 1;
    return cut;
}

size_t keep_whole(const std::string& s, size_t cut) {
    size_t c = cut;
    for (int back = 0; c > 0 && c < s.size() && back < 3 && (s[c] & 0xC0) == 0x80; ++back) --c;
    return c < s.size() && static_cast<unsigned char>(s[c]) >= 0xC0 ? c : cut;
}

// Copies into a character array of cch, truncating and terminating.
template <typename Char, typename Str>
NTSTATUS store_terminated(Char* dest, size_t cch, const Str& text) {
    const bool fits = text.size() < cch;
    const size_t n = fits ? text.size() : keep_whole(text, cch - 1);
    memcpy(dest, text.data(), n * sizeof(Char));
    dest[n] = 0;
    return fits ? STATUS_SUCCESS : STATUS_BUFFER_OVERFLOW;
}

NTSTATUS store_counted(PUNICODE_STRING dest, size_t offset_chars, const WCHAR* src, size_t len) {
    const size_t room = dest->MaximumLength / sizeof(WCHAR) - offset_chars;
    const size_t n = len <= room ? len : room;
    if (n > 0) memmove(dest->Buffer + offset_chars, src, n * sizeof(WCHAR));
    dest->Length = static_cast<USHORT>((offset_chars + n) * sizeof(WCHAR));
    return n == len ? STATUS_SUCCESS : STATUS_BUFFER_OVERFLOW;
}

}  // namespace

EXTERN_C NTSTATUS RtlUnicodeStringVPrintf(PUNICODE_STRING DestinationString, NTSTRSAFE_PCWSTR pszFormat,
                                          va_list argList) {
    if (!valid_counted(DestinationString) || DestinationString->MaximumLength == 0 || pszFormat == nullptr)
        return STATUS_INVALID_PARAMETER;
    const std::u16string text = sim::format_windows_wide(reinterpret_cast<const char16_t*>(pszFormat), argList);
    const size_t room = DestinationString->MaximumLength / sizeof(WCHAR);
    const size_t n = text.size() <= room ? text.size() : keep_whole(text, room);
    memcpy(DestinationString->Buffer, text.data(), n * sizeof(WCHAR));
    DestinationString->Length = static_cast<USHORT>(n * sizeof(WCHAR));
    return n == text.size() ? STATUS_SUCCESS : STATUS_BUFFER_OVERFLOW;
}

EXTERN_C NTSTATUS RtlUnicodeStringPrintf(PUNICODE_STRING DestinationString, NTSTRSAFE_PCWSTR pszFormat, ...) {
    va_list args;
    va_start(args, pszFormat);
    const NTSTATUS status = RtlUnicodeStringVPrintf(DestinationString, pszFormat, args);
    va_end(args);
    return status;
}

EXTERN_C NTSTATUS RtlStringCchPrintfW(NTSTRSAFE_PWSTR pszDest, size_t cchDest, NTSTRSAFE_PCWSTR pszFormat, ...) {
    if (!valid_cch(pszDest, cchDest)) return STATUS_INVALID_PARAMETER;
    if (pszFormat == nullptr) {
        pszDest[0] = 0;
        return STATUS_INVALID_PARAMETER;
    }
    va_list args;
    va_start(args, pszFormat);
    const std::u16string text = sim::format_windows_wide(reinterpret_cast<const char16_t*>(pszFormat), args);
    va_end(args);
    return store_terminated(reinterpret_cast<char16_t*>(pszDest), cchDest, text);
}

EXTERN_C NTSTATUS RtlStringCchPrintfA(PSTR pszDest, size_t cchDest, NTSTRSAFE_PCSTR pszFormat, ...) {
    if (!valid_cch(pszDest, cchDest)) return STATUS_INVALID_PARAMETER;
    if (pszFormat == nullptr) {
        pszDest[0] = 0;
        return STATUS_INVALID_PARAMETER;
    }
    va_list args;
    va_start(args, pszFormat);
    const std::string text = sim::format_windows(pszFormat, args);
    va_end(args);
    return store_terminated(pszDest, cchDest, text);
}

EXTERN_C NTSTATUS RtlStringCchCopyW(NTSTRSAFE_PWSTR pszDest, size_t cchDest, NTSTRSAFE_PCWSTR pszSrc) {
    if (!valid_cch(pszDest, cchDest)) return STATUS_INVALID_PARAMETER;
    if (pszSrc == nullptr) {
        pszDest[0] = 0;
        return STATUS_INVALID_PARAMETER;
    }
    // Reads no further than it can write, so an unterminated source is safe.
    const size_t len = ntcrt::length_max(pszSrc, cchDest);
    const size_t n = len < cchDest ? len : cchDest - 1;
    if (n > 0) memmove(pszDest, pszSrc, n * sizeof(WCHAR));
    pszDest[n] = 0;
    return n == len ? STATUS_SUCCESS : STATUS_BUFFER_OVERFLOW;
}

EXTERN_C NTSTATUS RtlStringCchCatW(NTSTRSAFE_PWSTR pszDest, size_t cchDest, NTSTRSAFE_PCWSTR pszSrc) {
    if (!valid_cch(pszDest, cchDest)) return STATUS_INVALID_PARAMETER;
    const size_t used = ntcrt::length_max(pszDest, cchDest);
    if (used == cchDest || pszSrc == nullptr) return STATUS_INVALID_PARAMETER;
    return RtlStringCchCopyW(pszDest + used, cchDest - used, pszSrc);
}

EXTERN_C NTSTATUS RtlStringCchLengthW(NTSTRSAFE_PCWSTR psz, size_t cchMax, size_t* pcchLength) {
    NTSTATUS status = STATUS_INVALID_PARAMETER;
    size_t len = 0;
    if (psz != nullptr && cchMax > 0 && cchMax <= NTSTRSAFE_MAX_CCH) {
        len = ntcrt::length_max(psz, cchMax);
        if (len < cchMax)
            status = STATUS_SUCCESS;
        else
            len = 0;
    }
    if (pcchLength != nullptr) *pcchLength = len;
    return status;
}

EXTERN_C NTSTATUS RtlUnicodeStringCopy(PUNICODE_STRING DestinationString, PCUNICODE_STRING SourceString) {
    if (!valid_counted(DestinationString) || !valid_counted_source(SourceString)) return STATUS_INVALID_PARAMETER;
    return store_counted(DestinationString, 0, SourceString->Buffer, SourceString->Length / sizeof(WCHAR));
}

EXTERN_C NTSTATUS RtlUnicodeStringCat(PUNICODE_STRING DestinationString, PCUNICODE_STRING SourceString) {
    if (!valid_counted(DestinationString) || !valid_counted_source(SourceString)) return STATUS_INVALID_PARAMETER;
    return store_counted(DestinationString, DestinationString->Length / sizeof(WCHAR), SourceString->Buffer,
                         SourceString->Length / sizeof(WCHAR));
}
