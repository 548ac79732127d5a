#pragma once

// A scriptable stand-in for the platform layer: tests set what Windows would answer, run
// the code, then read back what was asked of it, in order.

#include <map>
#include <set>
#include <string>
#include <vector>

#include "platform/platform.h"

struct ShownMessage {
    std::u16string message;
    std::u16string caption;
    unsigned long style;
};

struct StoredValue {
    unsigned long type;
    std::string bytes;
};

typedef std::map<std::u16string, StoredValue> RegistryValues;

// One registry view of a 64-bit system: key path -> values.
typedef std::map<std::u16string, RegistryValues> RegistryView;

struct OpenedKey {
    std::u16string path;
    unsigned long root;
    unsigned long options;
    unsigned long access;
};

// A key that opened: handed out as its 1-based number in StandIn::openKeys.
struct OpenKey {
    RegistryView* view;
    std::u16string path;
};

// A file: readFailsAt is the offset from which ReadFile fails (-1: never); changedMidRead, where
// set, is its content from the first read on (as a mapping written on XP would make it).
struct StandInFile {
    std::string content;
    FileOpenResult open = kFileOpened;
    long readFailsAt = -1;
    std::string changedMidRead;
};

// An open file handle: its path, whether it writes, and where it reads.
struct OpenFile {
    std::u16string path;
    int writes;
    size_t offset;
};

struct StandIn {
    // Answers.
    std::u16string commandLine = u"C:\\Setup\\VuqSetup.exe";
    int splitFails = 0;
    std::vector<std::u16string> splitArguments = {u"C:\\Setup\\VuqSetup.exe"};
    int wow64QueryWorks = 1;
    int wow64Flag = 1;
    int startSucceeds = 1;
    int windowStationVisible = 1;
    int sessionQueryWorks = 1;
    unsigned long processSession = 1;
    unsigned long consoleSession = 1;
    RegistryView registry64;
    RegistryView registry32;
    long openStatus = 0;                  // nonzero: every open fails with it
    std::set<std::u16string> failingSets; // value names whose write is refused
    std::map<std::u16string, StandInFile> files;
    int acquireWorks = 1;
    int createHashWorks = 1;
    int hashDataWorks = 1;
    unsigned char digestFlip = 0; // XORed into the digest's last byte
    std::set<std::u16string> folders = {u"C:\\Windows", u"C:\\Windows\\Temp"};
    std::u16string windowsFolder = u"C:\\Windows"; // empty: unknown
    int randomWorks = 1;
    long diskRoom = -1;         // bytes that can be written in all (-1: no end)
    int copyReopenFails = 0;    // the written copy cannot be opened again to be held
    int payloadLeavesChild = 0; // a process the payload started still holds its image
    int session0Isolated = 1;   // 0: XP, where session 0 is a user's

    // What was asked, in order: one entry per platform call.
    std::vector<std::string> calls;
    std::u16string splitInput;
    std::u16string startedApplication;
    std::u16string startedCommandLine;
    std::vector<ShownMessage> messages;
    std::vector<OpenedKey> openedKeys; // every open asked for, whether it worked or not
    std::vector<OpenKey> openKeys;     // the opens that worked
    std::vector<int> keyCloseCounts;   // per entry of openKeys
    int splitReleases = 0;
    std::string hashed;                           // every byte handed to CryptHashData, in order
    std::map<PlatformHandle, OpenFile> openFiles; // opened and not yet closed
    std::set<std::u16string> heldByChild;
    std::string startedImage;              // the started file's content as CreateProcessW found it
    int startedWhileHeldForReading = 0;    // and a handle shared for reading only held it
    std::vector<std::u16string> atRestart; // what MoveFileExW is to remove at the next restart
    size_t mostWritten = 0;                // the largest file WriteFile made
    int randomCalls = 0;
    int heldHashes = 0; // hashes begun and not yet released
};

StandIn& TheStandIn();
void ResetStandIn();

// Registry helpers for tests.
std::string TextBytes(const std::u16string& text, int withTerminator = 1);
extern const std::u16string kUninstallEntryPath;

// The folder a pinned build names from the stand-in's call-th random bytes (counted from 0).
std::u16string StandInCopyFolder(int call);

// The stand-in's digest: not SHA-256, only the same for the same bytes, as the check needs.
std::string StandInDigest(const std::string& bytes);
