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
    kPayloadPathUnusable // no path is known to name the checked file
};

// Opens the file at path shared for reading only and compares its size, then its SHA-256, with
// pin, reading through that handle. kPayloadGenuine leaves the handle open in *heldPayload, so
// the file cannot change before it is started; every other verdict has released all it opened.
PayloadVerdict CheckPayload(const WideUnit* path, const PayloadPin& pin,
                            PlatformHandle* heldPayload);

// As RunSetupWrapper, but starts the payload only when it is the one pinned for this system,
// and holds it from the check until CreateProcessW has returned. Otherwise one box, status 1.
int RunPinnedSetupWrapper(const WideUnit* argumentText, const PayloadPins& pins);
