#include <windows.h>

#include "launch/run_sequence.h"

#ifdef VUQ_PAYLOAD_PINS_FILE
#include "launch/payload_check.h"

// A pinned build: the sizes and digests of its payloads, as tools/pin-payloads.sh recorded them.
static const PayloadPins kPayloadPins = {
#include VUQ_PAYLOAD_PINS_FILE
};
#endif

// The start-up has already cut the program name and the blanks after it from the command
// line; the rest reaches the payload untouched.
int WINAPI wWinMain(HINSTANCE, HINSTANCE, LPWSTR argumentText, int) {
#ifdef VUQ_PAYLOAD_PINS_FILE
    return RunPinnedSetupWrapper(reinterpret_cast<const WideUnit*>(argumentText), kPayloadPins);
#else
    return RunSetupWrapper(reinterpret_cast<const WideUnit*>(argumentText));
#endif
}

// Where the process starts: no C runtime runs before it, so the DLL search is narrowed before
// any DLL but kernel32 and advapi32 is in the process. A 32-bit entry gets a stack aligned to
// 4 bytes only, which is what the code behind it is compiled for.
extern "C" __attribute__((noreturn)) void ProcessEntry() {
    const WideUnit* argumentText = StartUpWrapper();
    LPWSTR text = const_cast<LPWSTR>(reinterpret_cast<const wchar_t*>(argumentText));
    ExitProcess(
        static_cast<UINT>(wWinMain(GetModuleHandleW(nullptr), nullptr, text, SW_SHOWDEFAULT)));
}
