#include <gtest/gtest.h>

#include <string>

#include "launch/launch_plan.h"

namespace {

struct PlanCase {
    std::u16string ownPath;
    std::u16string argumentText;
    int is64;
    std::u16string applicationPath;
    std::u16string commandLine;
};

std::u16string Repeat(char16_t unit, size_t count) {
    return std::u16string(count, unit);
}

// A folder part of exactly folderLength units, ending in a separator.
std::u16string FolderOf(size_t folderLength) {
    return u"C:" + Repeat(u'd', folderLength - 3) + u"\\";
}

TEST(ComposeLaunchPlan, ChoosesPayloadAndCommandLine) {
    const PlanCase cases[] = {
        {u"C:\\Setup\\VuqSetup.exe", u"", 1, u"C:\\Setup\\VuqSetup64.wzq", u"/NoReset "},
        {u"C:\\Setup\\VuqSetup.exe", u"", 0, u"C:\\Setup\\VuqSetup.wzq", u"/NoReset "},
        {u"D:\\SETUP\\VUQSETUP.EXE", u"", 0, u"D:\\SETUP\\VuqSetup.wzq", u"/NoReset "},
        {u"VuqSetup.exe", u"", 0, u"VuqSetup.wzq", u"/NoReset "},
        {u"C:\\Setup\\VuqSetup_v2.exe", u"", 1, u"C:\\Setup\\VuqSetup64.wzq", u"/NoReset "},
        {u"C:\\VuqSetup\\Install.exe", u"", 0, u"C:\\VuqSetup.wzq", u"/NoReset "},
        {u"C:\\VuqSetup\\Install.exe", u"", 1, u"C:\\VuqSetup64.wzq", u"/NoReset "},
        {u"C:\\VuqSetup\\VuqSetup.exe", u"", 0, u"C:\\VuqSetup\\VuqSetup.wzq", u"/NoReset "},
        {u"C:\\My Setup\\VuqSetup.exe", u"/S", 0, u"C:\\My Setup\\VuqSetup.wzq", u"/S"},
        {u"C:\\Setup\\VuqSetup.exe", u"/S /v", 1, u"C:\\Setup\\VuqSetup64.wzq", u"/S /v"},
        {u"C:\\Setup\\VuqSetup.exe", u"a \"b c\" ", 1, u"C:\\Setup\\VuqSetup64.wzq", u"a \"b c\" "},
        {u"C:\\Setup\\VuqSetup.exe", u" ", 0, u"C:\\Setup\\VuqSetup.wzq", u" "},
        // The folder part is everything before the leftmost name, not up to the last separator.
        {u"C:\\vuqsetup.exe.d\\other.exe", u"", 0, u"C:\\VuqSetup.wzq", u"/NoReset "},
        {u"\\\\server\\share\\VuqSetup.exe", u"/q", 1, u"\\\\server\\share\\VuqSetup64.wzq", u"/q"},
        // Longest folder parts that fit: 498 + 14 and 500 + 12 units.
        {FolderOf(498) + u"VuqSetup.exe", u"", 1, FolderOf(498) + u"VuqSetup64.wzq", u"/NoReset "},
        {FolderOf(499) + u"VuqSetup.exe", u"", 0, FolderOf(499) + u"VuqSetup.wzq", u"/NoReset "},
        {FolderOf(500) + u"VuqSetup", u"", 0, FolderOf(500) + u"VuqSetup.wzq", u"/NoReset "},
        {u"C:\\Setup\\VuqSetup.exe", Repeat(u'a', 512), 0, u"C:\\Setup\\VuqSetup.wzq",
         Repeat(u'a', 512)},
    };
    for (const PlanCase& c : cases) {
        LaunchPlan plan;
        LaunchError error = {nullptr, nullptr};
        ASSERT_EQ(
            ComposeLaunchPlan(c.ownPath.c_str(), c.argumentText.c_str(), c.is64, &plan, &error), 0)
            << "own path of " << c.ownPath.size() << " units";
        EXPECT_EQ(std::u16string(plan.applicationPath), c.applicationPath);
        EXPECT_EQ(std::u16string(plan.commandLine), c.commandLine);
        EXPECT_EQ(error.message, nullptr);
    }
}

struct RefusalCase {
    std::u16string ownPath;
    std::u16string argumentText;
    int is64;
    std::u16string message;
    std::u16string caption;
};

TEST(ComposeLaunchPlan, RefusesInTableOrder) {
    const std::u16string tooLongPath = u"Execute path is too long.";
    const std::u16string tooLongLine = u"Passed command line is too long.";
    const RefusalCase cases[] = {
        {u"C:\\Tools\\setup.exe", u"", 0, u"SearchExeName failed", u"VUQ Setup"},
        {u"", u"", 1, u"SearchExeName failed", u"VUQ Setup"},
        {u"C:\\Tools\\vuq_setup.exe", u"/S", 1, u"SearchExeName failed", u"VUQ Setup"},
        // Not found wins over a command line that is too long.
        {u"C:\\Tools\\setup.exe", Repeat(u'a', 600), 0, u"SearchExeName failed", u"VUQ Setup"},
        {FolderOf(499) + u"VuqSetup.exe", u"", 1, tooLongPath, u"VUQ Setup Wrapper"},
        {FolderOf(501) + u"VuqSetup", u"", 0, tooLongPath, u"VUQ Setup Wrapper"},
        // The path is tested before the command line.
        {FolderOf(499) + u"VuqSetup.exe", Repeat(u'a', 600), 1, tooLongPath, u"VUQ Setup Wrapper"},
        {u"C:\\Setup\\VuqSetup.exe", Repeat(u'a', 513), 0, tooLongLine, u"VUQ Setup Wrapper"},
        {u"C:\\Setup\\VuqSetup.exe", Repeat(u'a', 40000), 1, tooLongLine, u"VUQ Setup Wrapper"},
    };
    for (const RefusalCase& c : cases) {
        LaunchPlan plan;
        plan.applicationPath[0] = u'#';
        plan.commandLine[0] = u'#';
        LaunchError error = {nullptr, nullptr};
        ASSERT_EQ(
            ComposeLaunchPlan(c.ownPath.c_str(), c.argumentText.c_str(), c.is64, &plan, &error), 1);
        EXPECT_EQ(std::u16string(error.message), c.message);
        EXPECT_EQ(std::u16string(error.caption), c.caption);
        // A refusal leaves nothing behind.
        EXPECT_EQ(plan.applicationPath[0], u'#');
        EXPECT_EQ(plan.commandLine[0], u'#');
    }
}

TEST(SearchExeName, FallsBackToBareNameOnlyWhenFileNameIsMissing) {
    EXPECT_EQ(SearchExeName(u"C:\\VuqSetup\\VuqSetup.exe"), 12);
    EXPECT_EQ(SearchExeName(u"C:\\VuqSetup\\Install.exe"), 3);
    EXPECT_EQ(SearchExeName(u"C:\\Setup\\VuqSetup_v2.exe"), 9);
    EXPECT_EQ(SearchExeName(u"C:\\Setup\\Vuq.exe"), -1);
}

} // namespace
