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
    "PreloadSystemLibraries(lpk.dll usp10.dll imm32.dll uxtheme.dll dwmapi.dll)";

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

size_t IndexOf(const Calls& calls, const std::string& call, size_t from = 0) {
    return std::find(calls.begin() + std::min(from, calls.size()), calls.end(), call) -
           calls.begin();
}

struct PinnedCase {
    const char* name;
    void (*arrange)(StandIn&); // both genuine payloads lie beside a wrapper on a 64-bit system
    std::u16string message;    // empty: started
};

// What the copy's folder must be: a new one under the Windows folder's Temp, named from the
// system's random bytes.
int IsCopyFolder(const std::u16string& folder) {
    const std::u16string prefix = u"C:\\Windows\\Temp\\VuqSetup-";
    return folder.size() == prefix.size() + 32 && folder.compare(0, prefix.size(), prefix) == 0 &&
           std::all_of(folder.begin() + prefix.size(), folder.end(),
                       [](char16_t unit) { return unit >= u'a' && unit <= u'p'; });
}

TEST_F(RunSequence, PinnedBuildStartsOnlyAPrivateCheckedCopyAndRemovesIt) {
    const std::u16string notMadeFor = kPath64 + u" is not the file this setup was made for.";
    const std::u16string unreadable = kPath64 + u" cannot be read.";
    const std::u16string noSha256 =
        kPath64 + u" cannot be checked: this system cannot compute SHA-256.";
    const std::u16string notCopied =
        kPath64 + u" cannot be copied to the Windows Temp folder: is it there, with room?";
    const PinnedCase cases[] = {
        {"genuine", [](StandIn&) {}, u""},
        {"genuine on a 32-bit system", [](StandIn& s) { s.wow64Flag = 0; }, u""},
        {"one byte changed", [](StandIn& s) { s.files[kPath64].content[100000] ^= 1; }, notMadeFor},
        {"truncated", [](StandIn& s) { s.files[kPath64].content.pop_back(); }, notMadeFor},
        {"bytes appended", [](StandIn& s) { s.files[kPath64].content += '\0'; }, notMadeFor},
        {"empty", [](StandIn& s) { s.files[kPath64].content.clear(); }, notMadeFor},
        {"the other system's payload", [](StandIn& s) { s.files[kPath64].content = kPayload32; },
         notMadeFor},
        // Where a writable mapping outlives its handle (XP), the file can change while it is held.
        {"changed during the copy",
         [](StandIn& s) {
             s.files[kPath64].changedMidRead = kPayload64;
             s.files[kPath64].changedMidRead[190000] ^= 1;
         },
         notMadeFor},
        {"shrinks during the copy",
         [](StandIn& s) { s.files[kPath64].changedMidRead = kPayload64.substr(0, 100000); },
         notMadeFor},
        {"grows during the copy",
         [](StandIn& s) { s.files[kPath64].changedMidRead = kPayload64 + kPayload64; }, notMadeFor},
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
        {"genuine but start fails", [](StandIn& s) { s.startSucceeds = 0; }, u"Cannot start "},
        {"refused where nobody can see a box",
         [](StandIn& s) {
             s.files[kPath64].content[0] ^= 1;
             s.windowStationVisible = 0;
         },
         notMadeFor},
        {"digest differs in its last byte only", [](StandIn& s) { s.digestFlip = 1; }, notMadeFor},
        {"the disk fills during the copy", [](StandIn& s) { s.diskRoom = 100000; }, notCopied},
        {"no Windows folder known", [](StandIn& s) { s.windowsFolder.clear(); }, notCopied},
        {"no Temp folder", [](StandIn& s) { s.folders.erase(u"C:\\Windows\\Temp"); }, notCopied},
        {"a file where the Temp folder should be",
         [](StandIn& s) {
             s.folders.erase(u"C:\\Windows\\Temp");
             s.files[u"C:\\Windows\\Temp"].content = "x";
         },
         notCopied},
        {"no random bytes", [](StandIn& s) { s.randomWorks = 0; }, notCopied},
        // Another name, and the folder that was there is left as it was.
        {"the first name is taken",
         [](StandIn& s) {
             s.folders.insert(StandInCopyFolder(0));
             s.files[StandInCopyFolder(0) + u"\\VuqSetup64.wzq"].content = "planted";
         },
         u""},
        {"the first name is taken by a file",
         [](StandIn& s) { s.files[StandInCopyFolder(0)].content = "planted"; }, u""},
        {"every name is taken",
         [](StandIn& s) {
             for (int call = 0; call < 8; ++call)
                 s.folders.insert(StandInCopyFolder(call));
         },
         notCopied},
        {"the written copy cannot be held", [](StandIn& s) { s.copyReopenFails = 1; }, notCopied},
        {"the payload leaves a child holding its image",
         [](StandIn& s) { s.payloadLeavesChild = 1; }, u""},
    };
    const PayloadPins pins = {PinFor(kPayload32), PinFor(kPayload64)};
    for (const PinnedCase& c : cases) {
        ResetStandIn();
        StandIn& s = TheStandIn();
        s.files[kPath32].content = kPayload32;
        s.files[kPath64].content = kPayload64;
        c.arrange(s);
        const std::map<std::u16string, StandInFile> filesBefore = s.files;
        const std::set<std::u16string> foldersBefore = s.folders;
        const std::string chosen = s.wow64Flag ? kPayload64 : kPayload32;
        int status = RunPinnedSetupWrapper(u"", pins);
        int started = c.message.empty();
        EXPECT_TRUE(s.openFiles.empty()) << c.name;
        EXPECT_EQ(s.heldHashes, 0) << c.name;
        EXPECT_LE(s.mostWritten, chosen.size()) << c.name << ": copied past the pinned size";
        size_t start = IndexOf(s.calls, "CreateProcessW");
        size_t acquire = IndexOf(s.calls, "CryptAcquireContextW");
        if (acquire < s.calls.size()) { // what CryptoAPI loads by bare name is there already
            EXPECT_EQ(s.calls[acquire - 1], kCryptoPreload) << c.name;
        }
        // Whatever happened, nothing is left that was not there before, but for what the child
        // holds, which goes at the next restart; nothing that was there is changed.
        std::vector<std::u16string> atRestart;
        if (s.payloadLeavesChild)
            atRestart = {s.startedApplication,
                         s.startedApplication.substr(0, s.startedApplication.rfind(u'\\'))};
        EXPECT_EQ(s.atRestart, atRestart) << c.name;
        for (const std::u16string& kept : atRestart)
            s.files.erase(kept), s.folders.erase(kept);
        EXPECT_EQ(s.folders, foldersBefore) << c.name;
        EXPECT_EQ(s.files.size(), filesBefore.size()) << c.name;
        for (const auto& file : filesBefore)
            EXPECT_EQ(s.files[file.first].content, file.second.changedMidRead.empty()
                                                       ? file.second.content
                                                       : file.second.changedMidRead)
                << c.name;
        if (start < s.calls.size()) {
            // A new folder of its own, the payload's name, the bytes checked, held for reading
            // alone while it starts and released right after; the command line as planned.
            const std::u16string& copy = s.startedApplication;
            std::u16string name = s.wow64Flag ? u"\\VuqSetup64.wzq" : u"\\VuqSetup.wzq";
            EXPECT_TRUE(IsCopyFolder(copy.substr(0, copy.size() - name.size()))) << c.name;
            EXPECT_EQ(copy.substr(copy.size() - name.size()), name) << c.name;
            EXPECT_EQ(s.startedImage, s.startSucceeds ? chosen : "") << c.name;
            EXPECT_EQ(s.startedWhileHeldForReading, s.startSucceeds) << c.name;
            EXPECT_EQ(s.hashed, chosen) << c.name;
            EXPECT_LT(IndexOf(s.calls, "CryptReleaseContext"), start) << c.name;
            EXPECT_EQ(IndexOf(s.calls, "CloseHandle(file)", start), start + 1) << c.name;
            EXPECT_EQ(s.startedCommandLine, u"/NoReset ") << c.name;
            // Removed once the payload has ended and the entry is cleaned, or could not start.
            size_t removed = IndexOf(s.calls, "DeleteFileW", start);
            EXPECT_LT(IndexOf(s.calls, s.startSucceeds ? "CloseHandle(thread)" : "MessageBoxW"),
                      removed)
                << c.name;
            EXPECT_LT(removed, s.calls.size()) << c.name;
        } else { // refused before the start: the entry untouched
            EXPECT_TRUE(!started) << c.name << ": not started";
            EXPECT_EQ(IndexOf(s.calls, "RegOpenKeyExW"), s.calls.size()) << c.name;
        }
        EXPECT_EQ(status, started ? 0 : 1) << c.name;
        if (started || !s.windowStationVisible) {
            EXPECT_TRUE(s.messages.empty()) << c.name;
            continue;
        }
        EXPECT_EQ(s.messages.size(), 1u) << c.name;
        if (s.messages.size() != 1)
            continue; // every row is checked, whichever fails
        std::u16string message =
            c.message == u"Cannot start " ? c.message + s.startedApplication + u"\n" : c.message;
        EXPECT_EQ(s.messages[0].message, message) << c.name;
        EXPECT_EQ(s.messages[0].caption, u"VUQ Setup") << c.name;
        EXPECT_EQ(s.messages[0].style, 0x10u) << c.name;
    }
}

