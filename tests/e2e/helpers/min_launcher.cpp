// The least a wrapper can do: start one program at a fixed path and wait for it. Built like
// VuqSetup.exe, it is the yardstick for the cost of one extra process start. Built with
// VUQ_POLL_WAIT it polls instead of blocking: a stand-in for a wrapper that burns CPU while
// it waits, so the CPU measurement can show that it sees such a fault.

#include <windows.h>

static const wchar_t kPayloadPath[] = L"C:\\e2e\\launcher\\VuqSetup64.wzq";

int WINAPI wWinMain(HINSTANCE, HINSTANCE, LPWSTR, int) {
    // CreateProcessW may write to the command line, so it must not be a literal.
    wchar_t commandLine[] = L"/NoReset ";
    STARTUPINFOW startup;
    ZeroMemory(&startup, sizeof(startup));
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION process;
    if (!CreateProcessW(kPayloadPath, commandLine, nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                        &startup, &process))
        return 1;
#ifdef VUQ_POLL_WAIT
    while (WaitForSingleObject(process.hProcess, 0) == WAIT_TIMEOUT) {
    }
#else
    WaitForSingleObject(process.hProcess, INFINITE);
#endif
    CloseHandle(process.hProcess);
    CloseHandle(process.hThread);
    return 0;
}
