// The kernel C runtime's wide-string routines under their C names, linked into
// the driver image only (hidden there, so the host C library keeps its own).
#include "wdm.h"
#include "wide_crt.h"

EXTERN_C size_t wcsnlen(const WCHAR* s, size_t maxlen) { return ntcrt::length_max(s, maxlen); }
EXTERN_C WCHAR* wcsncpy(WCHAR* dest, const WCHAR* src, size_t n) { return ntcrt::copy_n(dest, src, n); }
EXTERN_C WCHAR* wcsncat(WCHAR* dest, const WCHAR* src, size_t n) { return ntcrt::cat_n(dest, src, n); }
EXTERN_C int wcscmp(const WCHAR* a, const WCHAR* b) { return ntcrt::compare(a, b); }
EXTERN_C int wcsncmp(const WCHAR* a, const WCHAR* b, size_t n) { return ntcrt::compare_n(a, b, n); }
EXTERN_C int _wcsicmp(const WCHAR* a, const WCHAR* b) { return ntcrt::icompare(a, b); }
EXTERN_C int _wcsnicmp(const WCHAR* a, const WCHAR* b, size_t n) { return ntcrt::icompare_n(a, b, n); }
EXTERN_C WCHAR* wcschr(const WCHAR* s, WCHAR c) { return ntcrt::find(s, c); }
EXTERN_C WCHAR* wcsrchr(const WCHAR* s, WCHAR c) { return ntcrt::find_last(s, c); }
