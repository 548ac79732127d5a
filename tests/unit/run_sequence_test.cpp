#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "launch/payload_check.h"
#include "launch/run_sequence.h"
#include "platform_standin.h"

namespace {

typedef std::vector<std::string> Calls;

// The post-install step opens the uninstall entry three times; with no entry each open fails.
const Calls kPostInstallWithoutEntry = {"RegOpenKeyExW", "RegOpenKeyExW", "RegOpenKeyExW"};

Calls Join(Calls head, const Calls& tail) {
    head.insert(head.end(), tail.begin(), tail.end());
    return head;
}

const Calls kUntilPlan = {"GetCommandLineW", "CommandLineToArgvW", "LocalFree", "IsWow64Process"};

class RunSequence : public ::testing::Test {
  protected:
    void SetUp() override {
        ResetStandIn();
    }
};

TEST_F(RunSequence, TypicalRunStartsWaitsCleansAndReleasesInOrder) {
    TheStandIn().commandLine = u"\"C:\\Setup\\VuqSetup.exe\"";
    EXPECT_EQ(RunSetupWrapper(u""), 0);
    const StandIn& s = TheStandIn();
    Calls expected = Join(kUntilPlan, {"CreateProcessW", "WaitForSingleObject(process)"});
    expected = Join(expected, kPostInstallWithoutEntry);
    expected = Join(expected, {"CloseHandle(process)", "CloseHandle(thread)"});
    EXPECT_EQ(s.calls, expected);
    EXPECT_EQ(s.splitInput, u"\"C:\\Setup\\VuqSetup.exe\"");
    EXPECT_EQ(s.startedApplication, u"C:\\Setup\\VuqSetup64.wzq");
    EXPECT_EQ(s.startedCommandLine, u"/NoReset ");
    EXPECT_EQ(s.splitReleases, 1);
    EXPECT_TRUE(s.messages.empty());
}

// Where the DLL search cannot be narrowed, what system code loads by bare name is loaded first by
// full path: what shell32's user32 and gdi32 load (before 8.1 the split brings them in), and what
// a box loads.
const char kStartUpPreload[] =
    "PreloadSystemLibraries(imm32.dll lpk.dll usp10.dll uxtheme.dll dwmapi.dll)";

// As the process entry runs it: the search is narrowed, or the preloads done, before the command
// line is even read, and the argument text is cut from the process command line.
TEST_F(RunSequence, StartUpNarrowsDllSearchFirstThenCutsArgumentText) {
    TheStandIn().commandLine = u"\"C:\\Setup\\VuqSetup.exe\"   /S ";
    EXPECT_EQ(RunSetupWrapper(StartUpWrapper()), 0);
    const StandIn& s = TheStandIn();
    Calls expected =
        Join({"RestrictDllSearchToSystem", kStartUpPreload, "GetCommandLineW"}, kUntilPlan);
    ASSERT_GE(s.calls.size(), expected.size());
    EXPECT_EQ(Calls(s.calls.begin(), s.calls.begin() + 7), expected);
    EXPECT_EQ(s.startedCommandLine, u"/S ");
}

struct WidthCase {
    int queryWorks;
    int flag;
    const char16_t* payload;
};

TEST_F(RunSequence, FailedWow64QueryCountsAs32Bit) {
    const WidthCase cases[] = {
        {1, 1, u"C:\\My Setup\\VuqSetup64.wzq"},
        {1, 0, u"C:\\My Setup\\VuqSetup.wzq"},
        {0, 1, u"C:\\My Setup\\VuqSetup.wzq"},
        {0, 0, u"C:\\My Setup\\VuqSetup.wzq"},
    };
    for (const WidthCase& c : cases) {
        ResetStandIn();
        TheStandIn().splitArguments = {u"C:\\My Setup\\VuqSetup.exe", u"/S"};
        TheStandIn().wow64QueryWorks = c.queryWorks;
        TheStandIn().wow64Flag = c.flag;
        EXPECT_EQ(RunSetupWrapper(u"/S"), 0);
        EXPECT_EQ(TheStandIn().startedApplication, c.payload);
        EXPECT_EQ(TheStandIn().startedCommandLine, u"/S");
    }
}

struct FailureCase {
    const char* name;
    void (*arrange)(StandIn&);
    std::u16string argumentText;
    std::u16string message;
    std::u16string caption;
    Calls calls;
};

struct StationCase {
    const char* name;
    int visible; // the window station's flag
    int sessionKnown;
    unsigned long session;
    unsigned long console;
    int vista; // Vista or later: session 0 holds services alone
    int boxShown;
};

// Before CryptoAPI is looked up: cryptsp and cryptbase, which its forwarders and it load by bare
// name, and the provider.
const char kCryptoPreload[] = "PreloadSystemLibraries(cryptbase.dll cryptsp.dll rsaenh.dll)";

// 512 units: one more than the own path's storage can hold with its terminator.
const std::u16string kLongOwnPath = u"C:\\" + std::u16string(496, u'd') + u"\\VuqSetup.exe";

TEST_F(RunSequence, ReportsEachFailureWithOneBoxAndStatus1) {
    const FailureCase cases[] = {
        {"unsplittable command line",
         [](StandIn& s) { s.splitFails = 1; },
         u"",
         u"GetCommandLineW failed",
         u"VUQ Setup",
         {"GetCommandLineW", "CommandLineToArgvW"}},
        {"empty split",
         [](StandIn& s) { s.splitArguments.clear(); },
         u"",
         u"GetCommandLineW failed",
         u"VUQ Setup",
         {"GetCommandLineW", "CommandLineToArgvW", "LocalFree"}},
        {"own path of 512 units",
         [](StandIn& s) { s.splitArguments = {kLongOwnPath}; },
         u"",
         u"Execute path is too long.",
         u"VUQ Setup Wrapper",
         {"GetCommandLineW", "CommandLineToArgvW", "LocalFree"}},
        {"name not found", [](StandIn& s) { s.splitArguments = {u"C:\\Tools\\setup.exe"}; }, u"",
         u"SearchExeName failed", u"VUQ Setup", kUntilPlan},
        {"command line too long", [](StandIn&) {}, std::u16string(513, u'x'),
         u"Passed command line is too long.", u"VUQ Setup Wrapper", kUntilPlan},
        {"payload missing", [](StandIn& s) { s.startSucceeds = 0; }, u"",
         u"Cannot start C:\\Setup\\VuqSetup64.wzq\n", u"VUQ Setup",
         Join(kUntilPlan, {"CreateProcessW"})},
    };
    // Where nobody sees a box, the same failures end at once, with no box to wait on: a
    // service's window station, and from Vista on session 0 while another session has the
    // console. On XP session 0 is the first user's to log on: seen when they switch back to it.
    const StationCase stations[] = {
        {"a user's desktop", 1, 1, 1, 1, 1, 1},
        {"a service's window station", 0, 1, 1, 1, 1, 0},
        {"session 0, the console in session 1", 1, 1, 0, 1, 1, 0},
        {"session 0, no session at the console", 1, 1, 0, 0xFFFFFFFFul, 1, 0},
        {"session 0 at the console", 1, 1, 0, 0, 1, 1},
        {"session unknown", 1, 0, 0, 1, 1, 1},
        {"XP, session 0 at the console", 1, 1, 0, 0, 0, 1},
        {"XP with fast user switching, session 0, the console in session 1", 1, 1, 0, 1, 0, 1},
        {"XP with fast user switching, session 0, nobody at the console", 1, 1, 0, 0xFFFFFFFFul, 0,
         1},
        {"XP, a service's window station in session 0", 0, 1, 0, 1, 0, 0},
    };
    for (const StationCase& station : stations) {
        for (const FailureCase& c : cases) {
            ResetStandIn();
            c.arrange(TheStandIn());
            TheStandIn().windowStationVisible = station.visible;
            TheStandIn().sessionQueryWorks = station.sessionKnown;
            TheStandIn().processSession = station.session;
            TheStandIn().consoleSession = station.console;
            TheStandIn().session0Isolated = station.vista;
            EXPECT_EQ(RunSetupWrapper(c.argumentText.c_str()), 1)
                << c.name << " on " << station.name;
            const StandIn& s = TheStandIn();
            Calls calls = Join(c.calls, {"ProcessIdToSessionId"});
            int inSession0 = station.sessionKnown && station.session == 0;
            if (inSession0)
                calls = Join(calls, {"GetTickCount64"});
            if (inSession0 && station.vista)
                calls = Join(calls, {"WTSGetActiveConsoleSessionId"});
            if (!inSession0 || !station.vista || station.console == 0)
                calls = Join(calls, {"GetUserObjectInformationW"});
            EXPECT_EQ(s.calls, station.boxShown ? Join(calls, {"MessageBoxW"}) : calls)
                << c.name << " on " << station.name;
            ASSERT_EQ(s.messages.size(), station.boxShown ? 1u : 0u)
                << c.name << " on " << station.name;
            if (!station.boxShown)
                continue;
            EXPECT_EQ(s.messages[0].message, c.message) << c.name;
            EXPECT_EQ(s.messages[0].caption, c.caption) << c.name;
            EXPECT_EQ(s.messages[0].style, 0x10u) << c.name;
        }
    }
}

// The longest own path accepted (511 units) gives a 512-unit application path; its start
// failure message must carry it whole.
TEST_F(RunSequence, StartFailureMessageHoldsLongestApplicationPath) {
    std::u16string folder = u"C:\\" + std::u16string(496, u'd') + u"\\";
    ASSERT_EQ(folder.size(), 500u);
    TheStandIn().splitArguments = {folder + u"VuqSetup"};
    TheStandIn().startSucceeds = 0;
    TheStandIn().wow64Flag = 0;
    EXPECT_EQ(RunSetupWrapper(u""), 1);
    std::u16string path = folder + u"VuqSetup.wzq";
    ASSERT_EQ(path.size(), 512u);
    EXPECT_EQ(TheStandIn().startedApplication, path);
    ASSERT_EQ(TheStandIn().messages.size(), 1u);
    EXPECT_EQ(TheStandIn().messages[0].message, u"Cannot start " + path + u"\n");
}

TEST_F(RunSequence, OwnPathOf511UnitsIsAccepted) {
    std::u16string ownPath = u"C:\\" + std::u16string(495, u'd') + u"\\VuqSetup.exe";
    ASSERT_EQ(ownPath.size(), 511u);
    ASSERT_EQ(kLongOwnPath.size(), 512u);
    TheStandIn().splitArguments = {ownPath};
    TheStandIn().wow64Flag = 0;
    EXPECT_EQ(RunSetupWrapper(u"/S"), 0);
    EXPECT_EQ(TheStandIn().startedApplication.size(), 511u);
    EXPECT_TRUE(TheStandIn().messages.empty());
}

// Only the first split element matters; the argument text comes from the runtime as it is.
TEST_F(RunSequence, PassesArgumentTextUnchangedNotTheSplitArguments) {
    TheStandIn().splitArguments = {u"C:\\Setup\\VuqSetup.exe", u"a", u"b c"};
    EXPECT_EQ(RunSetupWrapper(u"a \"b c\"\t "), 0);
    EXPECT_EQ(TheStandIn().startedCommandLine, u"a \"b c\"\t ");
}

TEST_F(RunSequence, PostInstallStepRunsAfterWaitAndBeforeRelease) {
    TheStandIn().registry64[kUninstallEntryPath][u"DisplayVersion"] = {kRegSz,
                                                                       TextBytes(u"5.5.3 Beta")};
    EXPECT_EQ(RunSetupWrapper(u""), 0);
    const Calls& calls = TheStandIn().calls;
    auto at = [&](const std::string& call) {
        for (size_t i = 0; i < calls.size(); ++i)
            if (calls[i] == call)
                return static_cast<int>(i);
        return -1;
    };
    EXPECT_LT(at("WaitForSingleObject(process)"), at("RegOpenKeyExW"));
    EXPECT_LT(at("RegSetValueExW"), at("CloseHandle(process)"));
    EXPECT_EQ(TheStandIn().registry64[kUninstallEntryPath][u"DisplayVersion"].bytes,
              TextBytes(u"5.5.3 "));
}

// Three read chunks and more, so that a read can fail in the middle; the two differ.
const std::string kPayload32(150000, 'a');
const std::string kPayload64 = std::string(200000, 'b') + "end";
const std::u16string kPath32 = u"C:\\Setup\\VuqSetup.wzq";
const std::u16string kPath64 = u"C:\\Setup\\VuqSetup64.wzq";

PayloadPin PinFor(const std::string& content) {
    PayloadPin pin = {content.size(), {0}};
    std::memcpy(pin.sha256, StandInDigest(content).data(), kSha256Size);
    return pin;
}

size_t IndexOf(const Calls& calls, const std::string& call) {
    return std::find(calls.begin(), calls.end(), call) - calls.begin();
}

struct PinnedCase {
    const char* name;
    void (*arrange)(StandIn&);      // both genuine payloads lie beside a wrapper on a 64-bit system
    std::u16string message;         // empty: started
    std::u16string started = u"";   // what CreateProcessW gets; empty: the path planned
    std::u16string finalPath = u""; // the 64-bit payload's, as GetFinalPathNameByHandleW gives it
};

void AsPlanned(StandIn&) {}

// A final path of units units, as GetFinalPathNameByHandleW gives it.
std::u16string LongFinalPath(size_t units) {
    return u"\\\\?\\C:\\" + std::u16string(units - 13, u'd') + u"\\x.wzq";
}
// Where Win32 drops the dot, the path names another file.
const std::u16string kDottedFinal = u"\\\\?\\C:\\FD\\x.\\VuqSetup\\VuqSetup64.wzq";
// A planned path of 512 units, the longest.
const std::u16string kLongFolder = u"C:\\" + std::u16string(494, u'd') + u"\\";
const std::u16string kLongPath64 = kLongFolder + u"VuqSetup64.wzq";

TEST_F(RunSequence, PinnedBuildStartsOnlyThePinnedPayloadAndReleasesWhatItOpened) {
    const std::u16string notMadeFor = kPath64 + u" is not the file this setup was made for.";
    const std::u16string unreadable = kPath64 + u" cannot be read.";
    const std::u16string noSha256 =
        kPath64 + u" cannot be checked: this system cannot compute SHA-256.";
    const std::u16string unusable = u" cannot be started from this folder: copy the release to a "
                                    u"local folder.";
    const std::u16string refused = kPath64 + unusable;
    const PinnedCase cases[] = {
        {"genuine", [](StandIn&) {}, u""},
        {"genuine on a 32-bit system", [](StandIn& s) { s.wow64Flag = 0; }, u""},
        {"one byte changed", [](StandIn& s) { s.files[kPath64].content[100000] ^= 1; }, notMadeFor},
        {"truncated", [](StandIn& s) { s.files[kPath64].content.pop_back(); }, notMadeFor},
        {"bytes appended", [](StandIn& s) { s.files[kPath64].content += '\0'; }, notMadeFor},
        {"the other system's payload", [](StandIn& s) { s.files[kPath64].content = kPayload32; },
         notMadeFor},
        {"missing", [](StandIn& s) { s.files.erase(kPath64); }, u"Cannot start " + kPath64 + u"\n"},
        {"held open for writing", [](StandIn& s) { s.files[kPath64].open = kFileInUse; },
         kPath64 + u" is in use by another program."},
        {"cannot be opened", [](StandIn& s) { s.files[kPath64].open = kFileUnreadable; },
         unreadable},
        {"read fails mid-file", [](StandIn& s) { s.files[kPath64].readFailsAt = 100000; },
         unreadable},
        {"no AES provider", [](StandIn& s) { s.acquireWorks = 0; }, noSha256},
        {"no SHA-256", [](StandIn& s) { s.createHashWorks = 0; }, noSha256},
        {"hashing fails", [](StandIn& s) { s.hashDataWorks = 0; }, noSha256},
        {"genuine but start fails", [](StandIn& s) { s.startSucceeds = 0; },
         u"Cannot start " + kPath64 + u"\n"},
        {"refused where nobody can see a box",
         [](StandIn& s) {
             s.files[kPath64].content[0] ^= 1;
             s.windowStationVisible = 0;
         },
         notMadeFor},
        {"digest differs in its last byte only", [](StandIn& s) { s.digestFlip = 1; }, notMadeFor},
        // What was checked is started, even where a folder on the planned path leads elsewhere by
        // now; the command line stays as planned.
        {"reached through a folder that was retargeted",
         [](StandIn& s) { s.files[kPath64].finalPath = u"\\\\?\\D:\\Real\\VuqSetup64.wzq"; }, u"",
         u"D:\\Real\\VuqSetup64.wzq"},
        {"on a network share",
         [](StandIn& s) {
             s.files[kPath64].finalPath = u"\\\\?\\UNC\\server\\share\\VuqSetup64.wzq";
         },
         u"", u"\\\\server\\share\\VuqSetup64.wzq"},
        {"final path of 519 units",
         [](StandIn& s) { s.files[kPath64].finalPath = LongFinalPath(519); }, u"",
         LongFinalPath(519).substr(4)},
        {"final path of 520 units",
         [](StandIn& s) { s.files[kPath64].finalPath = LongFinalPath(520); }, kPath64 + unusable},
        {"final path unknown", [](StandIn& s) { s.finalPathFails = 1; }, kPath64 + unusable},
        {"final path unknown, planned path of 512 units",
         [](StandIn& s) {
             s.splitArguments = {kLongFolder + u"VuqSetup"};
             s.files[kLongPath64] = s.files[kPath64];
             s.finalPathFails = 1;
         },
         kLongPath64 + unusable},
        {"final path without \\\\?\\", AsPlanned, kPath64 + unusable, u"",
         u"C:\\Setup\\VuqSetup64.wzq"},
        {"no GetFinalPathNameByHandleW, as on XP",
         [](StandIn& s) {
             s.finalPathKnown = 0;
             s.files[kPath64].finalPath = u"\\\\?\\D:\\Real\\VuqSetup64.wzq";
         },
         u""},
        // Where Win32 would read the final path without \\?\ as another path, or that path opens
        // another file, nothing is started: CreateProcessW is not known to take the \\?\ form.
        {"a folder's name ends in a dot", AsPlanned, refused, u"", kDottedFinal},
        {"a folder's name ends in a blank", AsPlanned, refused, u"",
         u"\\\\?\\C:\\FD\\x \\VuqSetup64.wzq"},
        {"the file's name ends in a dot", AsPlanned, refused, u"",
         u"\\\\?\\C:\\FD\\VuqSetup64.wzq."},
        {"a folder named ..", AsPlanned, refused, u"", u"\\\\?\\C:\\FD\\..\\VuqSetup64.wzq"},
        {"a device's name as a folder", AsPlanned, refused, u"", u"\\\\?\\C:\\con\\VuqSetup64.wzq"},
        {"a device's name and an extension as a folder", AsPlanned, refused, u"",
         u"\\\\?\\C:\\Nul.d\\VuqSetup64.wzq"},
        {"a device's name, blanks and extensions as a folder", AsPlanned, refused, u"",
         u"\\\\?\\C:\\AUX  .tar.gz\\VuqSetup64.wzq"},
        {"COM and a superscript digit as a folder", AsPlanned, refused, u"",
         u"\\\\?\\C:\\com\u00B9\\VuqSetup64.wzq"},
        {"a device's name and one unit more as a folder", AsPlanned, refused, u"",
         u"\\\\?\\C:\\nulx\\VuqSetup64.wzq"},
        {"a device's name as the file's", AsPlanned, refused, u"", u"\\\\?\\C:\\FD\\LPT9.wzq"},
        {"a stream's colon", AsPlanned, refused, u"", u"\\\\?\\C:\\FD\\a:b\\VuqSetup64.wzq"},
        {"an empty name", AsPlanned, refused, u"", u"\\\\?\\C:\\FD\\\\VuqSetup64.wzq"},
        {"a share's name ends in a dot", AsPlanned, refused, u"",
         u"\\\\?\\UNC\\server\\share.\\VuqSetup64.wzq"},
        {"the server ?", AsPlanned, refused, u"", u"\\\\?\\UNC\\?\\C:\\VuqSetup64.wzq"},
        {"a volume without a drive letter", AsPlanned, refused, u"",
         u"\\\\?\\Volume{5e1f3c2a-1d4b-11e0-a6e5-806e6f6e6963}\\VuqSetup64.wzq"},
        {"names like devices' that are none", AsPlanned, u"",
         u"C:\\CONFIG\\COM10\\NULLS.d\\x.con\\AUXILIARY\\VuqSetup64.wzq",
         u"\\\\?\\C:\\CONFIG\\COM10\\NULLS.d\\x.con\\AUXILIARY\\VuqSetup64.wzq"},
        {"reopened, the path without \\\\?\\ is another file",
         [](StandIn& s) { s.elsewhere.insert(u"D:\\Real\\VuqSetup64.wzq"); }, refused, u"",
         u"\\\\?\\D:\\Real\\VuqSetup64.wzq"},
        {"final path of 519 units, and the start fails", [](StandIn& s) { s.startSucceeds = 0; },
         u"Cannot start " + LongFinalPath(519).substr(4) + u"\n", LongFinalPath(519).substr(4),
         LongFinalPath(519)},
        {"no GetFinalPathNameByHandleW, and the planned path leads to another file by now",
         [](StandIn& s) {
             s.finalPathKnown = 0;
             s.elsewhere.insert(kPath64);
         },
         refused},
    };
    const PayloadPins pins = {PinFor(kPayload32), PinFor(kPayload64)};
    for (const PinnedCase& c : cases) {
        ResetStandIn();
        StandIn& s = TheStandIn();
        s.files[kPath32].content = kPayload32;
        s.files[kPath64].content = kPayload64;
        s.files[kPath64].finalPath = c.finalPath;
        c.arrange(s);
        const std::string chosen = s.wow64Flag ? kPayload64 : kPayload32;
        bool sizeDiffers =
            s.files.count(kPath64) && s.files[kPath64].content.size() != kPayload64.size();
        int status = RunPinnedSetupWrapper(u"", pins);
        EXPECT_EQ(s.heldFiles, 0) << c.name;
        EXPECT_EQ(s.heldHashes, 0) << c.name;
        EXPECT_EQ(
            std::count_if(s.calls.begin(), s.calls.end(),
                          [](const std::string& call) { return call.find('?') != call.npos; }),
            0)
            << c.name;
        size_t start = IndexOf(s.calls, "CreateProcessW");
        size_t acquire = IndexOf(s.calls, "CryptAcquireContextW");
        if (acquire < s.calls.size()) { // what CryptoAPI loads by bare name is there already
            EXPECT_EQ(s.calls[acquire - 1], kCryptoPreload) << c.name;
        }
        if (c.message.empty() || s.startSucceeds == 0) {
            // Checked whole before the start, and held until CreateProcessW has returned.
            EXPECT_EQ(s.hashed, chosen) << c.name;
            EXPECT_LT(IndexOf(s.calls, "CryptReleaseContext"), start) << c.name;
            EXPECT_EQ(IndexOf(s.calls, "CloseHandle(file)"), start + 1) << c.name;
            std::u16string planned = s.wow64Flag ? kPath64 : kPath32;
            EXPECT_EQ(s.startedApplication, c.started.empty() ? planned : c.started) << c.name;
            EXPECT_EQ(s.startedCommandLine, u"/NoReset ") << c.name;
            // The path started, which Win32 parses, opened the held file again first.
            EXPECT_EQ(s.reopened, std::vector<std::u16string>{s.startedApplication}) << c.name;
            EXPECT_LT(IndexOf(s.calls, "GetFileInformationByHandle"), start) << c.name;
        } else {
            EXPECT_EQ(start, s.calls.size()) << c.name << ": started anyway";
        }
        if (sizeDiffers) { // the size alone refuses it, before any hashing
            EXPECT_EQ(IndexOf(s.calls, "CryptAcquireContextW"), s.calls.size()) << c.name;
        }
        EXPECT_EQ(status, c.message.empty() ? 0 : 1) << c.name;
        if (c.message.empty() || !s.windowStationVisible) {
            EXPECT_TRUE(s.messages.empty()) << c.name;
            continue;
        }
        EXPECT_EQ(s.messages.size(), 1u) << c.name;
        if (s.messages.size() != 1)
            continue; // every row is checked, whichever fails
        EXPECT_EQ(s.messages[0].message, c.message) << c.name;
        EXPECT_EQ(s.messages[0].caption, u"VUQ Setup") << c.name;
        EXPECT_EQ(s.messages[0].style, 0x10u) << c.name;
    }
}

} // namespace
