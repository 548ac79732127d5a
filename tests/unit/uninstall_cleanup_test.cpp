#include <gtest/gtest.h>

#include <string>

#include "cleanup/uninstall_cleanup.h"
#include "platform_standin.h"

namespace {

const unsigned long kRegExpandSz = 2;
const unsigned long kRegBinary = 3;

struct ValueCase {
    const char* name;
    unsigned long type;
    std::string stored;
    int expectedResult;
    int written;
    std::string expectedBytes; // after the call, when written
};

std::string Units(const std::u16string& text) {
    return TextBytes(text, 0);
}

class UninstallCleanup : public ::testing::Test {
  protected:
    void SetUp() override {
        ResetStandIn();
    }
    RegistryValues& Entry64() {
        return TheStandIn().registry64[kUninstallEntryPath];
    }
};

TEST_F(UninstallCleanup, CutsFromFirstTagAndWritesTextWithTerminator) {
    const std::u16string noNul511 = std::u16string(507, u'x') + u"beta";
    const ValueCase cases[] = {
        {"trailing blank kept", kRegSz, TextBytes(u"5.5.3 Beta"), 0, 1, TextBytes(u"5.5.3 ")},
        {"rest goes", kRegSz, TextBytes(u"Touch Driver BETA 2 (x64)"), 0, 1,
         TextBytes(u"Touch Driver ")},
        {"tag alone", kRegSz, TextBytes(u"Beta"), 0, 1, std::string(2, '\0')},
        {"two tags", kRegSz, TextBytes(u"1 beta 2 Beta"), 0, 1, TextBytes(u"1 ")},
        {"overlapping start", kRegSz, TextBytes(u"BBETA"), 0, 1, TextBytes(u"B")},
        {"no tag", kRegSz, TextBytes(u"5.5.3"), 0, 0, ""},
        {"Bet and letters", kRegSz, TextBytes(u"Betx Bet"), 0, 0, ""},
        {"empty value", kRegSz, "", 0, 0, ""},
        {"expand string", kRegExpandSz, TextBytes(u"%x% Beta"), 0, 1, TextBytes(u"%x% ")},
        // The tag after the terminator belongs to no text.
        {"tag after terminator", kRegSz, TextBytes(u"ok") + TextBytes(u"Beta"), 0, 0, ""},
        // Text stored without terminator is taken up to the bytes read.
        {"no terminator", kRegSz, Units(u"2.0 Beta"), 0, 1, TextBytes(u"2.0 ")},
        {"odd byte ignored", kRegSz, Units(u"2.0 Beta") + "x", 0, 1, TextBytes(u"2.0 ")},
        {"odd byte half a tag", kRegSz, Units(u"2.0 Bet") + "a", 0, 0, ""},
        {"1024 bytes, no NUL, tag at end", kRegSz, Units(std::u16string(508, u'v') + u"BETA"), 0, 1,
         TextBytes(std::u16string(508, u'v'))},
        {"1023 bytes, tag in last units", kRegSz, Units(noNul511) + "z", 0, 1,
         TextBytes(std::u16string(507, u'x'))},
        {"larger than 1024 bytes", kRegSz, TextBytes(std::u16string(600, u'a') + u"Beta"), 1, 0,
         ""},
        {"1026 bytes with terminator", kRegSz, TextBytes(std::u16string(508, u'a') + u"Beta"), 1, 0,
         ""},
        {"binary data holding the tag", kRegBinary, Units(u"Beta") + "\x01", 0, 1,
         std::string(2, '\0')},
    };
    for (const ValueCase& c : cases) {
        ResetStandIn();
        Entry64()[u"DisplayVersion"] = {c.type, c.stored};
        Entry64()[u"Publisher"] = {kRegSz, TextBytes(u"Beta Labs")};
        EXPECT_EQ(CleanUninstallValue(u"DisplayVersion"), c.expectedResult) << c.name;
        const StoredValue& after = Entry64()[u"DisplayVersion"];
        if (c.written) {
            EXPECT_EQ(after.type, kRegSz) << c.name;
            EXPECT_EQ(after.bytes, c.expectedBytes) << c.name;
        } else {
            EXPECT_EQ(after.type, c.type) << c.name;
            EXPECT_EQ(after.bytes, c.stored) << c.name;
        }
        int sets = 0;
        for (const std::string& call : TheStandIn().calls)
            sets += call == "RegSetValueExW";
        EXPECT_EQ(sets, c.written) << c.name;
        EXPECT_EQ(Entry64()[u"Publisher"].bytes, TextBytes(u"Beta Labs")) << c.name;
        EXPECT_EQ(TheStandIn().keyCloseCounts, std::vector<int>{1}) << c.name;
    }
}

TEST_F(UninstallCleanup, OpensEntryInThe64BitViewForQueryAndWrite) {
    Entry64()[u"Comments"] = {kRegSz, TextBytes(u"Beta")};
    EXPECT_EQ(CleanUninstallValue(u"Comments"), 0);
    ASSERT_EQ(TheStandIn().openedKeys.size(), 1u);
    const OpenedKey& opened = TheStandIn().openedKeys[0];
    EXPECT_EQ(opened.root, 0x80000002u);
    EXPECT_EQ(opened.path, kUninstallEntryPath);
    EXPECT_EQ(opened.options, 0u);
    EXPECT_EQ(opened.access, 0x20107u);
}

TEST_F(UninstallCleanup, EntryOnlyInThe32BitViewIsLeftAlone) {
    TheStandIn().registry32[kUninstallEntryPath][u"DisplayName"] = {kRegSz, TextBytes(u"X Beta")};
    RunPostInstallStep();
    EXPECT_EQ(TheStandIn().registry32[kUninstallEntryPath][u"DisplayName"].bytes,
              TextBytes(u"X Beta"));
    EXPECT_EQ(TheStandIn().calls,
              std::vector<std::string>({"RegOpenKeyExW", "RegOpenKeyExW", "RegOpenKeyExW"}));
}

TEST_F(UninstallCleanup, StepTreatsThreeValuesInOrderEachOnItsOwn) {
    Entry64()[u"Comments"] = {kRegSz, TextBytes(u"beta build")};
    Entry64()[u"DisplayName"] = {kRegSz, TextBytes(u"Touch Beta")};
    Entry64()[u"DisplayVersion"] = {kRegSz, TextBytes(u"5.5.3 Beta")};
    TheStandIn().failingSets = {u"Comments"};
    RunPostInstallStep();
    EXPECT_EQ(Entry64()[u"Comments"].bytes, TextBytes(u"beta build"));
    EXPECT_EQ(Entry64()[u"DisplayName"].bytes, TextBytes(u"Touch "));
    EXPECT_EQ(Entry64()[u"DisplayVersion"].bytes, TextBytes(u"5.5.3 "));
    const std::vector<std::string> perValue = {"RegOpenKeyExW", "RegQueryValueExW",
                                               "RegSetValueExW", "RegCloseKey"};
    std::vector<std::string> expected;
    for (int i = 0; i < 3; ++i)
        expected.insert(expected.end(), perValue.begin(), perValue.end());
    EXPECT_EQ(TheStandIn().calls, expected);
    EXPECT_EQ(TheStandIn().keyCloseCounts, std::vector<int>({1, 1, 1}));
}

struct FailureCase {
    const char* name;
    long openStatus;
    int valuePresent;
    int setFails;
    int expectedResult;
};

TEST_F(UninstallCleanup, FailuresReturn1AndCloseEveryOpenedKey) {
    const FailureCase cases[] = {
        {"open refused", 5, 1, 0, 1},
        {"value missing", 0, 0, 0, 1},
        {"write refused", 0, 1, 1, 1},
    };
    for (const FailureCase& c : cases) {
        ResetStandIn();
        Entry64()[u"Other"] = {kRegSz, TextBytes(u"Beta")};
        if (c.valuePresent)
            Entry64()[u"DisplayName"] = {kRegSz, TextBytes(u"A Beta")};
        if (c.setFails)
            TheStandIn().failingSets = {u"DisplayName"};
        TheStandIn().openStatus = c.openStatus;
        EXPECT_EQ(CleanUninstallValue(u"DisplayName"), c.expectedResult) << c.name;
        std::vector<int> closes(TheStandIn().openKeys.size(), 1);
        EXPECT_EQ(TheStandIn().keyCloseCounts, closes) << c.name;
        EXPECT_EQ(Entry64()[u"Other"].bytes, TextBytes(u"Beta")) << c.name;
    }
}

} // namespace
