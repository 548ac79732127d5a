#include "cleanup/uninstall_cleanup.h"

#include "platform/platform.h"
#include "text/text_search.h"

static const WideUnit kUninstallEntry[] =
    u"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\VuqTouchscreen";
// The 64-bit view even on a 64-bit system, where this 32-bit program would otherwise be
// redirected to the 32-bit view and miss the payload's entry.
static const unsigned long kEntryAccess = kKeyQueryValue | kKeyWrite | kKeyWow64_64Key;

const unsigned long kValueDataBytes = 1024;
// One unit more than the read can fill, so the text is always terminated in the buffer.
const size_t kValueTextCapacity = kValueDataBytes / sizeof(WideUnit) + 1;

// Data stored without its terminator is taken as text up to the bytes read; an odd
// trailing byte is no unit and is ignored.
static void TerminateValueText(WideUnit* text, unsigned long bytesRead) {
    if (bytesRead > kValueDataBytes)
        bytesRead = kValueDataBytes;
    text[bytesRead / sizeof(WideUnit)] = 0;
}

static long WriteValueText(PlatformHandle key, const WideUnit* valueName, const WideUnit* text,
                           int length) {
    unsigned long bytes = static_cast<unsigned long>(length + 1) * sizeof(WideUnit);
    return SetRegistryValue(key, valueName, kRegSz, reinterpret_cast<const unsigned char*>(text),
                            bytes);
}

int CleanUninstallValue(const WideUnit* valueName) {
    PlatformHandle key = nullptr;
    if (OpenRegistryKey(kRegistryLocalMachine, kUninstallEntry, 0, kEntryAccess, &key) != 0)
        return 1;

    WideUnit text[kValueTextCapacity];
    unsigned long type = 0;
    unsigned long size = kValueDataBytes;
    if (QueryRegistryValue(key, valueName, &type, reinterpret_cast<unsigned char*>(text), &size) !=
        0) {
        CloseRegistryKey(key);
        return 1;
    }
    TerminateValueText(text, size);

    int result = 0;
    int tagIndex = FindTextNoCase(text, u"Beta");
    if (tagIndex >= 0) {
        text[tagIndex] = 0;
        result = WriteValueText(key, valueName, text, tagIndex) != 0;
    }
    CloseRegistryKey(key);
    return result;
}

void RunPostInstallStep() {
    CleanUninstallValue(u"Comments");
    CleanUninstallValue(u"DisplayName");
    CleanUninstallValue(u"DisplayVersion");
}
