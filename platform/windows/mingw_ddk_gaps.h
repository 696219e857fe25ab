// Forced ahead of every source of the Windows build (-include): what the
// WDK's kernel headers declare and mingw-w64's DDK headers lack or get wrong
// for C++. Nothing else belongs here; the rest comes from mingw-w64's DDK.
#pragma once

// mingw-w64's intrin.h and its DDK wdm.h both define the two bit-test
// intrinsics, which C++ rejects; the DDK's definition is kept.
#define __INTRINSIC_DEFINED_InterlockedBitTestAndSet
#define __INTRINSIC_DEFINED_InterlockedBitTestAndReset

// GCC warns (array bounds) wherever mingw-w64's __readgsqword is inlined,
// e.g. in KeGetCurrentThread; this one addresses the GS offset by register.
#define __INTRINSIC_DEFINED___readgsqword
#ifdef __cplusplus
extern "C"
#endif
    __inline__ __attribute__((__always_inline__)) unsigned long long
    __readgsqword(unsigned long Offset) {
    unsigned long long value;
    __asm__ __volatile__("movq %%gs:(%1), %0" : "=r"(value) : "r"((unsigned long long)Offset) : "memory");
    return value;
}

#include <ntddk.h>
#include <ntstrsafe.h>

#ifndef NTSTRSAFE_UNICODE_STRING_MAX_CCH
#define NTSTRSAFE_UNICODE_STRING_MAX_CCH 32767
#endif

// The WDK's ntdef.h defines these; mingw-w64's does too, but the C++
// library's stdlib.h (which its DDK includes) removes them again.
#ifndef min
#define min(a, b) (((a) < (b)) ? (a) : (b))
#endif
#ifndef max
#define max(a, b) (((a) > (b)) ? (a) : (b))
#endif

#ifdef __cplusplus
extern "C" {
#endif

// Ordered reads and writes of variables other threads change with
// interlocked operations (the WDK's acquire/release accessors).
FORCEINLINE LONG ReadAcquire(LONG const volatile* Source) { return __atomic_load_n(Source, __ATOMIC_ACQUIRE); }
FORCEINLINE LONG ReadNoFence(LONG const volatile* Source) { return __atomic_load_n(Source, __ATOMIC_RELAXED); }
FORCEINLINE VOID WriteRelease(LONG volatile* Destination, LONG Value) {
    __atomic_store_n(Destination, Value, __ATOMIC_RELEASE);
}
FORCEINLINE UCHAR ReadUCharAcquire(UCHAR const volatile* Source) { return __atomic_load_n(Source, __ATOMIC_ACQUIRE); }
FORCEINLINE VOID WriteUCharRelease(UCHAR volatile* Destination, UCHAR Value) {
    __atomic_store_n(Destination, Value, __ATOMIC_RELEASE);
}
FORCEINLINE PVOID ReadPointerAcquire(PVOID const volatile* Source) { return __atomic_load_n(Source, __ATOMIC_ACQUIRE); }
FORCEINLINE VOID WritePointerRelease(PVOID volatile* Destination, PVOID Value) {
    __atomic_store_n(Destination, Value, __ATOMIC_RELEASE);
}

// The counted-string formatters of ntstrsafe; linked into the image from
// mingw_ddk_gaps.cpp, as the WDK links its ntstrsafe library.
NTSTATUS RtlUnicodeStringPrintf(PUNICODE_STRING DestinationString, NTSTRSAFE_PCWSTR pszFormat, ...);
NTSTATUS RtlUnicodeStringVPrintf(PUNICODE_STRING DestinationString, NTSTRSAFE_PCWSTR pszFormat, va_list argList);

#ifdef __cplusplus
}
#endif
