// Counted-string routines: initialisation, comparison order, copies and
// appends at their limits, upper-casing, and the verifier's NULL checks.
#include "kernel_fixture.h"

using rtl_string = kernel_test;
using rtl_string_DeathTest = kernel_death_test;

namespace {

UNICODE_STRING counted(const WCHAR* s) {
    UNICODE_STRING us;
    RtlInitUnicodeString(&us, s);
    return us;
}

constexpr WCHAR kSentinel = 0x7E7E;

}  // namespace

TEST_F(rtl_string, init_points_at_the_source) {
    const WCHAR* text = L"abc";
    UNICODE_STRING us = counted(text);
    EXPECT_EQ(us.Length, 6);
    EXPECT_EQ(us.MaximumLength, 8);
    EXPECT_EQ(us.Buffer, text);
    us = counted(L"");
    EXPECT_EQ(us.Length, 0);
    EXPECT_EQ(us.MaximumLength, 2);
    us = counted(nullptr);
    EXPECT_EQ(us.Length, 0);
    EXPECT_EQ(us.MaximumLength, 0);
    EXPECT_EQ(us.Buffer, nullptr);
}

TEST_F(rtl_string, compare_orders_like_windows) {
    UNICODE_STRING abc = counted(L"abc"), abd = counted(L"abd"), upper = counted(L"ABC"), ab = counted(L"ab");
    EXPECT_LT(RtlCompareUnicodeString(&abc, &abd, FALSE), 0);
    EXPECT_GT(RtlCompareUnicodeString(&abd, &abc, FALSE), 0);
    EXPECT_EQ(RtlCompareUnicodeString(&upper, &abc, FALSE), 'A' - 'a');
    EXPECT_EQ(RtlCompareUnicodeString(&upper, &abc, TRUE), 0);
    // Equal over the shorter length: the difference in bytes decides.
    EXPECT_EQ(RtlCompareUnicodeString(&ab, &abc, FALSE), -2);
    // Case-insensitive compares upper-cased characters, so '_' sorts after letters.
    UNICODE_STRING underscore = counted(L"a_"), letter = counted(L"ab");
    EXPECT_GT(RtlCompareUnicodeString(&underscore, &letter, TRUE), 0);
    UNICODE_STRING e_acute = counted(L"\u00e9t\u00e9"), E_acute = counted(L"\u00c9T\u00c9");
    EXPECT_EQ(RtlCompareUnicodeString(&e_acute, &E_acute, TRUE), 0);
}

TEST_F(rtl_string, equality_reads_only_length_bytes) {
    WCHAR one[] = {'a', 'b', 'X'}, two[] = {'A', 'B', 'Y'};
    UNICODE_STRING a{4, 6, one}, b{4, 6, two}, longer{6, 6, two};
    EXPECT_FALSE(RtlEqualUnicodeString(&a, &b, FALSE));
    EXPECT_TRUE(RtlEqualUnicodeString(&a, &b, TRUE));
    EXPECT_FALSE(RtlEqualUnicodeString(&a, &longer, TRUE));
}

TEST_F(rtl_string, copy_truncates_and_terminates_when_room_remains) {
    const UNICODE_STRING hello = counted(L"hello");
    WCHAR small[3] = {kSentinel, kSentinel, kSentinel};
    UNICODE_STRING dest{0, 4, small};
    RtlCopyUnicodeString(&dest, &hello);
    EXPECT_EQ(dest.Length, 4);
    EXPECT_EQ(sim::to_utf8(&dest), "he");
    EXPECT_EQ(small[2], kSentinel);

    WCHAR roomy[8];
    dest = UNICODE_STRING{0, sizeof(roomy), roomy};
    RtlCopyUnicodeString(&dest, &hello);
    EXPECT_EQ(dest.Length, 10);
    EXPECT_EQ(roomy[5], 0);

    WCHAR odd[4];
    dest = UNICODE_STRING{0, 5, odd};
    RtlCopyUnicodeString(&dest, &hello);
    EXPECT_EQ(dest.Length, 4) << "never half a character";

    RtlCopyUnicodeString(&dest, nullptr);
    EXPECT_EQ(dest.Length, 0);
}

TEST_F(rtl_string, append_fails_whole_when_it_does_not_fit) {
    WCHAR buf[6] = {kSentinel, kSentinel, kSentinel, kSentinel, kSentinel, kSentinel};
    UNICODE_STRING dest{0, 8, buf};
    EXPECT_EQ(RtlAppendUnicodeToString(&dest, L"ab"), STATUS_SUCCESS);
    EXPECT_EQ(buf[2], 0) << "terminated while room remains";
    EXPECT_EQ(RtlAppendUnicodeToString(&dest, L"cde"), STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(sim::to_utf8(&dest), "ab");
    EXPECT_EQ(RtlAppendUnicodeToString(&dest, nullptr), STATUS_SUCCESS);
    const UNICODE_STRING cd = counted(L"cd");
    EXPECT_EQ(RtlAppendUnicodeStringToString(&dest, &cd), STATUS_SUCCESS);
    EXPECT_EQ(sim::to_utf8(&dest), "abcd");
    EXPECT_EQ(buf[4], kSentinel) << "no terminator past MaximumLength";
    EXPECT_EQ(RtlAppendUnicodeStringToString(&dest, &cd), STATUS_BUFFER_TOO_SMALL);
    const UNICODE_STRING empty = counted(L"");
    EXPECT_EQ(RtlAppendUnicodeStringToString(&dest, &empty), STATUS_SUCCESS);
    EXPECT_EQ(dest.Length, 8);
}

TEST_F(rtl_string, upcase_and_compare_memory) {
    const WCHAR lower[] = {'a', '{', 0xE9, 0xFF, 0xF7, 0xDF, 0x3C2, 0x44F};
    const WCHAR upper[] = {'A', '{', 0xC9, 0x178, 0xF7, 0xDF, 0x3A3, 0x42F};
    for (size_t i = 0; i < ARRAYSIZE(lower); ++i) EXPECT_EQ(RtlUpcaseUnicodeChar(lower[i]), upper[i]) << i;
    const unsigned char a[] = {1, 2, 3, 4}, b[] = {1, 2, 9, 4};
    EXPECT_EQ(RtlCompareMemory(a, b, sizeof(a)), 2u) << "bytes equal before the first difference";
    EXPECT_EQ(RtlCompareMemory(a, a, sizeof(a)), sizeof(a));
}

TEST_F(rtl_string_DeathTest, null_or_corrupt_strings_are_bug_checks) {
    EXPECT_DEATH(RtlInitUnicodeString(nullptr, L"x"), "BUGCHECK 0x000000C4: .*NULL.*caller RtlInitUnicodeString");
    UNICODE_STRING no_buffer{4, 4, nullptr};
    const UNICODE_STRING ok = counted(L"ok");
    EXPECT_DEATH(RtlCompareUnicodeString(&no_buffer, &ok, FALSE), "Length but no Buffer.*RtlCompareUnicodeString");
    WCHAR buf[2];
    UNICODE_STRING overfull{6, 4, buf};
    EXPECT_DEATH(RtlCopyUnicodeString(&overfull, &ok), "malformed destination.*RtlCopyUnicodeString");
    UNICODE_STRING fine{0, 4, buf};
    EXPECT_DEATH(RtlAppendUnicodeStringToString(&fine, nullptr), "NULL.*RtlAppendUnicodeStringToString");
}
