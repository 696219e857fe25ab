// UTF-16 <-> UTF-8 conversion used by the formatter, the tools and the tests.
#include "kernel_fixture.h"

using utf_conversion = kernel_test;

TEST_F(utf_conversion, utf16_to_utf8) {
    EXPECT_EQ(sim::to_utf8(L"plain"), "plain");
    EXPECT_EQ(sim::to_utf8(u"\u00e9\u20ac\U0001F600"), "\u00e9\u20ac\U0001F600");
    EXPECT_EQ(sim::to_utf8(L"abc", 2), "ab");
    EXPECT_EQ(sim::to_utf8(u"ab\u00e9cd\U0001F600e"), "ab\u00e9cd\U0001F600e");
    EXPECT_EQ(sim::to_utf8(static_cast<const WCHAR*>(nullptr)), "");
    const char16_t lone_high_at_end[] = {u'a', 0xD83D};
    const char16_t reversed_pair[] = {0xDE00, 0xD83D};
    EXPECT_EQ(sim::to_utf8(lone_high_at_end, 2), "a\xEF\xBF\xBD");
    EXPECT_EQ(sim::to_utf8(reversed_pair, 2), "\xEF\xBF\xBD\xEF\xBF\xBD");
    WCHAR chars[] = {'o', 'k', '?'};
    UNICODE_STRING us{4, 6, chars};
    EXPECT_EQ(sim::to_utf8(&us), "ok");
}

TEST_F(utf_conversion, utf8_to_utf16) {
    EXPECT_EQ(sim::to_utf16("\u00e9\u20ac\U0001F600"), u"\u00e9\u20ac\U0001F600");
    EXPECT_EQ(sim::to_utf16("ab\u00e9cd\U0001F600e"), u"ab\u00e9cd\U0001F600e");
    std::u16string appended = u"pre ";
    sim::append_utf16(appended, "ID\\x", 4);
    EXPECT_EQ(appended, u"pre ID\\x");
    EXPECT_EQ(sim::to_utf16("a\x80z"), u"a\uFFFDz");                            // lone continuation
    EXPECT_EQ(sim::to_utf16("\xC0\x80"), u"\uFFFD\uFFFD");                      // overlong NUL
    EXPECT_EQ(sim::to_utf16("\xE2\x82"), u"\uFFFD\uFFFD");                      // cut short
    EXPECT_EQ(sim::to_utf16("\xED\xA0\x80"), u"\uFFFD\uFFFD\uFFFD");            // encoded surrogate
    EXPECT_EQ(sim::to_utf16("\xF4\x90\x80\x80"), u"\uFFFD\uFFFD\uFFFD\uFFFD");  // above U+10FFFF
    const std::u16string round = sim::to_utf16(sim::to_utf8(u"x\U0010FFFFy"));
    EXPECT_EQ(round, u"x\U0010FFFFy");
    EXPECT_EQ(sim::to_utf8(sim::as_wchar(round)), "x\U0010FFFFy");
}
