// The kernel C runtime's 16-bit string routines as inline functions, shared by
// ntcrt.cpp (which gives them their C names inside the driver image), the Rtl
// routines and the tests. The C names themselves must stay out of the host
// side, where the C library owns them with a 32-bit wchar_t.
#pragma once

#include <cstddef>

#include "ntdef.h"

namespace ntcrt {

inline size_t length(const WCHAR* s) {
    size_t n = 0;
    while (s[n] != 0) ++n;
    return n;
}

inline size_t length_max(const WCHAR* s, size_t maxlen) {
    size_t n = 0;
    while (n < maxlen && s[n] != 0) ++n;
    return n;
}

inline WCHAR* copy(WCHAR* dest, const WCHAR* src) {
    size_t i = 0;
    do {
        dest[i] = src[i];
    } while (src[i++] != 0);
    return dest;
}

// Pads with NULs up to n; leaves dest unterminated when src has n or more.
inline WCHAR* copy_n(WCHAR* dest, const WCHAR* src, size_t n) {
    size_t i = 0;
    for (; i < n && src[i] != 0; ++i) dest[i] = src[i];
    for (; i < n; ++i) dest[i] = 0;
    return dest;
}

// Appends at most n characters, then always a NUL.
inline WCHAR* cat_n(WCHAR* dest, const WCHAR* src, size_t n) {
    WCHAR* end = dest + length(dest);
    size_t i = 0;
    for (; i < n && src[i] != 0; ++i) end[i] = src[i];
    end[i] = 0;
    return dest;
}

inline int compare_n(const WCHAR* a, const WCHAR* b, size_t n) {
    for (size_t i = 0; i < n; ++i) {
        const auto ca = static_cast<uint16_t>(a[i]);
        const auto cb = static_cast<uint16_t>(b[i]);
        if (ca != cb) return ca < cb ? -1 : 1;
        if (ca == 0) return 0;
    }
    return 0;
}

inline int compare(const WCHAR* a, const WCHAR* b) { return compare_n(a, b, static_cast<size_t>(-1)); }

// The C locale folds only ASCII, to lower case: '_' sorts before letters.
inline uint16_t fold(WCHAR c) {
    const auto u = static_cast<uint16_t>(c);
    return u >= 'A' && u <= 'Z' ? u + ('a' - 'A') : u;
}

inline int icompare_n(const WCHAR* a, const WCHAR* b, size_t n) {
    for (size_t i = 0; i < n; ++i) {
        const uint16_t ca = fold(a[i]);
        const uint16_t cb = fold(b[i]);
        if (ca != cb) return ca < cb ? -1 : 1;
        if (ca == 0) return 0;
    }
    return 0;
}

inline int icompare(const WCHAR* a, const WCHAR* b) { return icompare_n(a, b, static_cast<size_t>(-1)); }

// Searching for 0 finds the terminator, as in C.
inline WCHAR* find(const WCHAR* s, WCHAR c) {
    for (;; ++s) {
        if (*s == c) return const_cast<WCHAR*>(s);
        if (*s == 0) return nullptr;
    }
}

inline WCHAR* find_last(const WCHAR* s, WCHAR c) {
    const WCHAR* last = nullptr;
    for (;; ++s) {
        if (*s == c) last = s;
        if (*s == 0) return const_cast<WCHAR*>(last);
    }
}

}  // namespace ntcrt
