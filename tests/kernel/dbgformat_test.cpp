// The Windows printf dialect: integer widths, string kinds, flags and limits.
#include <climits>
#include <cstdint>

#include "kernel_fixture.h"

using windows_format = kernel_test;

TEST_F(windows_format, long_is_32_bits_as_on_windows) {
    const LONG negative = -5;
    const ULONG status = 0xC0000001;
    EXPECT_EQ(win_format("%ld", negative), "-5");
    EXPECT_EQ(win_format("%lx", status), "c0000001");
    EXPECT_EQ(win_format("%08lX", status), "C0000001");
    EXPECT_EQ(win_format("%02lx", ULONG{5}), "05");
    EXPECT_EQ(win_format("%lu", ULONG{0xFFFFFFFF}), "4294967295");
    EXPECT_EQ(win_format("%d %i", INT_MIN, -1), "-2147483648 -1");
    // A 64-bit read of the first argument would shift every one after it.
    EXPECT_EQ(win_format("%lx %lx %s", -1, 2, "end"), "ffffffff 2 end");
    EXPECT_EQ(win_format("%u", -1), "4294967295");
    EXPECT_EQ(win_format("%o", 8), "10");
}

TEST_F(windows_format, explicit_sizes) {
    EXPECT_EQ(win_format("%I64x", 0x123456789ABCDEF0ULL), "123456789abcdef0");
    EXPECT_EQ(win_format("%I64d", LLONG_MIN), "-9223372036854775808");
    EXPECT_EQ(win_format("%I64u %llu", ULLONG_MAX, ULLONG_MAX), "18446744073709551615 18446744073709551615");
    EXPECT_EQ(win_format("%llx %lld", 0x1000000000ULL, -2LL), "1000000000 -2");
    EXPECT_EQ(win_format("%Ix %Iu %Id", SIZE_T{1} << 40, SIZE_T{7}, LONG_PTR{-3}), "10000000000 7 -3");
    EXPECT_EQ(win_format("%I32x", 0xABCDu), "abcd");
    EXPECT_EQ(win_format("%hx %hd %hu", 0x12345, 0xFFFF, 0x1FFFF), "2345 -1 65535");
    EXPECT_EQ(win_format("%hhx", 0x1FF), "ff");
    EXPECT_EQ(win_format("%zu", size_t{12}), "12");
}

TEST_F(windows_format, pointer_is_sixteen_upper_case_digits) {
    EXPECT_EQ(win_format("%p", reinterpret_cast<void*>(0xABCDEF12)), "00000000ABCDEF12");
    EXPECT_EQ(win_format("%p", nullptr), "0000000000000000");
    EXPECT_EQ(win_format("[%18p]", reinterpret_cast<void*>(1)), "[  0000000000000001]");
    EXPECT_EQ(win_format("[%-18p]", reinterpret_cast<void*>(1)), "[0000000000000001  ]");
}

TEST_F(windows_format, flags_width_and_precision) {
    EXPECT_EQ(win_format("%+d % d %+d", 5, 5, -5), "+5  5 -5");
    EXPECT_EQ(win_format("[%5d][%-5d]", 42, 42), "[   42][42   ]");
    EXPECT_EQ(win_format("%05d", -42), "-0042");
    EXPECT_EQ(win_format("%#x %#X %#x %#o", 255, 255, 0, 8), "0xff 0XFF 0 010");
    EXPECT_EQ(win_format("%#010x", 255), "0x000000ff");
    EXPECT_EQ(win_format("%.3d|%08.3d|%.0d|", 5, 5, 0), "005|     005||");
    EXPECT_EQ(win_format("%-05d|", 7), "7    |");
    EXPECT_EQ(win_format("[%*d][%-*d][%*d]", 5, 42, 4, 1, -3, 9), "[   42][1   ][9  ]");
    EXPECT_EQ(win_format("%.*s|%.*s", 2, "abcdef", -1, "xyz"), "ab|xyz");
}

