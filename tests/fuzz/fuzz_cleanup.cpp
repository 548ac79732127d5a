// Checks the uninstall entry cleanup on arbitrary data and types of "DisplayVersion", through
// the platform stand-in's registry: the value is cut before its first "Beta" and written back
// as REG_SZ, or left exactly as it was, and nothing else in the registry changes.
//
// Input: four bytes give the value's type, one byte of flags (bit 0: the registry refuses
// the write), the rest is the value's data as stored.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>

#include "cleanup/uninstall_cleanup.h"
#include "platform_standin.h"
#include "reference_text.h"

namespace {

const size_t kHeaderBytes = 5;
const size_t kReadLimitBytes = 1024;
const unsigned long kExpectedAccess = 0x20107;

struct CleanupInputs {
    StoredValue displayVersion;
    int writeRefused;
};

struct Expectation {
    int written;
    int result;
    StoredValue displayVersion;
};

CleanupInputs ReadInputs(const uint8_t* data, size_t size) {
    unsigned long type =
        static_cast<unsigned long>(data[0]) | static_cast<unsigned long>(data[1]) << 8u |
        static_cast<unsigned long>(data[2]) << 16u | static_cast<unsigned long>(data[3]) << 24u;
    std::string bytes(reinterpret_cast<const char*>(data + kHeaderBytes), size - kHeaderBytes);
    return {{type, bytes}, data[4] & 1};
}

// The text a reader of at most 1024 bytes sees: whole units up to the first NUL unit.
std::u16string ValueText(const std::string& bytes) {
    size_t units = std::min(bytes.size(), kReadLimitBytes) / sizeof(char16_t);
    return UpToFirstNul(ReadUnits(reinterpret_cast<const uint8_t*>(bytes.data()), units));
}

Expectation ExpectedOutcome(const CleanupInputs& in) {
    const StoredValue& stored = in.displayVersion;
    if (stored.bytes.size() > kReadLimitBytes)
        return {0, 1, stored};
    std::u16string text = ValueText(stored.bytes);
    long tag = ReferenceFindNoCase(text, u"Beta");
    if (tag < 0)
        return {0, 0, stored};
    if (in.writeRefused)
        return {1, 1, stored};
    std::u16string kept = text.substr(0, static_cast<size_t>(tag));
    return {1, 0, {1, TextBytes(kept)}};
}

// Around the fuzzed value: a value without the tag, a value the step must not look at, a
// value that is missing, and a tagged copy in the 32-bit view that must stay out of reach.
void FillRegistry(const CleanupInputs& in) {
    ResetStandIn();
    RegistryValues& entry = TheStandIn().registry64[kUninstallEntryPath];
    entry[u"Comments"] = {1, TextBytes(u"Driver for the touch panel")};
    entry[u"Publisher"] = {1, TextBytes(u"Beta Labs")};
    entry[u"DisplayVersion"] = in.displayVersion;
    TheStandIn().registry32[kUninstallEntryPath][u"DisplayVersion"] = {1, TextBytes(u"1 Beta")};
    if (in.writeRefused)
        TheStandIn().failingSets.insert(u"DisplayVersion");
}

bool SameValue(const StoredValue& a, const StoredValue& b) {
    return a.type == b.type && a.bytes == b.bytes;
}

void CheckRegistry(const Expectation& expected) {
    RegistryValues& entry = TheStandIn().registry64[kUninstallEntryPath];
    Require(entry.size() == 3 && TheStandIn().registry64.size() == 1);
    Require(SameValue(entry[u"Comments"], {1, TextBytes(u"Driver for the touch panel")}));
    Require(SameValue(entry[u"Publisher"], {1, TextBytes(u"Beta Labs")}));
    Require(SameValue(entry[u"DisplayVersion"], expected.displayVersion));
    RegistryValues& entry32 = TheStandIn().registry32[kUninstallEntryPath];
    Require(entry32.size() == 1 &&
            SameValue(entry32[u"DisplayVersion"], {1, TextBytes(u"1 Beta")}));
}

void CheckKeys(size_t expectedOpens, int expectedWrites) {
    const StandIn& standIn = TheStandIn();
    Require(standIn.openedKeys.size() == expectedOpens && standIn.openKeys.size() == expectedOpens);
    for (const OpenedKey& opened : standIn.openedKeys) {
        Require(opened.root == kRegistryLocalMachine && opened.path == kUninstallEntryPath);
        Require(opened.options == 0 && opened.access == kExpectedAccess);
    }
    for (int closes : standIn.keyCloseCounts)
        Require(closes == 1);
    int writes = 0;
    for (const std::string& call : standIn.calls)
        writes += call == "RegSetValueExW";
    Require(writes == expectedWrites);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < kHeaderBytes)
        return 0;
    CleanupInputs in = ReadInputs(data, size);
    Expectation expected = ExpectedOutcome(in);

    FillRegistry(in);
    RunPostInstallStep();
    CheckRegistry(expected);
    CheckKeys(3, expected.written);

    FillRegistry(in);
    Require(CleanUninstallValue(u"DisplayVersion") == expected.result);
    CheckRegistry(expected);
    CheckKeys(1, expected.written);
    return 0;
}
