#include "platform/platform.h"

#include <windows.h>
// After windows.h, which it needs.
#include <shellapi.h>

static_assert(sizeof(WideUnit) == sizeof(wchar_t), "UTF-16 units are wchar_t on Windows");
static_assert(kKeyQueryValue == KEY_QUERY_VALUE && kKeyWrite == KEY_WRITE, "registry access");
static_assert(kKeyWow64_64Key == KEY_WOW64_64KEY && kKeyWow64_32Key == KEY_WOW64_32KEY,
              "registry views");
static_assert(kRegSz == REG_SZ && kMessageBoxError == (MB_ICONERROR | MB_OK), "constants");

static const wchar_t* AsWide(const WideUnit* text) {
    return reinterpret_cast<const wchar_t*>(text);
}

static HKEY AsKey(PlatformHandle key) {
    return static_cast<HKEY>(key);
}

// A test build looks up a name no system has, to show that the wrapper then carries on.
#ifndef VUQ_DLL_DIRECTORIES_FUNCTION
#define VUQ_DLL_DIRECTORIES_FUNCTION "SetDefaultDllDirectories"
#endif

// Looked up at run time: Windows before 8 (without KB2533623) lacks it.
// SetDllDirectoryW is not used, as it would change the payload's DLL search as well.
void RestrictDllSearchToSystem() {
    typedef BOOL(WINAPI * SetDefaultDllDirectoriesFunction)(DWORD);
    HMODULE kernel = GetModuleHandleW(L"kernel32.dll");
    if (kernel == nullptr)
        return;
    FARPROC found = GetProcAddress(kernel, VUQ_DLL_DIRECTORIES_FUNCTION);
    if (found == nullptr)
        return;
    SetDefaultDllDirectoriesFunction setDirectories;
    static_assert(sizeof(setDirectories) == sizeof(found), "function pointers");
    CopyMemory(&setDirectories, &found, sizeof(setDirectories));
    setDirectories(LOAD_LIBRARY_SEARCH_SYSTEM32);
}

const WideUnit* ReadProcessCommandLine() {
    return reinterpret_cast<const WideUnit*>(GetCommandLineW());
}

WideUnit** SplitCommandLine(const WideUnit* commandLine, int* count) {
    return reinterpret_cast<WideUnit**>(CommandLineToArgvW(AsWide(commandLine), count));
}

void ReleaseSplitCommandLine(WideUnit** arguments) {
    LocalFree(arguments);
}

int QueryWow64Process(int* isWow64) {
    BOOL flag = FALSE;
    BOOL worked = IsWow64Process(GetCurrentProcess(), &flag);
    *isWow64 = flag != FALSE;
    return worked != FALSE;
}

int StartProcess(const WideUnit* applicationPath, WideUnit* commandLine, PayloadProcess* started) {
    STARTUPINFOW startup;
    ZeroMemory(&startup, sizeof(startup));
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION process;
    ZeroMemory(&process, sizeof(process));
    BOOL worked = CreateProcessW(AsWide(applicationPath), reinterpret_cast<wchar_t*>(commandLine),
                                 nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &process);
    started->process = process.hProcess;
    started->thread = process.hThread;
    return worked != FALSE;
}

void WaitForProcessEnd(PlatformHandle process) {
    WaitForSingleObject(process, INFINITE);
}

void ReleaseHandle(PlatformHandle handle) {
    CloseHandle(handle);
}

void ShowMessageBox(const WideUnit* message, const WideUnit* caption, unsigned long style) {
    MessageBoxW(nullptr, AsWide(message), AsWide(caption), style);
}

long OpenRegistryKey(unsigned long root, const WideUnit* path, unsigned long options,
                     unsigned long access, PlatformHandle* key) {
    HKEY opened = nullptr;
    HKEY rootKey = reinterpret_cast<HKEY>(static_cast<ULONG_PTR>(root));
    LONG status = RegOpenKeyExW(rootKey, AsWide(path), options, access, &opened);
    *key = opened;
    return status;
}

long QueryRegistryValue(PlatformHandle key, const WideUnit* name, unsigned long* type,
                        unsigned char* data, unsigned long* size) {
    DWORD valueType = 0;
    DWORD valueSize = *size;
    LONG status = RegQueryValueExW(AsKey(key), AsWide(name), nullptr, &valueType, data, &valueSize);
    *type = valueType;
    *size = valueSize;
    return status;
}

long SetRegistryValue(PlatformHandle key, const WideUnit* name, unsigned long type,
                      const unsigned char* data, unsigned long size) {
    return RegSetValueExW(AsKey(key), AsWide(name), 0, type, data, size);
}

void CloseRegistryKey(PlatformHandle key) {
    RegCloseKey(AsKey(key));
}
