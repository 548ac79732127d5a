// The least the wrapper's own steps can cost: narrow the DLL search, load shell32 from the
// system folder, split the command line, then start one program at a fixed path and wait for
// it, as min_launcher does. Built like min_launcher, it is the benchmark's second yardstick.

#include <windows.h>

static const wchar_t kPayloadPath[] = L"C:\\e2e\\launcher\\VuqSetup64.wzq";

typedef BOOL(WINAPI* SetDefaultDllDirectoriesFunction)(DWORD);
typedef LPWSTR*(WINAPI* CommandLineToArgvWFunction)(LPCWSTR, int*);

int WINAPI wWinMain(HINSTANCE, HINSTANCE, LPWSTR, int) {
    FARPROC narrow = GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "SetDefaultDllDirectories");
    if (narrow != nullptr)
        reinterpret_cast<SetDefaultDllDirectoriesFunction>(reinterpret_cast<void (*)()>(narrow))(
            LOAD_LIBRARY_SEARCH_SYSTEM32);
    wchar_t path[MAX_PATH + 16];
    UINT length = GetSystemDirectoryW(path, MAX_PATH);
    if (length == 0 || length >= MAX_PATH)
        return 1;
    lstrcpyW(path + length, L"\\shell32.dll");
    HMODULE shell = LoadLibraryW(path);
    FARPROC split = shell ? GetProcAddress(shell, "CommandLineToArgvW") : nullptr;
    if (split == nullptr)
        return 1;
    int count = 0;
    LPWSTR* arguments = reinterpret_cast<CommandLineToArgvWFunction>(
        reinterpret_cast<void (*)()>(split))(GetCommandLineW(), &count);
    if (arguments == nullptr)
        return 1;
    LocalFree(arguments);

    // CreateProcessW may write to the command line, so it must not be a literal.
    wchar_t commandLine[] = L"/NoReset ";
    STARTUPINFOW startup;
    ZeroMemory(&startup, sizeof(startup));
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION process;
    if (!CreateProcessW(kPayloadPath, commandLine, nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                        &startup, &process))
        return 1;
    WaitForSingleObject(process.hProcess, INFINITE);
    CloseHandle(process.hProcess);
    CloseHandle(process.hThread);
    return 0;
}
