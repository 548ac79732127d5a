#include <gtest/gtest.h>

#include <string>

#include "text/text_search.h"

namespace {

struct SearchCase {
    const char16_t* text;
    const char16_t* pattern;
    int expected;
};

const SearchCase kSearchCases[] = {
    {u"C:\\Setup\\VuqSetup.exe", u"vuqsetup.exe", 9},
    {u"C:\\Setup\\VUQSETUP.EXE", u"vuqsetup.exe", 9},
    {u"c:\\setup\\vuqsetup.exe", u"VUQSETUP.EXE", 9},
    {u"VuqSetup.exe", u"vuqsetup.exe", 0},
    {u"1.0 Beta", u"Beta", 4},
    {u"1.0 Bet", u"Beta", -1},
    {u"1.0 Betx", u"Beta", -1},
    {u"BBETA", u"Beta", 1},
    {u"aab", u"ab", 1},
    {u"xyz", u"Z", 2},
    {u"\u00c9T\u00c9", u"\u00e9t\u00e9", -1},
    {u"\u00e9", u"\u00c9", -1},
    {u"C:\\VuqSetup\\VuqSetup.exe", u"vuqsetup", 3},
    {u"", u"Beta", -1},
    {u"Beta", u"", -1},
    {u"", u"", -1},
    {u"A", u"a", 0},
    {u"ab", u"abc", -1},
    {u"abab", u"bab", 1},
    // Only a-z fold: the units just outside the letters stay as they are.
    {u"@[`{", u"@[`{", 0},
    {u"`", u"@", -1},
    {u"{", u"[", -1},
    {u"\u0161", u"\u0160", -1},
};

TEST(FindTextNoCase, FindsLeftmostOccurrenceIgnoringAsciiCase) {
    for (const SearchCase& c : kSearchCases) {
        std::u16string text(c.text);
        std::u16string pattern(c.pattern);
        EXPECT_EQ(FindTextNoCase(text.c_str(), pattern.c_str()), c.expected)
            << "text of " << text.size() << " units, pattern of " << pattern.size();
        // The caller's strings are never modified.
        EXPECT_EQ(text, std::u16string(c.text));
        EXPECT_EQ(pattern, std::u16string(c.pattern));
    }
}

TEST(FindTextNoCase, HandlesOperandsBeyondAnyFixedScratchArea) {
    std::u16string text(5000, u'x');
    text += u"beta";
    EXPECT_EQ(FindTextNoCase(text.c_str(), u"BETA"), 5000);
    std::u16string pattern(600, u'X');
    EXPECT_EQ(FindTextNoCase(text.c_str(), pattern.c_str()), 0);
    EXPECT_EQ(FindTextNoCase(u"short", pattern.c_str()), -1);
    std::u16string longPattern = std::u16string(4000, u'x') + u"BETA";
    EXPECT_EQ(FindTextNoCase(text.c_str(), longPattern.c_str()), 1000);
}

// Exactly 511 units: the longest operand a scratch copy of 512 units could have held.
TEST(FindTextNoCase, FindsOccurrenceEndingAtLastUnitOfLongestOperand) {
    std::u16string text = std::u16string(507, u'0') + u"BeTa";
    ASSERT_EQ(text.size(), 511u);
    EXPECT_EQ(FindTextNoCase(text.c_str(), u"beta"), 507);
    EXPECT_EQ(FindTextNoCase(text.c_str(), text.c_str()), 0);
}

} // namespace
