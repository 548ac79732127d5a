#pragma once

#include "platform/platform.h"
#include "text/wide_text.h"

// What a pinned build knows of each payload it may start, recorded when it was built.
struct PayloadPin {
    unsigned long long size;
    unsigned char sha256[kSha256Size];
};

struct PayloadPins {
    PayloadPin payload32;
    PayloadPin payload64;
};

// A file that cannot be opened gets the open's own result as its verdict.
enum PayloadVerdict {
    kPayloadGenuine = kFileOpened,
    kPayloadMissing = kFileMissing,
    kPayloadInUse = kFileInUse,
    kPayloadUnreadable = kFileUnreadable,
    kPayloadNotGenuine,
    kPayloadUncheckable,
    kPayloadNotCopied // no private folder, or no room in it
};

// Room for the Windows folder (MAX_PATH), \Temp\, the copy's folder name and the payload's name.
const size_t kCopyPathCapacity = 360;

// The payload's private copy: a new folder under the Windows folder's Temp that only SYSTEM and
// Administrators can change, and the file in it, held open so that nobody writes or deletes it.
// path is the folder's for its first folderLength units.
struct PrivateCopy {
    WideUnit path[kCopyPathCapacity];
    size_t folderLength;
    PlatformHandle held;
};

// Copies the file at path, as name, into a new private folder, hashing the bytes as they are
// copied, and compares their count and SHA-256 with pin. kPayloadGenuine leaves copy->held open on
// the copy; every other verdict has released all it opened and removed the copy and its folder.
PayloadVerdict CopyCheckedPayload(const WideUnit* path, const WideUnit* name, const PayloadPin& pin,
                                  PrivateCopy* copy);

// As RunSetupWrapper, but starts only a private copy of the payload pinned for this system, and
// removes the copy once the payload has ended and the entry is cleaned. Otherwise one box,
// status 1.
int RunPinnedSetupWrapper(const WideUnit* argumentText, const PayloadPins& pins);
