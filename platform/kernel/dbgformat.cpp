// The Windows printf dialect behind DbgPrint and the ntstrsafe printf family.
// It differs from glibc where drivers depend on it: `l` is 32 bits (LLP64),
// I64/I32/I size prefixes, %p without 0x, %Z/%wZ counted strings, and the
// narrow/wide meaning of %s/%S/%c/%C swapping between narrow and wide formats.
#include <cstdio>
#include <cstring>

#include "sim/kernel.h"
#include "sim/strings.h"

namespace {

// va_list is an array type on x86-64; wrapping it lets helpers share one cursor.
struct arg_list {
    va_list ap;
};

enum class size_mod { none, hh, h, l, ll, w, i32, i64, ptr, L };

struct directive {
    bool left = false;
    bool plus = false;
    bool space = false;
    bool alt = false;
    bool zero = false;
    int width = 0;
    int precision = -1;
    size_mod size = size_mod::none;
};

// Bounds absurd widths and precisions so a bad format cannot exhaust memory.
constexpr int kMaxField = 1 << 16;

void append_narrow(std::string& out, const char* s, size_t n) { out.append(s, n); }
void append_narrow(std::u16string& out, const char* s, size_t n) { sim::append_utf16(out, s, n); }
void append_wide(std::string& out, const char16_t* s, size_t n) { sim::append_utf8(out, s, n); }
void append_wide(std::u16string& out, const char16_t* s, size_t n) { out.append(s, n); }

template <typename Str>
void append_ascii(Str& out, const char* s, size_t n) {
    for (size_t i = 0; i < n; ++i) out.push_back(static_cast<typename Str::value_type>(s[i]));
}

// Field widths count characters, not UTF-8 bytes or UTF-16 units.
size_t count_chars(const std::string& s) {
    size_t n = 0;
    for (unsigned char c : s) n += (c & 0xC0) != 0x80;
    return n;
}
size_t count_chars(const std::u16string& s) {
    size_t n = 0;
    for (size_t i = 0; i < s.size(); ++i) {
        const bool pair_tail = i > 0 && s[i] >= 0xDC00 && s[i] <= 0xDFFF && s[i - 1] >= 0xD800 && s[i - 1] <= 0xDBFF;
        n += !pair_tail;
    }
    return n;
}

template <typename Str>
void emit_padded(Str& out, const Str& piece, const directive& sp) {
    const size_t chars = count_chars(piece);
    const size_t pad = sp.width > 0 && static_cast<size_t>(sp.width) > chars ? sp.width - chars : 0;
    if (!sp.left) out.append(pad, ' ');
    out += piece;
    if (sp.left) out.append(pad, ' ');
}

template <typename Str>
void emit_integer(Str& out, const directive& sp, uint64_t magnitude, bool negative, bool is_signed, unsigned base,
                  bool upper) {
    const char* digit_set = upper ? "0123456789ABCDEF" : "0123456789abcdef";
    char digits[24];
    int nd = 0;
    const bool was_zero = magnitude == 0;
    if (!(sp.precision == 0 && was_zero)) {
        do {
            digits[nd++] = digit_set[magnitude % base];
            magnitude /= base;
        } while (magnitude != 0);
    }
    char prefix[3];
    int np = 0;
    if (is_signed) {
        if (negative)
            prefix[np++] = '-';
        else if (sp.plus)
            prefix[np++] = '+';
        else if (sp.space)
            prefix[np++] = ' ';
    }
    if (sp.alt && base == 16 && !was_zero) {
        prefix[np++] = '0';
        prefix[np++] = upper ? 'X' : 'x';
    }
    int zeros = sp.precision > nd ? sp.precision - nd : 0;
    if (sp.alt && base == 8 && zeros == 0 && (nd == 0 || digits[nd - 1] != '0')) zeros = 1;
    const int body = np + zeros + nd;
    if (sp.zero && !sp.left && sp.precision < 0 && sp.width > body) zeros += sp.width - body;
    const int total = np + zeros + nd;
    const size_t pad = sp.width > total ? sp.width - total : 0;
    if (!sp.left) out.append(pad, ' ');
    append_ascii(out, prefix, np);
    out.append(zeros, '0');
    for (int i = nd - 1; i >= 0; --i) out.push_back(static_cast<typename Str::value_type>(digits[i]));
    if (sp.left) out.append(pad, ' ');
}

int64_t read_signed(arg_list& a, size_mod size) {
    switch (size) {
        case size_mod::ll:
        case size_mod::i64:
        case size_mod::ptr:
            return va_arg(a.ap, long long);
        case size_mod::h:
            return static_cast<int16_t>(va_arg(a.ap, int));
        case size_mod::hh:
            return static_cast<int8_t>(va_arg(a.ap, int));
        default:
            return va_arg(a.ap, int);
    }
}

uint64_t read_unsigned(arg_list& a, size_mod size) {
    switch (size) {
        case size_mod::ll:
        case size_mod::i64:
        case size_mod::ptr:
            return va_arg(a.ap, unsigned long long);
        case size_mod::h:
            return static_cast<uint16_t>(va_arg(a.ap, unsigned));
        case size_mod::hh:
            return static_cast<uint8_t>(va_arg(a.ap, unsigned));
        default:
            return va_arg(a.ap, unsigned);
    }
}

size_t bounded_length(const char* s, int precision) {
    if (precision < 0) return strlen(s);
    size_t n = 0;
    while (n < static_cast<size_t>(precision) && s[n] != 0) ++n;
    return n;
}

size_t bounded_length(const char16_t* s, int precision) {
    size_t n = 0;
    while ((precision < 0 || n < static_cast<size_t>(precision)) && s[n] != 0) ++n;
    return n;
}

size_t clip(size_t len, int precision) {
    return precision >= 0 && static_cast<size_t>(precision) < len ? precision : len;
}

// A precision must not split a surrogate pair or a UTF-8 sequence.
size_t keep_whole(const char16_t* s, size_t cut, size_t len) {
    if (cut > 0 && cut < len && s[cut] >= 0xDC00 && s[cut] <= 0xDFFF && s[cut - 1] >= 0xD800 && s[cut - 1] <= 0xDBFF)
        return cut - 1;
    return cut;
}
size_t keep_whole(const char* s, size_t cut, size_t len) {
    size_t c = cut;
    for (int back = 0; c > 0 && c < len && back < 3 && (s[c] & 0xC0) == 0x80; ++back) --c;
    return c < len && static_cast<unsigned char>(s[c]) >= 0xC0 ? c : cut;
}

template <typename Str>
void emit_narrow_string(Str& out, const directive& sp, const char* s, size_t len) {
    Str piece;
    append_narrow(piece, s, keep_whole(s, clip(len, sp.precision), len));
    emit_padded(out, piece, sp);
}

template <typename Str>
void emit_wide_string(Str& out, const directive& sp, const char16_t* s, size_t len) {
    Str piece;
    append_wide(piece, s, keep_whole(s, clip(len, sp.precision), len));
    emit_padded(out, piece, sp);
}

template <typename Str>
void emit_null(Str& out, const directive& sp) {
    static const char kNull[] = "(null)";
    Str piece;
    append_ascii(piece, kNull, clip(sizeof(kNull) - 1, sp.precision));
    emit_padded(out, piece, sp);
}

template <typename Str>
void emit_pointer(Str& out, const directive& sp, const void* p) {
    char buf[17];
    snprintf(buf, sizeof(buf), "%016llX", static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(p)));
    Str piece;
    append_ascii(piece, buf, 16);
    emit_padded(out, piece, sp);
}

