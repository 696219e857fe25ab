// ntstrsafe: truncation statuses, termination rules and parameter checks.
#include "kernel_fixture.h"

using ntstrsafe = kernel_test;

namespace {

constexpr WCHAR kSentinel = 0x7E7E;

}  // namespace

TEST_F(ntstrsafe, unicode_string_printf_fills_a_counted_string) {
    WCHAR buf[9];
    for (WCHAR& c : buf) c = kSentinel;
    UNICODE_STRING dest{0, 16, buf};
    EXPECT_EQ(RtlUnicodeStringPrintf(&dest, L"%d-%ws", 42, L"x"), STATUS_SUCCESS);
    EXPECT_EQ(dest.Length, 8);
    EXPECT_EQ(sim::to_utf8(&dest), "42-x");
    EXPECT_EQ(buf[4], kSentinel) << "counted strings get no terminator";
    EXPECT_EQ(RtlUnicodeStringPrintf(&dest, L"%s%s", L"1234", L"5678"), STATUS_SUCCESS) << "exact fit";
    EXPECT_EQ(dest.Length, 16);
    WCHAR name_chars[] = {'C', 'O', 'M', '9'};
    UNICODE_STRING name{6, 8, name_chars};
    EXPECT_EQ(RtlUnicodeStringPrintf(&dest, L"<%wZ>", &name), STATUS_SUCCESS);
    EXPECT_EQ(sim::to_utf8(&dest), "<COM>");
}

TEST_F(ntstrsafe, unicode_string_printf_truncates_with_overflow) {
    DECLARE_UNICODE_STRING_SIZE(dest, 4);
    const NTSTATUS status = RtlUnicodeStringPrintf(&dest, L"abc%s", L"def");
    EXPECT_EQ(status, STATUS_BUFFER_OVERFLOW);
    EXPECT_FALSE(NT_SUCCESS(status));
    EXPECT_EQ(dest.Length, 8);
    EXPECT_EQ(sim::to_utf8(&dest), "abcd");
}

