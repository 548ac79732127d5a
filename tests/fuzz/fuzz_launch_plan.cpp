// Checks ComposeLaunchPlan against the rules it implements, written out plainly here:
// which name is searched for, how the folder part and the payload name are joined, which
// command line is passed on, and which refusal comes first.
//
// Input: a flags byte (bit 0: 64-bit system; bit 1: append "VuqSetup.exe" to the own path;
// bit 2: append "vuqsetup"; bit 3: append them in capitals), two bytes of filler length
// for the own path, two bytes of filler length for the argument text, two bytes splitting
// the remaining UTF-16 units between the own path and the argument text. The fillers
// reach the 512-unit limits with short inputs.

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

#include "launch/launch_plan.h"
#include "reference_text.h"

namespace {

const size_t kHeaderBytes = 7;
const unsigned kFillerModulus = 1100;
const size_t kLimit = 512;

struct PlanInputs {
    std::u16string ownPath;
    std::u16string argumentText;
    int is64;
};

struct Expectation {
    int refused;
    std::u16string message;
    std::u16string caption;
    std::u16string applicationPath;
    std::u16string commandLine;
};

std::u16string NamesToAppend(uint8_t flags) {
    std::u16string names;
    if (flags & 2u)
        names += u"VuqSetup.exe";
    if (flags & 4u)
        names += u"vuqsetup";
    return (flags & 8u) ? UpperAsciiLetters(names) : names;
}

PlanInputs ReadInputs(const uint8_t* data, size_t size) {
    uint8_t flags = data[0];
    size_t pathFiller = ReadLittleEndian16(data + 1) % kFillerModulus;
    size_t argumentFiller = ReadLittleEndian16(data + 3) % kFillerModulus;
    size_t available = (size - kHeaderBytes) / sizeof(char16_t);
    size_t split = ReadLittleEndian16(data + 5) % (available + 1);
    std::u16string units = ReadUnits(data + kHeaderBytes, available);

    PlanInputs inputs;
    inputs.ownPath = std::u16string(pathFiller, u'd') + UpToFirstNul(units.substr(0, split)) +
                     NamesToAppend(flags);
    inputs.argumentText = UpToFirstNul(units.substr(split)) + std::u16string(argumentFiller, u'a');
    inputs.is64 = flags & 1u;
    return inputs;
}

Expectation Refusal(const char16_t* message, const char16_t* caption) {
    return {1, message, caption, u"", u""};
}

Expectation ExpectedOutcome(const PlanInputs& in) {
    long folderLength = ReferenceFindNoCase(in.ownPath, u"vuqsetup.exe");
    if (folderLength < 0)
        folderLength = ReferenceFindNoCase(in.ownPath, u"vuqsetup");
    if (folderLength < 0)
        return Refusal(u"SearchExeName failed", u"VUQ Setup");
    std::u16string payload = in.is64 ? u"VuqSetup64.wzq" : u"VuqSetup.wzq";
    if (static_cast<size_t>(folderLength) + payload.size() > kLimit)
        return Refusal(u"Execute path is too long.", u"VUQ Setup Wrapper");
    std::u16string prefix = in.argumentText.empty() ? u"/NoReset " : u"";
    if (prefix.size() + in.argumentText.size() > kLimit)
        return Refusal(u"Passed command line is too long.", u"VUQ Setup Wrapper");
    return {0, u"", u"", in.ownPath.substr(0, static_cast<size_t>(folderLength)) + payload,
            prefix + in.argumentText};
}

void CheckPlan(const Expectation& expected, const LaunchPlan& plan) {
    std::u16string applicationPath = TerminatedText(plan.applicationPath, kApplicationPathCapacity);
    std::u16string commandLine = TerminatedText(plan.commandLine, kCommandLineCapacity);
    Require(applicationPath.size() <= kLimit);
    Require(commandLine.size() <= kLimit);
    Require(applicationPath == expected.applicationPath);
    Require(commandLine == expected.commandLine);
}

void CheckRefusal(const Expectation& expected, const LaunchError& error) {
    Require(error.message != nullptr && error.caption != nullptr);
    Require(TerminatedText(error.message, 64) == expected.message);
    Require(TerminatedText(error.caption, 64) == expected.caption);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < kHeaderBytes)
        return 0;
    PlanInputs in = ReadInputs(data, size);
    Expectation expected = ExpectedOutcome(in);

    char16_t* ownPath = CopyToHeap(in.ownPath);
    char16_t* argumentText = CopyToHeap(in.argumentText);
    // Garbage in both results, so an unterminated or stray write shows.
    LaunchPlan* plan = new LaunchPlan;
    std::memset(plan, 0x5A, sizeof(LaunchPlan));
    LaunchPlan untouched;
    std::memcpy(&untouched, plan, sizeof(LaunchPlan));
    const char16_t kSentinel[] = u"untouched";
    LaunchError error = {kSentinel, kSentinel};

    int result = ComposeLaunchPlan(ownPath, argumentText, in.is64, plan, &error);

    Require(result == expected.refused);
    if (result == 0) {
        CheckPlan(expected, *plan);
        Require(error.message == kSentinel && error.caption == kSentinel);
    } else {
        CheckRefusal(expected, error);
        Require(std::memcmp(plan, &untouched, sizeof(LaunchPlan)) == 0);
    }
    Require(in.ownPath == ownPath && in.argumentText == argumentText);
    delete plan;
    delete[] ownPath;
    delete[] argumentText;
    return 0;
}
