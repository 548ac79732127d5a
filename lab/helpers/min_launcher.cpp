// The least a wrapper can do: start one program at a fixed path and wait for it. Built like
// VuqSetup.exe, it is the yardstick for the cost of one extra process start. Built with
// VUQ_SPLIT_FIRST it first does what the wrapper must do as well: narrow the DLL search, find
// the splitter in shcore (or shell32) in the system folder and split its command line; that is
// the least the wrapper's own steps can cost. Built with VUQ_POLL_WAIT it polls instead of
// blocking: a stand-in for a wrapper that burns CPU while it waits, so the CPU measurement can
// show that it sees such a fault.

#include <windows.h>

static const wchar_t kPayloadPath[] = L"C:\\e2e\\launcher\\VuqSetup64.wzq";

#ifdef VUQ_SPLIT_FIRST
typedef BOOL(WINAPI* SetDefaultDllDirectoriesFunction)(DWORD);
typedef LPWSTR*(WINAPI* CommandLineToArgvWFunction)(LPCWSTR, int*);

static FARPROC FindSystemFunction(const wchar_t* library, const char* name) {
    wchar_t path[MAX_PATH + 16];
    UINT length = GetSystemDirectoryW(path, MAX_PATH);
    if (length == 0 || length >= MAX_PATH)
        return nullptr;
    path[length] = L'\\';
    lstrcpyW(path + length + 1, library);
    HMODULE module = LoadLibraryW(path);
    return module ? GetProcAddress(module, name) : nullptr;
}

static int SplitCommandLineLikeWrapper() {
    FARPROC narrow = GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "SetDefaultDllDirectories");
    if (narrow != nullptr)
        reinterpret_cast<SetDefaultDllDirectoriesFunction>(reinterpret_cast<void (*)()>(narrow))(
            LOAD_LIBRARY_SEARCH_SYSTEM32);
    FARPROC split = FindSystemFunction(L"shcore.dll", "CommandLineToArgvW");
    if (split == nullptr)
        split = FindSystemFunction(L"shell32.dll", "CommandLineToArgvW");
    if (split == nullptr)
        return 1;
    int count = 0;
    LPWSTR* arguments = reinterpret_cast<CommandLineToArgvWFunction>(
        reinterpret_cast<void (*)()>(split))(GetCommandLineW(), &count);
    if (arguments == nullptr)
        return 1;
    LocalFree(arguments);
    return 0;
}
#endif

int WINAPI wWinMain(HINSTANCE, HINSTANCE, LPWSTR, int) {
#ifdef VUQ_SPLIT_FIRST
    if (SplitCommandLineLikeWrapper() != 0)
        return 1;
#endif
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
