#include <gtest/gtest.h>

#include <string>

#include "launch/argument_text.h"

namespace {

struct ArgumentCase {
    std::u16string commandLine;
    std::u16string argumentText;
};

TEST(ArgumentText, CutsProgramNameAndTheBlanksAfterIt) {
    const ArgumentCase cases[] = {
        {u"\"C:\\Setup\\VuqSetup.exe\"", u""},
        {u"\"C:\\Setup\\VuqSetup.exe\"   /S", u"/S"},
        {u"\"C:\\My Setup\\VuqSetup.exe\" /S", u"/S"},
        {u"C:\\Setup\\VuqSetup.exe a \"b c\"", u"a \"b c\""},
        {u"", u""},
        {u"VuqSetup.exe /S /v  ", u"/S /v  "},         // trailing blanks kept
        {u"  \"C:\\x.exe\" /S", u"\"C:\\x.exe\" /S"},  // leading blank: empty name
        {u"\"\"", u""},                                // empty quoted name
        {u"\"\" /S", u"/S"},                           // ...then arguments
        {u"\"C:\\My Setup\\VuqSetup.exe /S", u""},     // unbalanced: all name
        {u"C:\\My\" \"Setup\\VuqSetup.exe /S", u"/S"}, // quotes inside a bare name
        {u"C:\\My\"Setup\\VuqSetup.exe /S", u""},      // one quote opens to the end
        {u"VuqSetup.exe\t/S\t", u"/S\t"},              // tabs
        {u"VuqSetup.exe\x01\x1f\x20/S", u"/S"},        // any unit 0x01-0x20
        {u"a\x01"
         u"b c",
         u"b c"},                                   // control ends a bare name
        {u"\"a\tb\x01\" c", u"c"},                  // ...but not a quoted one
        {u"\"C:\\Setup\\VuqSetup.exe\"  \t ", u""}, // only blanks after the name
        {u"a!b \x21"
         u"c",
         u"!c"},                           // 0x21 is no blank
        {u"a\u3000b \u3000c", u"\u3000c"}, // nor a wide space
        {u"a \"\" \"x\"", u"\"\" \"x\""},  // argument quotes stay
    };
    for (const ArgumentCase& c : cases) {
        size_t start = SkipProgramName(c.commandLine.c_str());
        ASSERT_LE(start, c.commandLine.size());
        EXPECT_EQ(c.commandLine.substr(start), c.argumentText)
            << std::string(c.commandLine.begin(), c.commandLine.end());
    }
}

} // namespace