// Kernel DbgPrint has no floating point; formatting it soundly beats printing garbage.
template <typename Str>
void emit_float(Str& out, const directive& sp, char conv, arg_list& a) {
    char fmt[16];
    int n = 0;
    fmt[n++] = '%';
    if (sp.left) fmt[n++] = '-';
    if (sp.plus) fmt[n++] = '+';
    if (sp.space) fmt[n++] = ' ';
    if (sp.alt) fmt[n++] = '#';
    if (sp.zero) fmt[n++] = '0';
    fmt[n++] = '*';
    fmt[n++] = '.';
    fmt[n++] = '*';
    const bool is_long = sp.size == size_mod::L;
    if (is_long) fmt[n++] = 'L';
    fmt[n++] = conv;
    fmt[n] = 0;
    const int prec = sp.precision;
    std::string buf;
    if (is_long) {
        const long double v = va_arg(a.ap, long double);
        buf.resize(snprintf(nullptr, 0, fmt, sp.width, prec, v) + 1);
        snprintf(&buf[0], buf.size(), fmt, sp.width, prec, v);
    } else {
        const double v = va_arg(a.ap, double);
        buf.resize(snprintf(nullptr, 0, fmt, sp.width, prec, v) + 1);
        snprintf(&buf[0], buf.size(), fmt, sp.width, prec, v);
    }
    append_ascii(out, buf.data(), buf.size() - 1);
}

