#include "launch/payload_check.h"

#include "launch/launch_plan.h"
#include "launch/run_sequence.h"
#include "text/text_search.h"

// Static, not on the stack: the wrapper has no stack probe for frames of 4 KB and more.
const unsigned long kReadChunkSize = 64 * 1024;
static unsigned char readChunk[kReadChunkSize];

static int HaveSameBytes(const unsigned char* a, const unsigned char* b, unsigned long count) {
    for (unsigned long i = 0; i < count; ++i)
        if (a[i] != b[i])
            return 0;
    return 1;
}

// Hashes to the end of the file: the size was compared before, and as nobody can write the file
// while it is held, that is the size read.
static PayloadVerdict CompareHash(PlatformHandle file, Sha256Hash* hash, const PayloadPin& pin) {
    for (;;) {
        unsigned long count = 0;
        if (ReadFileBytes(file, readChunk, kReadChunkSize, &count) == 0)
            return kPayloadUnreadable;
        if (count == 0)
            break;
        if (HashBytes(hash, readChunk, count) == 0)
            return kPayloadUncheckable;
    }
    unsigned char digest[kSha256Size];
    if (FinishSha256(hash, digest) == 0)
        return kPayloadUncheckable;
    return HaveSameBytes(digest, pin.sha256, kSha256Size) ? kPayloadGenuine : kPayloadNotGenuine;
}

static PayloadVerdict CompareContent(PlatformHandle file, const PayloadPin& pin) {
    unsigned long long size = 0;
    if (QueryFileSize(file, &size) == 0)
        return kPayloadUnreadable;
    if (size != pin.size)
        return kPayloadNotGenuine;
    Sha256Hash hash;
    PreloadSystemLibraries(kCryptoLibraries);
    if (BeginSha256(&hash) == 0)
        return kPayloadUncheckable;
    PayloadVerdict verdict = CompareHash(file, &hash, pin);
    ReleaseSha256(&hash);
    return verdict;
}

PayloadVerdict CheckPayload(const WideUnit* path, const PayloadPin& pin,
                            PlatformHandle* heldPayload) {
    PlatformHandle file = nullptr;
    FileOpenResult opened = OpenFileSharedRead(path, &file);
    if (opened != kFileOpened)
        return static_cast<PayloadVerdict>(opened);
    PayloadVerdict verdict = CompareContent(file, pin);
    if (verdict == kPayloadGenuine)
        *heldPayload = file;
    else
        ReleaseHandle(file);
    return verdict;
}

// What the box says after the path.
static const WideUnit* DescribeRefusal(PayloadVerdict verdict) {
    switch (verdict) {
    case kPayloadInUse:
        return u" is in use by another program.";
    case kPayloadUnreadable:
        return u" cannot be read.";
    case kPayloadUncheckable:
        return u" cannot be checked: this system cannot compute SHA-256.";
    case kPayloadPathUnusable:
        return u" cannot be started from this folder: copy the release to a local folder.";
    default:
        return u" is not the file this setup was made for.";
    }
}

// Units that Win32 parses or refuses in a name: controls and <>:"/|?*.
static int IsParsedUnit(WideUnit unit) {
    for (const WideUnit* parsed = u"<>:\"/|?*"; *parsed != 0; ++parsed)
        if (unit == *parsed)
            return 1;
    return unit < 0x20;
}

// Names Win32 takes for a device in every folder, alone or before blanks, a dot and anything:
// those Microsoft lists. COM and LPT count with a digit 1-9 or a superscript 1-3 after them; to
// be safe, each of these counts with any one unit after it.
static const WideUnit kDeviceNames[] = u"CON\0PRN\0AUX\0NUL\0COM\0LPT\0";
const size_t kDeviceNameLength = 3;

static int EndsName(WideUnit unit) {
    return unit == 0 || unit == u'\\' || unit == u'.' || unit == u' ';
}

