// Base NT types with their Windows (LLP64) widths. WCHAR is 16 bits: every
// target builds with -fshort-wchar so L"..." literals are UTF-16.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include "sal.h"

static_assert(sizeof(wchar_t) == 2, "build with -fshort-wchar: WCHAR must be 16 bits");

#ifdef __cplusplus
#define EXTERN_C extern "C"
#define EXTERN_C_START extern "C" {
#define EXTERN_C_END }
#else
#define EXTERN_C extern
#define EXTERN_C_START
#define EXTERN_C_END
#endif

#define NTAPI
#define NTSYSAPI
#define NTKERNELAPI
#define NTSTRSAFEAPI NTSTATUS
#define NTSTRSAFEDDI NTSTATUS
#define FORCEINLINE inline
// The Windows compilers know these calling conventions (x64 has only one).
#ifndef _WIN32
#define __cdecl
#define __stdcall
#endif
#define CONST const
#define VOID void
#define IN
#define OUT
#define OPTIONAL
#ifndef UNALIGNED
#define UNALIGNED
#endif
#define DECLSPEC_ALIGN(x) __attribute__((aligned(x)))

#define UNREFERENCED_PARAMETER(p) ((void)(p))
#define PAGED_CODE() ((void)0)

typedef void* PVOID;
typedef void* HANDLE;
typedef HANDLE* PHANDLE;

// A distinct opaque pointer type per kind of handle.
#define DECLARE_HANDLE(n)  \
    typedef struct n##__ { \
        int unused;        \
    } * n

typedef uint8_t UCHAR, *PUCHAR;
typedef uint8_t BYTE, *PBYTE;
typedef uint8_t BOOLEAN, *PBOOLEAN;
typedef char CHAR, *PCHAR;
typedef char CCHAR;
typedef const char* PCCH;
typedef const char* PCSTR;
typedef const char* LPCSTR;
typedef char* PSTR;
typedef uint16_t USHORT, *PUSHORT;
typedef uint16_t WORD;
typedef int16_t SHORT, *PSHORT;
typedef uint32_t ULONG, *PULONG;
typedef uint32_t DWORD, *PDWORD;
typedef int32_t LONG, *PLONG;
typedef int32_t INT;
typedef uint32_t UINT;
typedef int64_t LONGLONG, *PLONGLONG;
typedef uint64_t ULONGLONG, *PULONGLONG;
typedef uint64_t ULONG64, *PULONG64;
typedef int64_t LONG64;
typedef uintptr_t ULONG_PTR, *PULONG_PTR;
typedef intptr_t LONG_PTR;
typedef size_t SIZE_T, *PSIZE_T;
typedef ULONG ACCESS_MASK;
typedef ULONG LCID;
typedef ULONG DEVICE_TYPE;

// The widths records shared with separately built drivers depend on, the same
// on an LP64 host and under the LLP64 Windows compilers.
static_assert(sizeof(ULONG) == 4 && sizeof(LONG) == 4, "ULONG and LONG are 32 bits");
static_assert(sizeof(LONGLONG) == 8 && sizeof(ULONGLONG) == 8, "LONGLONG is 64 bits");
static_assert(sizeof(ULONG_PTR) == sizeof(void*) && sizeof(SIZE_T) == sizeof(void*), "ULONG_PTR holds a pointer");

typedef wchar_t WCHAR, *PWCHAR, *PWSTR, *LPWSTR;
typedef const wchar_t* PCWSTR;
typedef const wchar_t* LPCWSTR;
typedef const wchar_t* PCWCH;
typedef const wchar_t* NTSTRSAFE_PCWSTR;
typedef wchar_t* NTSTRSAFE_PWSTR;
typedef const char* NTSTRSAFE_PCSTR;

typedef LONG NTSTATUS, *PNTSTATUS;
typedef UCHAR KIRQL, *PKIRQL;
typedef CCHAR KPROCESSOR_MODE;

#define TRUE 1
#define FALSE 0
#ifndef NULL
#define NULL nullptr
#endif

#define NT_SUCCESS(Status) (((NTSTATUS)(Status)) >= 0)
#define NT_INFORMATION(Status) ((((ULONG)(Status)) >> 30) == 1)
#define NT_WARNING(Status) ((((ULONG)(Status)) >> 30) == 2)
#define NT_ERROR(Status) ((((ULONG)(Status)) >> 30) == 3)

typedef struct _GUID {
    ULONG Data1;
    USHORT Data2;
    USHORT Data3;
    UCHAR Data4[8];
} GUID, *LPGUID;
typedef const GUID* LPCGUID;
typedef const GUID& REFGUID;

#define DEFINE_GUID(name, l, w1, w2, b1, b2, b3, b4, b5, b6, b7, b8) \
    static const GUID name = {l, w1, w2, {b1, b2, b3, b4, b5, b6, b7, b8}}

typedef union _LARGE_INTEGER {
    struct {
        ULONG LowPart;
        LONG HighPart;
    };
    struct {
        ULONG LowPart;
        LONG HighPart;
    } u;
    LONGLONG QuadPart;
} LARGE_INTEGER, *PLARGE_INTEGER;

typedef struct _UNICODE_STRING {
    USHORT Length;         // bytes, without any terminator
    USHORT MaximumLength;  // bytes of Buffer
    PWSTR Buffer;
} UNICODE_STRING, *PUNICODE_STRING;
typedef const UNICODE_STRING* PCUNICODE_STRING;

typedef struct _STRING {
    USHORT Length;
    USHORT MaximumLength;
    PCHAR Buffer;
} ANSI_STRING, *PANSI_STRING;

#define RTL_CONSTANT_STRING(s) \
    { sizeof(s) - sizeof((s)[0]), sizeof(s), (PWSTR)(s) }
#define DECLARE_CONST_UNICODE_STRING(_var, _string) \
    const WCHAR _var##_buffer[] = _string;          \
    const UNICODE_STRING _var = {sizeof(_string) - sizeof(WCHAR), sizeof(_string), (PWCH)_var##_buffer}
#define DECLARE_UNICODE_STRING_SIZE(_var, _size) \
    WCHAR _var##_buffer[_size];                  \
    UNICODE_STRING _var = {0, (_size) * sizeof(WCHAR), _var##_buffer}
typedef WCHAR* PWCH;

#define RTL_NUMBER_OF(a) (sizeof(a) / sizeof((a)[0]))
#define ARRAYSIZE(a) RTL_NUMBER_OF(a)
#define FIELD_OFFSET(type, field) ((LONG)offsetof(type, field))
#define CONTAINING_RECORD(address, type, field) ((type*)((PCHAR)(address)-offsetof(type, field)))
#if defined(_KERNEL_MODE) && !defined(NOMINMAX)
#define max(a, b) (((a) > (b)) ? (a) : (b))
#define min(a, b) (((a) < (b)) ? (a) : (b))
#endif

#define PASSIVE_LEVEL 0
#define LOW_LEVEL 0
#define APC_LEVEL 1
#define DISPATCH_LEVEL 2
#define HIGH_LEVEL 15

typedef enum _MODE { KernelMode = 0, UserMode = 1, MaximumMode } MODE;