TEST_F(ntstrsafe, unicode_string_printf_rejects_bad_destinations) {
    WCHAR buf[4];
    UNICODE_STRING zero{0, 0, buf}, odd{0, 5, buf}, no_buffer{0, 8, nullptr}, overfull{6, 4, buf}, good{0, 8, buf};
    for (UNICODE_STRING* bad : {&zero, &odd, &no_buffer, &overfull}) {
        const UNICODE_STRING before = *bad;
        EXPECT_EQ(RtlUnicodeStringPrintf(bad, L"x"), STATUS_INVALID_PARAMETER);
        EXPECT_EQ(bad->Length, before.Length);
    }
    EXPECT_EQ(RtlUnicodeStringPrintf(nullptr, L"x"), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(RtlUnicodeStringPrintf(&good, nullptr), STATUS_INVALID_PARAMETER);
}

TEST_F(ntstrsafe, cch_printf_terminates_and_truncates) {
    WCHAR wide[4] = {kSentinel, kSentinel, kSentinel, kSentinel};
    EXPECT_EQ(RtlStringCchPrintfW(wide, 4, L"%02lx", ULONG{7}), STATUS_SUCCESS);
    EXPECT_EQ(sim::to_utf8(wide), "07");
    EXPECT_EQ(RtlStringCchPrintfW(wide, 4, L"%s", L"abcdef"), STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(sim::to_utf8(wide), "abc");
    wide[0] = kSentinel;
    EXPECT_EQ(RtlStringCchPrintfW(wide, 0, L"x"), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(wide[0], kSentinel) << "a zero-size buffer is never written";
    EXPECT_EQ(RtlStringCchPrintfW(wide, 4, nullptr), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(wide[0], 0);
    EXPECT_EQ(RtlStringCchPrintfW(nullptr, 4, L"x"), STATUS_INVALID_PARAMETER);

    char narrow[8];
    EXPECT_EQ(RtlStringCchPrintfA(narrow, sizeof(narrow), "%ws=%ld", L"\u00e9", LONG{-1}), STATUS_SUCCESS);
    EXPECT_STREQ(narrow, "\xC3\xA9=-1");
    EXPECT_EQ(RtlStringCchPrintfA(narrow, 4, "%s", "abcdef"), STATUS_BUFFER_OVERFLOW);
    EXPECT_STREQ(narrow, "abc");
    EXPECT_EQ(RtlStringCchPrintfA(narrow, 3, "%ws", L"\u00e9\u00e9"), STATUS_BUFFER_OVERFLOW);
    EXPECT_STREQ(narrow, "\xC3\xA9") << "a character is never split";
}

TEST_F(ntstrsafe, cch_copy_and_cat) {
    WCHAR buf[4];
    EXPECT_EQ(RtlStringCchCopyW(buf, 4, L"abc"), STATUS_SUCCESS);
    EXPECT_EQ(sim::to_utf8(buf), "abc");
    EXPECT_EQ(RtlStringCchCopyW(buf, 4, L"abcd"), STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(sim::to_utf8(buf), "abc");
    const WCHAR unterminated[6] = {'1', '2', '3', '4', '5', '6'};
    EXPECT_EQ(RtlStringCchCopyW(buf, 4, unterminated), STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(RtlStringCchCopyW(buf, 4, nullptr), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(buf[0], 0);
    EXPECT_EQ(RtlStringCchCopyW(buf, 0, L"a"), STATUS_INVALID_PARAMETER);

    EXPECT_EQ(RtlStringCchCopyW(buf, 4, L"a"), STATUS_SUCCESS);
    EXPECT_EQ(RtlStringCchCatW(buf, 4, L"b"), STATUS_SUCCESS);
    EXPECT_EQ(RtlStringCchCatW(buf, 4, L"cd"), STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(sim::to_utf8(buf), "abc");
    WCHAR full[2] = {'x', 'y'};
    EXPECT_EQ(RtlStringCchCatW(full, 2, L"z"), STATUS_INVALID_PARAMETER) << "destination not terminated";
}

TEST_F(ntstrsafe, cch_length) {
    size_t len = 99;
    EXPECT_EQ(RtlStringCchLengthW(L"abc", 4, &len), STATUS_SUCCESS);
    EXPECT_EQ(len, 3u);
    EXPECT_EQ(RtlStringCchLengthW(L"abc", 3, &len), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(len, 0u);
    for (size_t bad_max : {size_t{0}, size_t{NTSTRSAFE_MAX_CCH} + 1})
        EXPECT_EQ(RtlStringCchLengthW(L"abc", bad_max, &len), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(RtlStringCchLengthW(nullptr, 4, nullptr), STATUS_INVALID_PARAMETER);
}

TEST_F(ntstrsafe, unicode_string_copy_and_cat) {
    WCHAR buf[3];
    UNICODE_STRING dest{0, sizeof(buf), buf};
    const UNICODE_STRING ab = RTL_CONSTANT_STRING(L"ab");
    EXPECT_EQ(RtlUnicodeStringCopy(&dest, &ab), STATUS_SUCCESS);
    EXPECT_EQ(RtlUnicodeStringCat(&dest, &ab), STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(sim::to_utf8(&dest), "aba");
    EXPECT_EQ(dest.Length, dest.MaximumLength);
    const UNICODE_STRING longer = RTL_CONSTANT_STRING(L"wxyz");
    EXPECT_EQ(RtlUnicodeStringCopy(&dest, &longer), STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(sim::to_utf8(&dest), "wxy");

    WCHAR odd_chars[] = {'a', 'b'};
    UNICODE_STRING odd{3, 4, odd_chars};
    EXPECT_EQ(RtlUnicodeStringCopy(&dest, &odd), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(RtlUnicodeStringCopy(&dest, nullptr), STATUS_INVALID_PARAMETER);
    UNICODE_STRING none{0, 0, nullptr};
    const UNICODE_STRING empty = RTL_CONSTANT_STRING(L"");
    EXPECT_EQ(RtlUnicodeStringCat(&none, &empty), STATUS_SUCCESS);
    EXPECT_EQ(RtlUnicodeStringCat(&none, &ab), STATUS_BUFFER_OVERFLOW);
}