int read_number(const char*& f) {
    int v = 0;
    while (*f >= '0' && *f <= '9') {
        if (v < kMaxField) v = v * 10 + (*f - '0');
        ++f;
    }
    return v < kMaxField ? v : kMaxField;
}

int read_number(const char16_t*& f) {
    int v = 0;
    while (*f >= u'0' && *f <= u'9') {
        if (v < kMaxField) v = v * 10 + (*f - u'0');
        ++f;
    }
    return v < kMaxField ? v : kMaxField;
}

// One conversion starting after '%'. Returns false for an unknown conversion,
// which is then copied to the output as text.
template <typename Char, typename Str>
bool format_one(const Char*& f, arg_list& a, Str& out) {
    directive sp;
    for (;; ++f) {
        if (*f == '-')
            sp.left = true;
        else if (*f == '+')
            sp.plus = true;
        else if (*f == ' ')
            sp.space = true;
        else if (*f == '#')
            sp.alt = true;
        else if (*f == '0')
            sp.zero = true;
        else
            break;
    }
    if (*f == '*') {
        ++f;
        const int w = va_arg(a.ap, int);
        if (w < 0) sp.left = true;
        const long long mag = w < 0 ? -static_cast<long long>(w) : w;
        sp.width = mag < kMaxField ? static_cast<int>(mag) : kMaxField;
    } else {
        sp.width = read_number(f);
    }
    if (*f == '.') {
        ++f;
        if (*f == '*') {
            ++f;
            const int p = va_arg(a.ap, int);
            sp.precision = p < 0 ? -1 : (p < kMaxField ? p : kMaxField);
        } else {
            sp.precision = read_number(f);
        }
    }
    switch (*f) {
        case 'h':
            ++f;
            sp.size = size_mod::h;
            if (*f == 'h') ++f, sp.size = size_mod::hh;
            break;
        case 'l':
            ++f;
            sp.size = size_mod::l;
            if (*f == 'l') ++f, sp.size = size_mod::ll;
            break;
        case 'w':
            ++f, sp.size = size_mod::w;
            break;
        case 'L':
            ++f, sp.size = size_mod::L;
            break;
        case 'z':
        case 't':
            ++f, sp.size = size_mod::ptr;
            break;
        case 'j':
            ++f, sp.size = size_mod::i64;
            break;
        case 'I':
            ++f;
            if (f[0] == '6' && f[1] == '4')
                f += 2, sp.size = size_mod::i64;
            else if (f[0] == '3' && f[1] == '2')
                f += 2, sp.size = size_mod::i32;
            else
                sp.size = size_mod::ptr;
            break;
        default:
            break;
    }

    // c and s are narrow in narrow formats and wide in wide ones; C and S the
    // opposite; h forces narrow, l and w force wide.
    constexpr bool kWideFormat = sizeof(Char) == 2;
    auto wide_arg = [&](bool upper) {
        if (sp.size == size_mod::h) return false;
        if (sp.size == size_mod::l || sp.size == size_mod::w) return true;
        return upper ? !kWideFormat : kWideFormat;
    };

    const Char conv = *f;
    switch (conv) {
        case 'd':
        case 'i': {
            const int64_t v = read_signed(a, sp.size);
            const uint64_t mag = v < 0 ? 0 - static_cast<uint64_t>(v) : static_cast<uint64_t>(v);
            emit_integer(out, sp, mag, v < 0, true, 10, false);
            break;
        }
        case 'u':
            emit_integer(out, sp, read_unsigned(a, sp.size), false, false, 10, false);
            break;
        case 'x':
        case 'X':
            emit_integer(out, sp, read_unsigned(a, sp.size), false, false, 16, conv == 'X');
            break;
        case 'o':
            emit_integer(out, sp, read_unsigned(a, sp.size), false, false, 8, false);
            break;
        case 'p':
            emit_pointer(out, sp, va_arg(a.ap, void*));
            break;
        case 'c':
        case 'C': {
            const unsigned v = va_arg(a.ap, unsigned);
            Str piece;
            if (wide_arg(conv == 'C')) {
                const char16_t u = static_cast<char16_t>(v);
                append_wide(piece, &u, 1);
            } else {
                const char c = static_cast<char>(v);
                if constexpr (kWideFormat)
                    piece.push_back(static_cast<unsigned char>(c) < 0x80 ? static_cast<char16_t>(c) : 0xFFFD);
                else
                    piece.push_back(c);
            }
            emit_padded(out, piece, sp);
            break;
        }
        case 's':
        case 'S': {
            const void* p = va_arg(a.ap, const void*);
            if (p == nullptr) {
                emit_null(out, sp);
            } else if (wide_arg(conv == 'S')) {
                const auto* s = static_cast<const char16_t*>(p);
                emit_wide_string(out, sp, s, bounded_length(s, sp.precision));
            } else {
                const auto* s = static_cast<const char*>(p);
                emit_narrow_string(out, sp, s, bounded_length(s, sp.precision));
            }
            break;
        }
        case 'Z': {
            const void* p = va_arg(a.ap, const void*);
            if (sp.size == size_mod::w || sp.size == size_mod::l) {
                const auto* us = static_cast<const UNICODE_STRING*>(p);
                if (us == nullptr || us->Buffer == nullptr)
                    emit_null(out, sp);
                else
                    emit_wide_string(out, sp, reinterpret_cast<const char16_t*>(us->Buffer),
                                     us->Length / sizeof(WCHAR));
            } else {
                const auto* as = static_cast<const ANSI_STRING*>(p);
                if (as == nullptr || as->Buffer == nullptr)
                    emit_null(out, sp);
                else
                    emit_narrow_string(out, sp, as->Buffer, as->Length);
            }
            break;
        }
        case 'e':
        case 'E':
        case 'f':
        case 'F':
        case 'g':
        case 'G':
        case 'a':
        case 'A':
            emit_float(out, sp, static_cast<char>(conv), a);
            break;
        case 'n':
            // Writing through %n is an exploit primitive; Windows disables it too.
            (void)va_arg(a.ap, void*);
            break;
        case '%':
            out.push_back('%');
            break;
        default:
            return false;
    }
    ++f;
    return true;
}

template <typename Char, typename Str>
void format_all(const Char* f, arg_list& a, Str& out) {
    while (*f != 0) {
        if (*f != '%') {
            out.push_back(*f++);
            continue;
        }
        const Char* start = f++;
        if (!format_one(f, a, out)) {
            if (*f != 0) ++f;
            out.append(start, f - start);
        }
    }
}

}  // namespace

namespace sim {

std::string format_windows(const char* format, va_list args) {
    std::string out;
    if (format == nullptr) return out;
    arg_list a;
    va_copy(a.ap, args);
    format_all(format, a, out);
    va_end(a.ap);
    return out;
}

std::u16string format_windows_wide(const char16_t* format, va_list args) {
    std::u16string out;
    if (format == nullptr) return out;
    arg_list a;
    va_copy(a.ap, args);
    format_all(format, a, out);
    va_end(a.ap);
    return out;
}

}  // namespace sim