// name: the rest of the path from a name's first unit.
[[gnu::noinline]] static int IsDeviceName(const WideUnit* name) {
    for (const WideUnit* device = kDeviceNames; *device != 0; device += kDeviceNameLength + 1)
        if (FindTextNoCase(name, device) == 0 &&
            (EndsName(name[kDeviceNameLength]) || EndsName(name[kDeviceNameLength + 1])))
            return 1;
    return 0;
}

// Nonzero when Win32 reads names, the names of a full path from the first on, as they stand: no
// name is a device's, holds a unit that Win32 parses or refuses, is empty or ends in a dot or a
// blank (Win32 drops them: "x." names "x").
[[gnu::noinline]] static int AreKeptByWin32(const WideUnit* names) {
    const WideUnit* name = names;
    for (const WideUnit* unit = names;; ++unit) {
        if (*unit != 0 && *unit != u'\\') {
            if (IsParsedUnit(*unit))
                return 0;
            continue;
        }
        // Where the name is empty, the unit before its end is the backslash before it.
        if (EndsName(unit[-1]) || IsDeviceName(name))
            return 0;
        if (*unit == 0)
            return 1;
        name = unit + 1;
    }
}

// The path of the file that was checked, from its final path (\\?\C:\... or
// \\?\UNC\server\...) without \\?\ (\\?\UNC\ as \\), where Win32 reads that as it stands
// and it opens the held file again. Started by that path, the file is the one held, even where a
// folder on the planned path has been made to lead elsewhere since. The \\?\ form itself is
// never started: CreateProcessW is not documented to take it, and Wine's reads it by Win32 rules
// ("x." as "x"). Where the system cannot tell a final path (XP), the path as planned, if it
// opens the held file again: a junction retargeted since the check shows there.
// 0 with path rewritten or kept; 1 when no path is known to name the held file.
[[gnu::noinline]] static int ResolveHeldPath(PlatformHandle held, WideUnit* path) {
    WideUnit final[kApplicationPathCapacity];
    long length = ReadFinalPath(held, final, kApplicationPathCapacity);
    if (length < 0)
        return !IsSameFile(held, path);
    if (length == 0 || length >= static_cast<long>(kApplicationPathCapacity) ||
        FindTextNoCase(final, u"\\\\?\\") != 0)
        return 1;
    WideUnit* plain = final + 4;
    if (FindTextNoCase(final, u"\\\\?\\UNC\\") == 0)
        *(plain += 2) = u'\\';
    // \\server\... or C:\... (its first name empty here); \\?\Volume{...}\... has no such form.
    if ((plain[0] == u'\\' || (plain[1] == u':' && plain[2] == u'\\')) &&
        AreKeptByWin32(plain + 2) && IsSameFile(held, plain))
        return CopyTextPrefix(path, kApplicationPathCapacity, plain,
                              static_cast<size_t>(length - (plain - final)));
    return 1;
}

int RunPinnedSetupWrapper(const WideUnit* argumentText, const PayloadPins& pins) {
    LaunchPlan plan;
    int is64 = 0;
    if (PlanLaunch(argumentText, &plan, &is64) != 0)
        return 1;
    PlatformHandle held = nullptr;
    PayloadVerdict verdict =
        CheckPayload(plan.applicationPath, is64 ? pins.payload64 : pins.payload32, &held);
    // A missing file is never handed to CreateProcessW: one planted right now would run unchecked.
    if (verdict == kPayloadMissing)
        return ReportStartFailure(plan.applicationPath);
    if (verdict == kPayloadGenuine && ResolveHeldPath(held, plan.applicationPath) != 0) {
        ReleaseHandle(held);
        verdict = kPayloadPathUnusable;
    }
    if (verdict != kPayloadGenuine)
        return ReportPathError(u"", plan.applicationPath, DescribeRefusal(verdict));
    return StartPlannedPayload(&plan, held);
}