TEST_F(windows_format, narrow_strings_and_characters) {
    EXPECT_EQ(win_format("%s|%5s|%-5s|%.2s", "abc", "abc", "abc", "abc"), "abc|  abc|abc  |ab");
    EXPECT_EQ(win_format("%s", static_cast<const char*>(nullptr)), "(null)");
    EXPECT_EQ(win_format("%c%c%3c", 'o', 'k', '!'), "ok  !");
    EXPECT_EQ(win_format("100%%"), "100%");
    char unterminated[3] = {'x', 'y', 'z'};
    EXPECT_EQ(win_format("%.3s", unterminated), "xyz");
}

TEST_F(windows_format, wide_strings_become_utf8) {
    EXPECT_EQ(win_format("%ws %S %ls", L"one", L"two", L"three"), "one two three");
    EXPECT_EQ(win_format("%ws", L"caf\u00e9 \u20ac \U0001F600"), "caf\u00e9 \u20ac \U0001F600");
    EXPECT_EQ(win_format("%ws|%S", static_cast<const WCHAR*>(nullptr), static_cast<const WCHAR*>(nullptr)),
              "(null)|(null)");
    const WCHAR unpaired[] = {'a', 0xD800, 'b', 0xDC00, 0};
    EXPECT_EQ(win_format("%ws", unpaired),
              "a\xEF\xBF\xBD"
              "b\xEF\xBF\xBD");
    // Precision bounds the read: this buffer has no terminator.
    const WCHAR unterminated[3] = {'x', 'y', 'z'};
    EXPECT_EQ(win_format("%.3ws", unterminated), "xyz");
    EXPECT_EQ(win_format("[%6ws]", L"\u00e9t\u00e9"), "[   \u00e9t\u00e9]");
    EXPECT_EQ(win_format("%C%wc%lc", L'\u00e9', L'x', L'\u20ac'), "\u00e9x\u20ac");
}

TEST_F(windows_format, counted_strings) {
    WCHAR chars[] = {'h', 'i', '!', 'X'};  // no terminator; Length covers three
    UNICODE_STRING us{6, 8, chars};
    EXPECT_EQ(win_format("<%wZ>", &us), "<hi!>");
    EXPECT_EQ(win_format("%wZ", static_cast<PUNICODE_STRING>(nullptr)), "(null)");
    UNICODE_STRING empty{0, 0, nullptr};
    EXPECT_EQ(win_format("%wZ", &empty), "(null)");
    char bytes[] = {'a', 'n', 's', 'i', '?'};
    ANSI_STRING as{4, 5, bytes};
    EXPECT_EQ(win_format("%Z|%.2Z", &as, &as), "ansi|an");
}

TEST_F(windows_format, unknown_and_unsupported_conversions) {
    EXPECT_EQ(win_format("%y|%"), "%y|%");
    EXPECT_EQ(win_format("%.2f %e", 1.5, 100.0), "1.50 1.000000e+02");
    int target = 77;
    EXPECT_EQ(win_format("a%nb", &target), "ab");
    EXPECT_EQ(target, 77);
}

TEST_F(windows_format, wide_format_swaps_s_and_S) {
    EXPECT_EQ(win_format_wide(u"%s|%S|%hs|%ws", u"wide", "narrow", "narrow", u"wide"), "wide|narrow|narrow|wide");
    EXPECT_EQ(win_format_wide(u"%c%C%hc%wc", u'w', 'n', 'n', u'w'), "wnnw");
    EXPECT_EQ(win_format_wide(u"%ld %lx %I64x %p", -5, 0xC0000001u, 0x1ULL << 40, nullptr),
              "-5 c0000001 10000000000 0000000000000000");
    EXPECT_EQ(win_format_wide(u"%hs", "\xC3\xA9t\xC3\xA9"), "\u00e9t\u00e9");
    WCHAR chars[] = {'o', 'k'};
    UNICODE_STRING us{4, 4, chars};
    EXPECT_EQ(win_format_wide(u"[%wZ]", &us), "[ok]");
}
