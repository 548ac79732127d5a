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
    switch (OpenFileSharedRead(path, &file)) {
    case kFileOpened:
        break;
    case kFileMissing:
        return kPayloadMissing;
    case kFileInUse:
        return kPayloadInUse;
    default:
        return kPayloadUnreadable;
    }
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
    default:
        return u" is not the file this setup was made for.";
    }
}

// The path of the file that was checked, as its volume's drive letter or server names it:
// \\?\C:\... as C:\..., \\?\UNC\server\... as \\server\.... Started by that path, the file is the
// one held, even where a folder on the planned path has been made to lead elsewhere since.
// 0 with path rewritten, or left as planned where the system cannot tell (XP); 1 when the path
// cannot be told or does not fit.
static int ResolveHeldPath(PlatformHandle held, WideUnit* path) {
    WideUnit final[kApplicationPathCapacity];
    long length = ReadFinalPath(held, final, kApplicationPathCapacity);
    if (length < 0)
        return 0;
    if (length == 0 || length >= static_cast<long>(kApplicationPathCapacity))
        return 1;
    int skip = 0;
    if (FindTextNoCase(final, u"\\\\?\\") == 0) {
        skip = 4;
        if (FindTextNoCase(final + skip, u"UNC\\") == 0) {
            skip = 6;
            final[skip] = u'\\';
        }
    }
    return CopyTextPrefix(path, kApplicationPathCapacity, final + skip,
                          static_cast<size_t>(length - skip));
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
        verdict = kPayloadUnreadable;
    }
    if (verdict != kPayloadGenuine)
        return ReportPathError(u"", plan.applicationPath, DescribeRefusal(verdict));
    return StartPlannedPayload(&plan, held);
}
