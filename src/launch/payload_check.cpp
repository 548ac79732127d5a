#include "launch/payload_check.h"

#include "launch/launch_plan.h"
#include "launch/run_sequence.h"

// Static, not on the stack: the wrapper has no stack probe for frames of 4 KB and more.
const unsigned long kReadChunkSize = 64 * 1024;
static unsigned char readChunk[kReadChunkSize];

// 128 random bits name the copy's folder: nobody can make it beforehand but by chance.
const unsigned long kFolderNameBytes = 16;
// A name that is taken is passed by for another; this many taken in a row means something is
// wrong, not chance.
const int kFolderAttempts = 8;
static const WideUnit kTempFolderPrefix[] = u"\\Temp\\VuqSetup-";
const unsigned long kTempFolderPrefixLength = sizeof(kTempFolderPrefix) / sizeof(WideUnit) - 1;

static int HaveSameBytes(const unsigned char* a, const unsigned char* b, unsigned long count) {
    for (unsigned long i = 0; i < count; ++i)
        if (a[i] != b[i])
            return 0;
    return 1;
}

// A new folder, never one that was there: a name that is taken gets another. Its name is two
// letters a-p a random byte: shorter code than hexadecimal digits, and as safe in any name.
static int MakePrivateFolder(Sha256Hash* hash, PrivateCopy* copy) {
    unsigned long length = ReadWindowsFolder(copy->path, kCopyPathCapacity);
    if (length == 0)
        return 1;
    AppendText(copy->path, kCopyPathCapacity, kTempFolderPrefix);
    WideUnit* name = copy->path + length + kTempFolderPrefixLength;
    copy->folderLength = length + kTempFolderPrefixLength + 2 * kFolderNameBytes;
    for (int attempt = 0; attempt < kFolderAttempts; ++attempt) {
        unsigned char bytes[kFolderNameBytes];
        if (GenerateRandomBytes(hash, bytes, kFolderNameBytes) == 0)
            return 1;
        for (unsigned long i = 0; i < kFolderNameBytes; ++i) {
            name[2 * i] = static_cast<WideUnit>(u'a' + (bytes[i] >> 4));
            name[2 * i + 1] = static_cast<WideUnit>(u'a' + (bytes[i] & 15));
        }
        name[2 * kFolderNameBytes] = 0;
        FolderCreateResult created = CreatePrivateFolder(copy->path);
        if (created != kFolderTaken)
            return created != kFolderCreated;
    }
    return 1;
}

// Each chunk is hashed as it is written: the copy holds exactly the bytes hashed. The source is
// read to its end, so that a shorter one has another digest; a longer one is refused once it
// has passed its pinned size, before it can fill the disk.
static PayloadVerdict CopyHashing(PlatformHandle source, PlatformHandle target, Sha256Hash* hash,
                                  const PayloadPin& pin) {
    unsigned long long copied = 0;
    for (;;) {
        unsigned long count = 0;
        if (ReadFileBytes(source, readChunk, kReadChunkSize, &count) == 0)
            return kPayloadUnreadable;
        if (count == 0)
            break;
        if ((copied += count) > pin.size)
            return kPayloadNotGenuine;
        if (HashBytes(hash, readChunk, count) == 0)
            return kPayloadUncheckable;
        if (WriteFileBytes(target, readChunk, count) == 0)
            return kPayloadNotCopied;
    }
    unsigned char digest[kSha256Size];
    if (FinishSha256(hash, digest) == 0)
        return kPayloadUncheckable;
    return HaveSameBytes(digest, pin.sha256, kSha256Size) ? kPayloadGenuine : kPayloadNotGenuine;
}

// Leaves the folder's path.
[[gnu::noinline]] static void RemoveCopiedFile(PrivateCopy* copy) {
    RemoveNowOrAtRestart(copy->path, 0);
    copy->path[copy->folderLength] = 0;
}

// The copy keeps the payload's own file name. It is written through a handle that shares
// nothing, then held through one that shares reading alone: CreateProcessW opens no file that
// another handle may write to.
static PayloadVerdict CopyIntoFolder(PlatformHandle source, const WideUnit* name, Sha256Hash* hash,
                                     const PayloadPin& pin, PrivateCopy* copy) {
    AppendText(copy->path, kCopyPathCapacity, u"\\");
    AppendText(copy->path, kCopyPathCapacity, name);
    PlatformHandle target = nullptr;
    if (CreateNewFile(copy->path, &target) == 0) {
        copy->path[copy->folderLength] = 0;
        return kPayloadNotCopied;
    }
    PayloadVerdict verdict = CopyHashing(source, target, hash, pin);
    ReleaseHandle(target);
    if (verdict == kPayloadGenuine && OpenFileSharedRead(copy->path, &copy->held) != kFileOpened)
        verdict = kPayloadNotCopied;
    if (verdict != kPayloadGenuine)
        RemoveCopiedFile(copy);
    return verdict;
}

static PayloadVerdict CopyThroughHash(PlatformHandle source, const WideUnit* name,
                                      const PayloadPin& pin, PrivateCopy* copy) {
    Sha256Hash hash;
    PreloadSystemLibraries(kCryptoLibraries);
    if (BeginSha256(&hash) == 0)
        return kPayloadUncheckable;
    PayloadVerdict verdict = kPayloadNotCopied;
    if (MakePrivateFolder(&hash, copy) == 0) {
        verdict = CopyIntoFolder(source, name, &hash, pin, copy);
        if (verdict != kPayloadGenuine)
            RemoveNowOrAtRestart(copy->path, 1);
    }
    ReleaseSha256(&hash);
    return verdict;
}

PayloadVerdict CopyCheckedPayload(const WideUnit* path, const WideUnit* name, const PayloadPin& pin,
                                  PrivateCopy* copy) {
    PlatformHandle source = nullptr;
    FileOpenResult opened = OpenFileSharedRead(path, &source);
    if (opened != kFileOpened)
        return static_cast<PayloadVerdict>(opened);
    PayloadVerdict verdict = CopyThroughHash(source, name, pin, copy);
    ReleaseHandle(source);
    return verdict;
}

// What the box says after the path, by verdict from kPayloadInUse on.
static const WideUnit* const kRefusals[] = {
    u" is in use by another program.",
    u" cannot be read.",
    u" is not the file this setup was made for.",
    u" cannot be checked: this system cannot compute SHA-256.",
    u" cannot be copied to the Windows Temp folder: is it there, with room?",
};

int RunPinnedSetupWrapper(const WideUnit* argumentText, const PayloadPins& pins) {
    LaunchPlan plan;
    int is64 = 0;
    if (PlanLaunch(argumentText, &plan, &is64) != 0)
        return 1;
    // Static, as the plan fills most of the frame.
    static PrivateCopy copy;
    PayloadVerdict verdict = CopyCheckedPayload(plan.applicationPath, ChoosePayloadName(is64),
                                                is64 ? pins.payload64 : pins.payload32, &copy);
    // A missing payload gets the plain build's box.
    if (verdict == kPayloadMissing)
        return ReportStartFailure(plan.applicationPath);
    if (verdict != kPayloadGenuine)
        return ReportPathError(u"", plan.applicationPath, kRefusals[verdict - kPayloadInUse]);
    // Once the payload has ended and the entry is cleaned, or it could not be started.
    int status = StartPlannedPayload(copy.path, plan.commandLine, copy.held);
    RemoveCopiedFile(&copy);
    RemoveNowOrAtRestart(copy.path, 1);
    return status;
}
