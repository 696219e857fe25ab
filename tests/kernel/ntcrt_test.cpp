// The kernel C runtime's wide routines where MS semantics are easy to get
// wrong (tested through the inline forms ntcrt.cpp exports under C names).
#include "kernel_fixture.h"
#include "platform/kernel/wide_crt.h"

using ntcrt_strings = kernel_test;

TEST_F(ntcrt_strings, bounded_copy_pads_and_bounded_cat_terminates) {
    const WCHAR kSentinel = 0x7E7E;
    WCHAR buf[6] = {kSentinel, kSentinel, kSentinel, kSentinel, kSentinel, kSentinel};
    ntcrt::copy_n(buf, L"ab", 4);
    EXPECT_EQ(buf[3], 0) << "padded with NULs up to n";
    EXPECT_EQ(buf[4], kSentinel);
    ntcrt::copy_n(buf, L"wxyz", 2);
    EXPECT_EQ(sim::to_utf8(buf), "wx") << "the old terminator survives; none is added";
    ntcrt::cat_n(buf, L"cdef", 2);
    EXPECT_EQ(sim::to_utf8(buf), "wxcd");
    EXPECT_EQ(buf[5], kSentinel);
    EXPECT_EQ(ntcrt::length_max(buf, 3), 3u);
}

TEST_F(ntcrt_strings, comparisons_and_searches) {
    EXPECT_LT(ntcrt::compare(L"ab", L"abc"), 0);
    EXPECT_GT(ntcrt::compare(L"\uFFFF", L"a"), 0) << "characters compare unsigned";
    EXPECT_EQ(ntcrt::compare_n(L"abcX", L"abcY", 3), 0);
    EXPECT_EQ(ntcrt::icompare(L"HeLLo", L"hello"), 0);
    // Folding to lower case puts '_' before letters (Rtl upper-cases: the opposite).
    EXPECT_LT(ntcrt::icompare(L"a_", L"aB"), 0);
    EXPECT_NE(ntcrt::icompare_n(L"\u00e9", L"\u00c9", 1), 0) << "only ASCII folds";
    const WCHAR* s = L"a/b/c";
    EXPECT_EQ(ntcrt::find(s, '/'), s + 1);
    EXPECT_EQ(ntcrt::find_last(s, '/'), s + 3);
    EXPECT_EQ(ntcrt::find(s, 'z'), nullptr);
    EXPECT_EQ(ntcrt::find_last(s, 0), s + 5) << "the terminator is found";
}
