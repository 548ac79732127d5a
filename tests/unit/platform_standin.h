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

struct StandIn {
    // Answers.
    std::u16string commandLine = u"C:\\Setup\\VuqSetup.exe";
    int splitFails = 0;
    std::vector<std::u16string> splitArguments = {u"C:\\Setup\\VuqSetup.exe"};
    int wow64QueryWorks = 1;
    int wow64Flag = 1;
    int startSucceeds = 1;
    int windowStationVisible = 1;
    RegistryView registry64;
    RegistryView registry32;
    long openStatus = 0;                  // nonzero: every open fails with it
    std::set<std::u16string> failingSets; // value names whose write is refused

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
};

StandIn& TheStandIn();
void ResetStandIn();

// Registry helpers for tests.
std::string TextBytes(const std::u16string& text, int withTerminator = 1);
extern const std::u16string kUninstallEntryPath;
