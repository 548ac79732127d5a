#include <windows.h>

#include "launch/run_sequence.h"

// The runtime's start-up has already cut the program name and the blanks after it from the
// command line; the rest reaches the payload untouched.
int WINAPI wWinMain(HINSTANCE, HINSTANCE, LPWSTR argumentText, int) {
    return RunSetupWrapper(reinterpret_cast<const WideUnit*>(argumentText));
}