// The copy's folder: a protected DACL of two ACEs, full control for SYSTEM and for
// Administrators, inherited by files and folders, decoded as Windows reads a self-relative
// security descriptor.
TEST_F(RunSequence, PrivateFolderGivesSystemAndAdministratorsAloneFullControl) {
    const unsigned char* sd = kPrivateFolderSecurity;
    auto word = [](const unsigned char* at) { return unsigned(at[0] | at[1] << 8); };
    auto dword = [&](const unsigned char* at) { return word(at) | word(at + 2) << 16; };
    EXPECT_EQ(sd[0], 1u);                                 // SECURITY_DESCRIPTOR_REVISION
    EXPECT_EQ(word(sd + 2), 0x8000u | 0x1000u | 0x0004u); // self-relative, DACL protected, present
    EXPECT_EQ(dword(sd + 4) | dword(sd + 8) | dword(sd + 12), 0u); // no owner, group or SACL
    const unsigned char* acl = sd + dword(sd + 16);
    EXPECT_EQ(acl[0], 2u); // ACL_REVISION
    EXPECT_EQ(sd + sizeof(kPrivateFolderSecurity), acl + word(acl + 2));
    ASSERT_EQ(word(acl + 4), 2u);
    std::vector<std::string> granted;
    const unsigned char* ace = acl + 8;
    for (int i = 0; i < 2; ++i, ace += word(ace + 2)) {
        EXPECT_EQ(ace[0], 0u);                // ACCESS_ALLOWED_ACE_TYPE
        EXPECT_EQ(ace[1], 0x01u | 0x02u);     // object and container inherit
        EXPECT_EQ(dword(ace + 4), 0x1F01FFu); // FILE_ALL_ACCESS
        const unsigned char* sid = ace + 8;
        EXPECT_EQ(word(ace + 2), 8u + 8u + 4u * sid[1]);
        std::string text = "S-" + std::to_string(sid[0]) + "-" + std::to_string(sid[7]);
        for (int k = 0; k < sid[1]; ++k)
            text += "-" + std::to_string(dword(sid + 8 + 4 * k));
        granted.push_back(text);
    }
    EXPECT_EQ(granted, (std::vector<std::string>{"S-1-5-18", "S-1-5-32-544"}));
}

} // namespace
